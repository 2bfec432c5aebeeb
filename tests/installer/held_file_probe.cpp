// Another opener's attempts on a held file, with the system's own calls.
#include "tests/installer/held_file_probe.h"

#ifdef _WIN32
#include "platform/win32/win.h"
#else
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#endif

#include <string>

namespace testing_support {

#ifdef _WIN32

HeldFileProbe ProbeHeldFile(const String& path) {
  const std::wstring p(path.begin(), path.end());
  const std::wstring moved = p + L".moved";
  HeldFileProbe r;
  // Sharing everything: only the holder's own share mode can refuse these.
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, all, nullptr, OPEN_EXISTING, 0, nullptr);
  r.Read = h != INVALID_HANDLE_VALUE;
  if (r.Read) CloseHandle(h);
  h = CreateFileW(p.c_str(), GENERIC_WRITE, all, nullptr, OPEN_EXISTING, 0, nullptr);
  r.Write = h != INVALID_HANDLE_VALUE;
  if (r.Write) CloseHandle(h);
  r.Rename = MoveFileW(p.c_str(), moved.c_str()) != 0;
  if (r.Rename) MoveFileW(moved.c_str(), p.c_str());
  r.Delete = DeleteFileW(p.c_str()) != 0;
  return r;
}

bool OverridesFilePermissions() {
  return false;
}

#else

HeldFileProbe ProbeHeldFile(const String& path) {
  const std::string p = text::ToUtf8(path);
  const std::string moved = p + ".moved";
  HeldFileProbe r;
  int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  r.Read = fd >= 0;
  if (fd >= 0) close(fd);
  fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
  r.Write = fd >= 0;
  if (fd >= 0) close(fd);
  r.Rename = rename(p.c_str(), moved.c_str()) == 0;
  if (r.Rename) rename(moved.c_str(), p.c_str());
  // A deletion on POSIX cannot be undone; it is not tried here (the name can always be
  // unlinked by whoever may write the folder: the held descriptor is what runs).
  r.Delete = r.Rename;
  return r;
}

bool OverridesFilePermissions() {
  return geteuid() == 0;
}

#endif

}  // namespace testing_support
