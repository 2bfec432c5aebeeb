// Files, paths and the temporary folder on POSIX.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files.h"

namespace plat {
namespace {

thread_local std::uint32_t t_last_error = 0;

std::string N(const String& s) {
  return text::ToUtf8(s);
}

bool Fail() {
  t_last_error = static_cast<std::uint32_t>(errno);
  return false;
}

int Fd(std::intptr_t h) {
  return static_cast<int>(h);
}

[[noreturn]] void RaiseStreamError(const char* what, const String& path) {
  throw EStreamError(std::string(what) + " \"" + N(path) + "\". " + strerror(errno));
}

}  // namespace

char16_t PathDelimiter() {
  return u'/';
}

String FallbackProgramFolder() {
  return u"/opt";
}

String TempFolder() {
  const char* env = getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) return {};
  struct stat st;
  if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  std::string out = resolved;
  if (out.empty() || out.back() != '/') out.push_back('/');
  return text::FromUtf8(out);
}

bool FileExists(const String& path) {
  struct stat st;
  return !path.empty() && stat(N(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DeleteFile(const String& path) {
  return unlink(N(path).c_str()) == 0 || Fail();
}

bool MoveFileNoReplace(const String& from, const String& to) {
  std::string f = N(from), t = N(to);
  if (renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Fail();
  // A file system without RENAME_NOREPLACE: a hard link never replaces either.
  if (link(f.c_str(), t.c_str()) != 0) return Fail();
  unlink(f.c_str());
  return true;
}

bool MoveFileReplace(const String& from, const String& to) {
  return rename(N(from).c_str(), N(to).c_str()) == 0 || Fail();
}

bool MakeExecutable(const String& path) {
  struct stat st;
  std::string p = N(path);
  if (stat(p.c_str(), &st) != 0) return Fail();
  return chmod(p.c_str(), (st.st_mode & 07777) | S_IRUSR | S_IXUSR) == 0 || Fail();
}

String ModuleFileName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return text::FromUtf8(std::string(buf, static_cast<std::size_t>(n)));
}

std::uint32_t LastFileError() {
  return t_last_error;
}

bool IsFileExistsError(std::uint32_t code) {
  return code == EEXIST;
}

String SystemErrorMessage(std::uint32_t code) {
  char buf[256];
  const char* msg = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return text::FromUtf8(msg);
}

TFileStream::TFileStream(const String& path, TFileMode mode) : path_(path) {
  int flags =
      mode == TFileMode::fmOpenRead ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
  // A held file gets no write permission at all: the creating descriptor writes all the same.
  int fd = open(N(path).c_str(), flags, mode == TFileMode::fmCreateHeld ? 0500 : 0600);
  if (fd < 0) {
    int err = errno;
    t_last_error = static_cast<std::uint32_t>(err);
    throw EFCreateError("Cannot create file \"" + N(path) + "\". " +
                            text::ToUtf8(SystemErrorMessage(static_cast<std::uint32_t>(err))),
                        static_cast<std::uint32_t>(err));
  }
  handle_ = fd;
}

TFileStream::~TFileStream() {
  Close();
}

void TFileStream::Close() {
  if (handle_ >= 0) close(Fd(handle_));
  handle_ = -1;
}

namespace {

bool SameInode(int fd, const struct stat& other) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_dev == other.st_dev && st.st_ino == other.st_ino;
}

}  // namespace

bool TFileStream::RenameHeld(const String& to) {
  if (!MoveFileNoReplace(path_, to)) return false;
  // The name may have been made to point at another file before the rename: the descriptor
  // still holds the download, and the new name must name it too.
  struct stat st;
  if (stat(N(to).c_str(), &st) != 0 || !SameInode(Fd(handle_), st)) {
    t_last_error = EEXIST;
    return false;
  }
  path_ = to;
  return true;
}

bool TFileStream::EndWriting() {
  // A second, read-only description of the same file, opened through the descriptor itself
  // (not by name); then the writing one goes, since the kernel starts no program that some
  // descriptor may still write (ETXTBSY).
  struct stat st;
  if (fstat(Fd(handle_), &st) != 0) return Fail();
  const std::string self = "/proc/self/fd/" + std::to_string(Fd(handle_));
  const int reader = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (reader < 0) return Fail();
  if (!SameInode(reader, st)) {
    close(reader);
    t_last_error = EEXIST;
    return false;
  }
  Close();
  handle_ = reader;
  return true;
}

std::int32_t TFileStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do {
    n = read(Fd(handle_), buffer, static_cast<std::size_t>(count));
  } while (n < 0 && errno == EINTR);
  if (n < 0) RaiseStreamError("Cannot read from", path_);
  return static_cast<std::int32_t>(n);
}

std::int32_t TFileStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const char* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < static_cast<std::size_t>(count)) {
    ssize_t n = write(Fd(handle_), p + done, static_cast<std::size_t>(count) - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      RaiseStreamError("Cannot write to", path_);
    }
    done += static_cast<std::size_t>(n);
  }
  return count;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
               : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                  : SEEK_END;
  off_t r = lseek(Fd(handle_), static_cast<off_t>(offset), whence);
  if (r < 0) RaiseStreamError("Cannot seek in", path_);
  return static_cast<std::int64_t>(r);
}

std::int64_t TFileStream::Size() {
  struct stat st;
  if (fstat(Fd(handle_), &st) != 0) RaiseStreamError("Cannot read the size of", path_);
  return static_cast<std::int64_t>(st.st_size);
}

void TFileStream::SetSize(std::int64_t size) {
  if (size < 0) size = 0;
  // A size that does not change is left alone: ext4 takes a cut to nothing as a file being
  // replaced, and then writes all of the file's data out when it is closed (auto_da_alloc),
  // which made the close of a new download file wait for the disk (a third of the time of a
  // 1 GiB download from a local server).
  if (size == Size()) return;
  std::int64_t pos = Position();
  if (ftruncate(Fd(handle_), static_cast<off_t>(size)) != 0)
    RaiseStreamError("Cannot change the size of", path_);
  if (pos > size) Seek(size, TSeekOrigin::soBeginning);
}

}  // namespace plat
