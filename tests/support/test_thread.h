// Threads for the tests, over the platform's (platform/thread.h), which every target has (the
// Windows programs are built with a library that has no std::thread, std::mutex or
// std::promise).
//
// TestThread: std::thread's shape: the constructor starts it (a thread the system refuses ends
// the test program at once), join() waits. Signal: a one-shot event between threads, set once,
// waited for by any number of threads.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/thread.h"

namespace support {

class TestThread {
 public:
  TestThread() = default;
  template <typename Body>
  explicit TestThread(Body body) {
    if (!thread_.Start(std::move(body))) {
      std::fprintf(stderr, "the system refused a test thread\n");
      std::abort();
    }
  }
  bool joinable() const { return thread_.Joinable(); }
  void join() { thread_.Join(); }
  void detach() { thread_.Detach(); }

 private:
  plat::Thread thread_;
};

class Signal {
 public:
  void Set() {
    std::lock_guard<plat::Mutex> lock(mu_);
    set_ = true;
    cond_.notify_all();
  }
  bool IsSet() {
    std::lock_guard<plat::Mutex> lock(mu_);
    return set_;
  }
  void Wait() {
    std::unique_lock<plat::Mutex> lock(mu_);
    cond_.wait(lock, [this] { return set_; });
  }
  // True when set, false when the time ran out first.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<plat::Mutex> lock(mu_);
    return plat::WaitFor(cond_, lock, timeout, [this] { return set_; });
  }

 private:
  plat::Mutex mu_;
  plat::ConditionVariable cond_;
  bool set_ = false;
};

}  // namespace support
