// Threads, locks and conditions.
//
// The shipped Windows program is built with the compiler's win32 thread model, whose C++
// library has no std::thread, std::mutex or std::condition_variable (and no std::call_once,
// std::future, std::cv_status): the posix model's thread runtime they need would be linked
// into every program. These are the ones the shared code and the Win32 backend use.
//
// - Mutex, RecursiveMutex: lockable, so std::lock_guard and std::unique_lock work with them.
//   A try_lock may fail while the lock is free (as the standard allows; on Windows Vista, which
//   has no try of an SRW lock, it always fails but for a recursive lock's holder).
// - ConditionVariable: waits with a std::unique_lock<Mutex>; a wait may wake without a notify
//   (use the forms with a predicate); a wait with a deadline on SteadyClock returns kTimeout
//   only once the clock has reached the deadline.
// - SteadyClock: a monotonic clock (the win32 model's std::chrono::steady_clock reads the
//   wall-clock time).
// - Thread: a joinable thread running a callable. Start reports a refusal of the system by
//   its result, never by an exception; the callable must not let an exception out (as with
//   std::thread, the program would end).
//
// POSIX: the standard library's types. Win32: SRW locks, condition variables
// (SleepConditionVariableSRW), the performance counter and _beginthreadex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>  // std::lock_guard and std::unique_lock, which every thread model has
#include <utility>

#if !defined(_WIN32)
#include <condition_variable>
#include <thread>
#endif

namespace plat {

enum class WaitStatus { kNotified, kTimeout };

#if defined(_WIN32)

class Mutex {
 public:
  constexpr Mutex() noexcept = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() noexcept;
  void unlock() noexcept;
  bool try_lock() noexcept;

 private:
  friend class ConditionVariable;
  void* lock_ = nullptr;  // an SRWLOCK, whose initial state is all zero
};

class RecursiveMutex {
 public:
  constexpr RecursiveMutex() noexcept = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;
  void lock() noexcept;
  void unlock() noexcept;
  bool try_lock() noexcept;

 private:
  Mutex mutex_;
  // The holder's thread id (0: none). Only the holder writes its own id, so a thread that reads
  // its own id holds the lock.
  std::atomic<std::uint32_t> owner_{0};
  std::uint32_t depth_ = 0;
};

struct SteadyClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<SteadyClock, duration>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};

class ConditionVariable {
 public:
  constexpr ConditionVariable() noexcept = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;
  void notify_one() noexcept;
  void notify_all() noexcept;
  void wait(std::unique_lock<Mutex>& lock) noexcept;
  WaitStatus WaitUntil(std::unique_lock<Mutex>& lock, SteadyClock::time_point deadline) noexcept;

  template <typename Pred>
  void wait(std::unique_lock<Mutex>& lock, Pred pred) {
    while (!pred())
      wait(lock);
  }

 private:
  void* cond_ = nullptr;  // a CONDITION_VARIABLE, whose initial state is all zero
};

#else

using Mutex = std::mutex;
using RecursiveMutex = std::recursive_mutex;
using SteadyClock = std::chrono::steady_clock;

class ConditionVariable : public std::condition_variable {
 public:
  WaitStatus WaitUntil(std::unique_lock<Mutex>& lock, SteadyClock::time_point deadline) {
    return wait_until(lock, deadline) == std::cv_status::timeout ? WaitStatus::kTimeout
                                                                 : WaitStatus::kNotified;
  }
};

#endif

// Waits until pred() holds (true) or the deadline has passed with pred() still false (false).
template <typename Pred>
bool WaitUntil(ConditionVariable& cond, std::unique_lock<Mutex>& lock,
               SteadyClock::time_point deadline, Pred pred) {
  while (!pred()) {
    if (cond.WaitUntil(lock, deadline) == WaitStatus::kTimeout) return pred();
  }
  return true;
}

// The same with the deadline given as a time from now.
template <typename Rep, typename Period, typename Pred>
bool WaitFor(ConditionVariable& cond, std::unique_lock<Mutex>& lock,
             std::chrono::duration<Rep, Period> timeout, Pred pred) {
  return WaitUntil(cond, lock,
                   SteadyClock::now() + std::chrono::ceil<SteadyClock::duration>(timeout), pred);
}

class Thread {
 public:
  Thread() noexcept = default;
  // A thread still joinable here ends the program, as with std::thread.
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;

  // Runs body on a new thread. False (nothing started, body dropped) when the system cannot
  // start one or this object still holds a thread.
  template <typename Body>
  bool Start(Body body) {
    if (Joinable()) return false;
    auto* copy = new Body(std::move(body));
    if (StartEntry(&RunBody<Body>, copy)) return true;
    delete copy;
    return false;
  }
  bool Joinable() const noexcept;
  // Waits for the thread to end.
  void Join() noexcept;
  // Lets the thread run on its own; the object holds no thread afterwards.
  void Detach() noexcept;

 private:
  template <typename Body>
  static void RunBody(void* arg) noexcept {
    std::unique_ptr<Body> body(static_cast<Body*>(arg));
    (*body)();
  }
  bool StartEntry(void (*entry)(void*), void* arg) noexcept;

#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  std::thread thread_;
#endif
};

// Gives up the rest of the calling thread's time slice.
void YieldThread() noexcept;
// The number of processors the system runs threads on, at least 1.
unsigned ProcessorCount() noexcept;

}  // namespace plat
