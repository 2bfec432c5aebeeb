// Named mutexes on POSIX: shared flock() locks on one file per name.
//
// Every holder keeps a shared lock on the name's file; the name "exists" while somebody holds
// one. A new holder learns whether it is the first by trying an exclusive lock before it takes
// its shared one. Because converting a flock() lock is not atomic, that test-and-take runs under
// an exclusive lock on a guard file, so two processes creating the same name at once cannot
// both believe they were first. Locks go with the descriptor, also when a holder dies.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/named_mutex.h"

namespace plat {
namespace {

struct Holder {
  int fd = -1;
};

std::string MutexFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string dir;
  if (runtime != nullptr && *runtime == '/')
    dir = std::string(runtime) + "/vexlor-mutex";
  else
    dir = "/tmp/vexlor-mutex-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // A folder planted by somebody else is not used: its files could be swapped under us.
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
  return dir;
}

// One safe file name per mutex name.
std::string FileNameFor(const String& name) {
  std::string utf8 = text::ToUtf8(name);
  std::string out = "m-";
  for (unsigned char b : utf8) {
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '-' ||
        b == '_') {
      out.push_back(static_cast<char>(b));
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", b);
      out += buf;
    }
  }
  return out;
}

int OpenLockFile(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

int LockRetrying(int fd, int op) {
  int r;
  do {
    r = flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

TNamedMutex::TNamedMutex(const String& name) {
  std::string dir = MutexFolder();
  if (dir.empty()) return;
  std::string base = dir + "/" + FileNameFor(name);
  int guard = OpenLockFile(base + ".guard");
  if (guard < 0) return;
  int fd = -1;
  if (LockRetrying(guard, LOCK_EX) == 0) {
    fd = OpenLockFile(base);
    if (fd >= 0) {
      bool first = LockRetrying(fd, LOCK_EX | LOCK_NB) == 0;
      if (LockRetrying(fd, LOCK_SH) == 0) {
        already_existed_ = !first;
      } else {
        close(fd);
        fd = -1;
      }
    }
  }
  close(guard);  // also drops the guard lock
  if (fd >= 0) handle_ = new Holder{fd};
}

TNamedMutex::~TNamedMutex() {
  Close();
}

void TNamedMutex::Close() {
  auto* h = static_cast<Holder*>(handle_);
  if (h == nullptr) return;
  close(h->fd);
  delete h;
  handle_ = nullptr;
}

}  // namespace plat
