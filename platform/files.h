// Files, paths and the temporary folder.
//
// Win32: kernel32 (CreateFileW, MoveFileW, DeleteFileW, GetTempPathW, GetLongPathNameW,
// GetModuleFileNameW, FormatMessageW). POSIX: open/rename/unlink; the temporary folder is
// $TMPDIR or /tmp.
//
// Threads: any.
#pragma once

#include <cstdint>

#include "platform/stream.h"
#include "platform/text.h"

namespace plat {

// The folder delimiter: "\" on Windows, "/" on POSIX.
char16_t PathDelimiter();
// The program folder used when the system names none: "c:\Program Files" on Windows, "/opt"
// on POSIX.
String FallbackProgramFolder();

// The user's temporary folder in its long form, ending with the delimiter; empty when it cannot
// be had or does not exist.
String TempFolder();
// True when a file (not a folder) of this name exists; symbolic links are followed.
bool FileExists(const String& path);
// Deletes a file. False + LastFileError on failure.
bool DeleteFile(const String& path);
// Renames a file, never replacing one that exists at `to`. False + LastFileError on failure
// (IsFileExistsError when `to` exists).
bool MoveFileNoReplace(const String& from, const String& to);
// Renames a file over `to` in one step, replacing a file that exists there: at every moment
// `to` is either the old file or the new one. False + LastFileError on failure, both files
// then left as they were.
bool MoveFileReplace(const String& from, const String& to);
// Lets the owner run the file (POSIX runs nothing without it); true on Windows.
bool MakeExecutable(const String& path);
// Full path of the running program file.
String ModuleFileName();

// The calling thread's last error of the file operations above, in the system's own numbers
// (GetLastError, errno).
std::uint32_t LastFileError();
// The error says that the target name exists already.
bool IsFileExistsError(std::uint32_t code);
// The system's text for such an error code, without a trailing line break.
String SystemErrorMessage(std::uint32_t code);

// Raised when a file cannot be created or opened: "Cannot create file "<path>". <reason>".
class EFCreateError : public EStreamError {
 public:
  EFCreateError(std::string message, std::uint32_t code)
      : EStreamError(std::move(message)), ErrorCode(code) {}
  std::uint32_t ErrorCode;
};

enum class TFileMode {
  fmCreateNew,  // a new empty file, read and write, not shared; fails when the name exists
  fmOpenRead,   // an existing file, read only
  // A new empty file, read and write, held against every other opener while the stream keeps
  // it: others may read it, but not write, rename or delete it. Fails when the name exists.
  // - Win32: share mode FILE_SHARE_READ only (no write or delete sharing), so the system itself
  //   refuses every other opener that would write, rename or delete.
  // - POSIX has no share modes. The file is created with the owner's read and execute
  //   permission only (0500), so an opener without the power to override permissions cannot
  //   open it for writing without changing its mode first. Its name can still be renamed or
  //   unlinked in the folder; that is why a held program is started from the held descriptor
  //   (RunProcess), never by its name: what runs is the file written, whatever the name
  //   points at by then. A writer still open at the start makes the start fail (the kernel
  //   starts no program that is open for writing) rather than run changed bytes.
  fmCreateHeld,
};

// A file as a stream. Read and Write raise EStreamError when the system refuses.
class TFileStream : public TStream {
 public:
  // Raises EFCreateError when the file cannot be created or opened.
  TFileStream(const String& path, TFileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;

  const String& FileName() const { return path_; }

  // fmCreateHeld: renames the held file, never over an existing file, and goes on holding it
  // under the new name (Win32: through the handle, since the file's share mode refuses a
  // rename by name). False + LastFileError on failure; the file then keeps its name.
  bool RenameHeld(const String& to);
  // fmCreateHeld, once everything is written: the stream keeps the file open for reading only,
  // and others stay kept from writing, renaming and deleting it (a system starts no program that
  // is open for writing, not even by the one who starts it). False + LastFileError when that
  // cannot be had (on Win32: when another opener got hold of the file for writing or deleting
  // in the moment between the two handles, see files.cpp); the stream is then closed.
  bool EndWriting();
  bool IsOpen() const { return handle_ != -1; }
  // Closes the file now; later reads and writes raise EStreamError.
  void Close();
  // The system's handle (Win32) or descriptor (POSIX); -1 when closed.
  std::intptr_t Handle() const { return handle_; }

 private:
  String path_;
  std::intptr_t handle_ = -1;
};

}  // namespace plat
