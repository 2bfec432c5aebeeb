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

 private:
  String path_;
  std::intptr_t handle_ = -1;
};

}  // namespace plat
