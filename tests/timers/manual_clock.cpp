#include "tests/timers/manual_clock.h"

#include <algorithm>
#include <limits>

#include "tests/support/test_thread.h"

std::uint32_t TManualClockSource::TickCount() {
  return static_cast<std::uint32_t>(start_ + elapsed_.load());
}

TNetClockWaitResult TManualClockSource::Wait(TNetWakeUpEvent& event, std::uint32_t timeout_ms,
                                             std::string& error_text) {
  Waiter self{&event, timeout_ms == NetClockWaitInfinite ? std::numeric_limits<std::uint64_t>::max()
                                                         : elapsed_.load() + timeout_ms};
  {
    std::lock_guard<plat::Mutex> lock(mu_);
    waiters_.push_back(&self);
    changed_.notify_all();
  }
  bool signalled = false;
  if (!fail_next_.load()) {
    signalled =
        event.WaitUntil([&] { return elapsed_.load() >= self.deadline || fail_next_.load(); });
  }
  std::lock_guard<plat::Mutex> lock(mu_);
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
  changed_.notify_all();
  if (signalled) return TNetClockWaitResult::cwSignaled;
  if (fail_next_.exchange(false)) {
    error_text = fail_text_;
    return TNetClockWaitResult::cwFailed;
  }
  return TNetClockWaitResult::cwTimeout;
}

void TManualClockSource::ThreadStarted() {
  std::lock_guard<plat::Mutex> lock(mu_);
  ++live_;
  changed_.notify_all();
}

void TManualClockSource::ThreadEnded() {
  std::lock_guard<plat::Mutex> lock(mu_);
  --live_;
  changed_.notify_all();
}

void TManualClockSource::Advance(std::uint32_t ms) {
  std::lock_guard<plat::Mutex> lock(mu_);
  elapsed_.fetch_add(ms);
  for (Waiter* w : waiters_)
    w->event->Notify();
  changed_.notify_all();
}

bool TManualClockSource::AdvanceToNextWake() {
  std::lock_guard<plat::Mutex> lock(mu_);
  std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
  for (const Waiter* w : waiters_)
    next = std::min(next, w->deadline);
  if (next == std::numeric_limits<std::uint64_t>::max()) return false;
  if (next > elapsed_.load()) elapsed_.store(next);
  for (Waiter* w : waiters_)
    w->event->Notify();
  changed_.notify_all();
  return true;
}

bool TManualClockSource::IdleLocked() const {
  if (fail_next_.load() && live_ > 0) return false;
  if (static_cast<int>(waiters_.size()) != live_) return false;
  std::uint64_t now = elapsed_.load();
  return std::all_of(waiters_.begin(), waiters_.end(),
                     [&](const Waiter* w) { return !w->event->IsSet() && now < w->deadline; });
}

bool TManualClockSource::WaitIdle(std::chrono::milliseconds limit) {
  std::unique_lock<plat::Mutex> lock(mu_);
  return plat::WaitFor(changed_, lock, limit, [&] { return IdleLocked(); });
}

void TManualClockSource::FailNextWait(std::string text) {
  std::lock_guard<plat::Mutex> lock(mu_);
  fail_text_ = std::move(text);
  fail_next_.store(true);
  for (Waiter* w : waiters_)
    w->event->Notify();
  changed_.notify_all();
}

int TManualClockSource::LiveThreads() {
  std::lock_guard<plat::Mutex> lock(mu_);
  return live_;
}
