// A clock source for timer tests: time moves only when the test says so, and the test can wait
// until every clock thread has finished what the new time made due.
//
// Threads: Advance, WaitIdle and FailNextWait are called by the test; the rest by the timers
// and clock threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "events/timers.h"
#include "tests/support/test_thread.h"

class TManualClockSource : public TNetTimerClockSource {
 public:
  explicit TManualClockSource(std::uint32_t start) : start_(start) {}

  std::uint32_t TickCount() override;
  TNetClockWaitResult Wait(TNetWakeUpEvent& event, std::uint32_t timeout_ms,
                           std::string& error_text) override;
  void Yield() override {}
  void ThreadStarted() override;
  void ThreadEnded() override;

  // Moves the time on and wakes the clock threads whose wait is over.
  void Advance(std::uint32_t ms);
  // Moves the time on to the end of the earliest timed wait, as real time would; false (and no
  // move) when no clock thread waits with a time limit.
  bool AdvanceToNextWake();
  // True once every clock thread is waiting for a time still to come (or for no time at all)
  // and no wake-up is pending; false when that does not happen within `limit`.
  bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // The next wait of a clock thread (or the current one) fails with this text.
  void FailNextWait(std::string text);
  int LiveThreads();

 private:
  struct Waiter {
    TNetWakeUpEvent* event;
    std::uint64_t deadline;  // in elapsed ms; UINT64_MAX: none
  };
  bool IdleLocked() const;

  const std::uint32_t start_;
  std::atomic<std::uint64_t> elapsed_{0};
  std::atomic<bool> fail_next_{false};
  plat::Mutex mu_;  // guards the rest; taken before any event's lock
  plat::ConditionVariable changed_;
  std::vector<Waiter*> waiters_;
  int live_ = 0;
  std::string fail_text_;
};
