// Named mutexes: a name that exists while any holder keeps it open, system-wide for the user's
// session. The installer only asks whether the name exists; the product holds it while it runs.
//
// Win32: CreateMutexW (initial ownership requested) and ERROR_ALREADY_EXISTS.
// POSIX: a lock file per name in the user's runtime folder ($XDG_RUNTIME_DIR/vexlor-mutex, else
// /tmp/vexlor-mutex-<uid>), each holder keeping a shared lock on it. The name exists while any
// process holds such a lock, and disappears with the last holder (also when it dies).
//
// Threads: any; one object is used by one thread at a time.
#pragma once

#include "platform/text.h"

namespace plat {

class TNamedMutex {
 public:
  // Creates the mutex, or opens it when it already exists.
  explicit TNamedMutex(const String& name);
  ~TNamedMutex();
  TNamedMutex(const TNamedMutex&) = delete;
  TNamedMutex& operator=(const TNamedMutex&) = delete;

  // The mutex could be created or opened; this object now holds it.
  bool Valid() const { return handle_ != nullptr; }
  // The name existed before this object opened it.
  bool AlreadyExisted() const { return already_existed_; }
  // Releases the name now (the destructor does it otherwise).
  void Close();

 private:
  void* handle_ = nullptr;
  bool already_existed_ = false;
};

}  // namespace plat
