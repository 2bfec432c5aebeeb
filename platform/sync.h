// TNetCriticalSection: a recursive lock over one system critical section.
#pragma once

#include <mutex>

class TNetCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  // Lockable, so std::lock_guard works.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex_;
};
