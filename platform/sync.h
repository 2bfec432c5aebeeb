// TNetCriticalSection: a recursive lock (plat::RecursiveMutex).
#pragma once

#include "platform/thread.h"

class TNetCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  // Lockable, so std::lock_guard works.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  plat::RecursiveMutex mutex_;
};
