// Machine facts on POSIX.
#include <sys/random.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sysinfo.h"

namespace plat {

bool GetComputerName(String& name) {
  char buf[257];
  if (gethostname(buf, sizeof buf - 1) != 0) return false;
  buf[sizeof buf - 1] = '\0';
  name = text::FromUtf8(buf);
  if (name.size() > 256) name.resize(256);
  return true;
}

bool IsNative64BitWindows() {
  // There is no 32-bit view to escape from; answer as the machine is built.
  utsname u;
  if (uname(&u) != 0) return false;
  return std::strcmp(u.machine, "x86_64") == 0;
}

bool SecureRandom(std::uint64_t& value) {
  auto* p = reinterpret_cast<unsigned char*>(&value);
  std::size_t done = 0;
  while (done < sizeof value) {
    ssize_t n = getrandom(p + done, sizeof value - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace plat
