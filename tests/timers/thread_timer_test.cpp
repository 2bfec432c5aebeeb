// Thread timers and the clock-thread pool, stepped with a manual clock: every scan of a clock
// thread happens at a known time, so the timing rules are checked exactly and without sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "events/netwnd.h"
#include "events/timers.h"
#include "platform/messages.h"
#include "platform/tick.h"
#include "tests/support/test_thread.h"
#include "tests/timers/manual_clock.h"

namespace {

class ThreadTimerTest : public ::testing::Test {
 protected:
  explicit ThreadTimerTest(std::uint32_t start = 1000000) : source_(start) {}

  void SetUp() override {
    ASSERT_EQ(TNetClockPool::Shared(), nullptr) << "an earlier test left clocks behind";
    SetNetTimerClockSource(&source_);
    owner_ = std::make_unique<TNetWndControl>(nullptr);
    owner_->Handle();
  }

  void TearDown() override {
    owner_.reset();
    ShutDownClockPool();
    SetNetTimerClockSource(nullptr);
  }

  // One period of the manual clock: the clock threads scan at the new time, then the owner's
  // thread handles what they posted.
  void Step(std::uint32_t ms) {
    Scan(ms);
    Pump();
  }
  // The same without handling anything on the owner's thread.
  void Scan(std::uint32_t ms) {
    ASSERT_TRUE(source_.WaitIdle());
    source_.Advance(ms);
    ASSERT_TRUE(source_.WaitIdle());
  }
  // Moves the time to the next scan of a clock thread (or by 100 ms when none waits for a
  // time), then lets the owner's thread handle what was posted.
  void StepToNextScan() {
    ASSERT_TRUE(source_.WaitIdle());
    if (!source_.AdvanceToNextWake()) source_.Advance(100);
    ASSERT_TRUE(source_.WaitIdle());
    Pump();
  }
  // Scan by scan until `done` or until `limit_ms` have passed.
  template <typename Done>
  void StepUntil(Done done, std::uint32_t limit_ms) {
    std::uint32_t start = Now();
    while (!done() && plat::TicksBetween(start, Now()) < limit_ms) {
      StepToNextScan();
      if (HasFatalFailure()) return;
    }
  }
  void StepFor(std::uint32_t ms) {
    StepUntil([] { return false; }, ms);
  }
  void Pump() {
    plat::Message m;
    while (plat::PeekMessage(m))
      plat::DispatchMessage(m);
  }
  std::uint32_t Now() { return source_.TickCount(); }

  TNetThreadTimer* NewTimer(std::uint32_t interval, TNotifyEvent on_timer) {
    auto* t = new TNetThreadTimer(owner_.get());
    t->SetInterval(interval);
    t->SetOnTimer(std::move(on_timer));
    return t;
  }

  TManualClockSource source_;
  std::unique_ptr<TNetWndControl> owner_;
};

// A tick comes at the first scan at least Interval ms after the previous tick was handled, so a
// slow handler stretches the period and the resolution makes ticks up to 100 ms late; the
// 32-bit tick count may wrap anywhere in between.
struct PeriodCase {
  const char* name;
  std::uint32_t start;
  std::uint32_t interval;
  std::uint32_t handler_ms;
  std::vector<std::uint32_t> expected;  // tick times, ms after the timer started
};

class ThreadTimerPeriodTest : public ThreadTimerTest,
                              public ::testing::WithParamInterface<PeriodCase> {
 protected:
  ThreadTimerPeriodTest() : ThreadTimerTest(GetParam().start) {}
};

TEST_P(ThreadTimerPeriodTest, TicksAtTheFirstScanAfterIntervalSinceHandled) {
  const PeriodCase& c = GetParam();
  std::vector<std::uint32_t> ticks;
  std::uint32_t t0 = Now();
  NewTimer(c.interval, [&](TObject*) {
    ticks.push_back(plat::TicksBetween(t0, Now()));
    source_.Advance(c.handler_ms);  // the handler's own time
  });
  StepUntil([&] { return ticks.size() >= c.expected.size(); }, 10000);
  EXPECT_EQ(ticks, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThreadTimerPeriodTest,
    ::testing::Values(
        PeriodCase{"quick_handler", 1000000, 1000, 0, {1000, 2000, 3000}},
        PeriodCase{"slow_handler", 1000000, 1000, 300, {1000, 2300, 3600}},
        PeriodCase{"short_handler_next_scan", 1000000, 1000, 50, {1000, 2100, 3200}},
        PeriodCase{"interval_between_scans", 1000000, 250, 0, {300, 600, 900}},
        PeriodCase{"wrap_in_first_interval", 0xFFFFFFFFu - 450, 1000, 300, {1000, 2300, 3600}},
        PeriodCase{"wrap_while_handling", 0xFFFFFFFFu - 1150, 1000, 300, {1000, 2300, 3600}},
        PeriodCase{"wrap_exactly_at_tick", 0u - 2000u, 1000, 0, {1000, 2000, 3000}}),
    [](const ::testing::TestParamInfo<PeriodCase>& info) { return info.param.name; });

// What restarts the interval: writing OnTimer always does; writing Enabled or Interval with the
// value they have does nothing.
TEST_F(ThreadTimerTest, OnlyARealChangeRestartsTheInterval) {
  struct Case {
    const char* name;
    void (*write)(TNetThreadTimer&);
    std::uint32_t expected;
  } cases[] = {
      {"nothing", [](TNetThreadTimer&) {}, 1000},
      {"same Enabled", [](TNetThreadTimer& t) { t.SetEnabled(true); }, 1000},
      {"same Interval", [](TNetThreadTimer& t) { t.SetInterval(1000); }, 1000},
      {"OnTimer again", [](TNetThreadTimer& t) { t.SetOnTimer(TNotifyEvent(t.OnTimer())); }, 1600},
      {"other Interval", [](TNetThreadTimer& t) { t.SetInterval(900); }, 1500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t t0 = Now();
    std::vector<std::uint32_t> ticks;
    TNetThreadTimer* t = NewTimer(1000, [&](TObject*) { ticks.push_back(Now() - t0); });
    for (int i = 0; i < 6; ++i)
      Step(100);
    c.write(*t);
    StepUntil([&] { return !ticks.empty(); }, 3000);
    EXPECT_EQ(ticks, std::vector<std::uint32_t>{c.expected});
    delete t;
  }
}

TEST_F(ThreadTimerTest, NoSecondTickWhileOneIsQueued) {
  int fired = 0;
  TNetThreadTimer* t = NewTimer(100, [&](TObject*) { ++fired; });
  Scan(100);
  EXPECT_TRUE(t->MsgQueued());
  // The owner's thread is busy for a second: the clock keeps scanning but posts nothing more.
  for (int i = 0; i < 10; ++i)
    Scan(100);
  Pump();
  EXPECT_EQ(fired, 1);
  // The next interval starts when the tick was handled.
  Step(100);
  EXPECT_EQ(fired, 2);
}

// The 1001st timer of the process gets a second clock with a second thread; a place given
// back is taken again in list order.
TEST_F(ThreadTimerTest, ThousandTimersPerClock) {
  int fired = 0;
  std::vector<TNetThreadTimer*> timers;
  for (int i = 0; i < 1001; ++i)
    timers.push_back(NewTimer(100, [&](TObject*) { ++fired; }));

  TNetClockPool* pool = TNetClockPool::Shared();
  ASSERT_NE(pool, nullptr);
  ASSERT_EQ(pool->ClockCount(), 2);
  TNetClock* first = pool->ClockAt(0);
  TNetClock* second = pool->ClockAt(1);
  EXPECT_EQ(pool->UserCount(first), 1000);
  EXPECT_EQ(pool->UserCount(second), 1);
  EXPECT_EQ(timers[999]->Clock(), first);
  EXPECT_EQ(timers[1000]->Clock(), second);
  ASSERT_NE(first->Thread(), nullptr);
  ASSERT_NE(second->Thread(), nullptr);
  EXPECT_NE(first->Thread(), second->Thread());
  EXPECT_EQ(source_.LiveThreads(), 2);

  Step(100);
  EXPECT_EQ(fired, 1001);

  delete timers[5];
  EXPECT_EQ(pool->UserCount(first), 999);
  timers[5] = new TNetThreadTimer(owner_.get());
  EXPECT_EQ(timers[5]->Clock(), first);

  owner_.reset();  // destroys its timers
  EXPECT_EQ(TNetClockPool::Shared(), nullptr);
  EXPECT_EQ(source_.LiveThreads(), 0);
}

// With KeepThreadAlive the clock thread parks when its last timer stops and the next started
// timer wakes the same thread; the clock even stays in the pool after its last user is gone.
// Without it the thread ends with the last timer and the pool with the last user.
TEST_F(ThreadTimerTest, KeepAliveParksAndWakesTheSameThread) {
  for (bool keep_alive : {true, false}) {
    SCOPED_TRACE(keep_alive ? "keep-alive" : "no keep-alive");
    int fired = 0;
    auto* t = new TNetThreadTimer(owner_.get());
    t->SetKeepThreadAlive(keep_alive);
    t->SetInterval(500);
    t->SetOnTimer([&](TObject*) { ++fired; });
    TNetClock* clock = t->Clock();
    TNetClockThread* thread = clock->Thread();
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(source_.WaitIdle());

    t->SetEnabled(false);
    ASSERT_TRUE(source_.WaitIdle());
    if (keep_alive) {
      EXPECT_EQ(clock->Thread(), thread);
      EXPECT_EQ(thread->Interval(), NetClockWaitInfinite);
      EXPECT_EQ(source_.LiveThreads(), 1);
    } else {
      EXPECT_EQ(clock->Thread(), nullptr);
      EXPECT_EQ(source_.LiveThreads(), 0);
    }
    Step(1000);
    EXPECT_EQ(fired, 0);

    delete t;
    if (keep_alive) {
      TNetClockPool* pool = TNetClockPool::Shared();
      ASSERT_NE(pool, nullptr);
      EXPECT_EQ(pool->UserCount(clock), 1);
      auto* t2 = new TNetThreadTimer(owner_.get());
      EXPECT_EQ(t2->Clock(), clock);
      EXPECT_TRUE(t2->KeepThreadAlive());
      std::uint32_t t0 = Now();
      std::vector<std::uint32_t> ticks;
      t2->SetInterval(500);
      t2->SetOnTimer([&](TObject*) { ticks.push_back(Now() - t0); });
      EXPECT_EQ(clock->Thread(), thread);
      EXPECT_EQ(thread->Interval(), 100u);
      StepUntil([&] { return !ticks.empty(); }, 2000);
      EXPECT_EQ(ticks, std::vector<std::uint32_t>{500});
      delete t2;
      EXPECT_EQ(source_.LiveThreads(), 1);
      ShutDownClockPool();
      EXPECT_EQ(source_.LiveThreads(), 0);
    } else {
      EXPECT_EQ(TNetClockPool::Shared(), nullptr);
    }
  }
}

// A tick still queued when its timer is destroyed is dropped by its stamp, also when a new
// timer now lives at the same address.
TEST_F(ThreadTimerTest, TickOfADestroyedTimerIsIgnored) {
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "new timer created" : "timer gone");
    int old_fired = 0;
    int new_fired = 0;
    TNetThreadTimer* t = NewTimer(100, [&](TObject*) { ++old_fired; });
    Scan(100);
    ASSERT_TRUE(t->MsgQueued());
    delete t;
    TNetThreadTimer* t2 = nullptr;
    if (replace) t2 = NewTimer(100000, [&](TObject*) { ++new_fired; });
    Pump();
    EXPECT_EQ(old_fired, 0);
    EXPECT_EQ(new_fired, 0);
    delete t2;
  }
}

// The dispatcher fires a timer only when the tick names a live timer of the right kind with
// the right stamp.
TEST_F(ThreadTimerTest, DispatcherChecksLivenessAndStamp) {
  int window_fired = 0;
  int thread_fired = 0;
  auto* wt = new TNetTimer(owner_.get());
  wt->SetInterval(1000000);
  wt->SetOnTimer([&](TObject*) { ++window_fired; });
  TNetThreadTimer* tt = NewTimer(1000000, [&](TObject*) { ++thread_fired; });
  auto wt_uid = wt->UID();
  auto tt_ptr = reinterpret_cast<plat::WParam>(static_cast<TNetTimer*>(tt));
  auto tt_uid = static_cast<plat::LParam>(tt->UID());
  EXPECT_EQ(wt_uid, reinterpret_cast<std::uintptr_t>(wt));

  TNetTimerDispatch& d = NetTimerDispatch();
  ASSERT_TRUE(d.WindowTimerTick);
  ASSERT_TRUE(d.ThreadTimerTick);
  EXPECT_EQ(d.ThreadTimerMessage, plat::RegisterWindowMessage("BRISKOLA_NET_THREAD_TIMER"));

  d.WindowTimerTick(wt_uid);
  d.ThreadTimerTick(tt_ptr, tt_uid);
  EXPECT_EQ(window_fired, 1);
  EXPECT_EQ(thread_fired, 1);

  d.WindowTimerTick(tt_ptr);              // a thread timer is no window timer
  d.ThreadTimerTick(wt_uid, tt_uid);      // stamp of another timer
  d.ThreadTimerTick(tt_ptr, tt_uid + 1);  // a stale or foreign stamp
  d.ThreadTimerTick(wt_uid, static_cast<plat::LParam>(wt_uid));  // a window timer by address
  EXPECT_EQ(window_fired, 1);
  EXPECT_EQ(thread_fired, 1);

  delete wt;
  delete tt;
  d.WindowTimerTick(wt_uid);
  d.ThreadTimerTick(tt_ptr, tt_uid);
  EXPECT_EQ(window_fired, 1);
  EXPECT_EQ(thread_fired, 1);
}

TEST_F(ThreadTimerTest, SerialNumbersFollowEachOther) {
  auto* a = new TNetThreadTimer(owner_.get());
  auto* b = new TNetThreadTimer(owner_.get());
  EXPECT_NE(a->UID(), 0u);
  EXPECT_EQ(b->UID(), a->UID() + 1);
}

// When the owner's window is gone the clock stops posting to the timer after the first failed
// post; the timer can still be destroyed (and leaves its clock).
TEST_F(ThreadTimerTest, DestroyedOwnerWindowIsNotPostedAgain) {
  int fired = 0;
  TNetThreadTimer* t = NewTimer(100, [&](TObject*) { ++fired; });
  plat::WindowHandle window = owner_->Handle();
  EXPECT_EQ(t->CurHandle(), window);
  ASSERT_TRUE(plat::DestroyWindow(window));

  Step(100);
  EXPECT_EQ(t->CurHandle(), NetTimerInvalidHandle);
  EXPECT_FALSE(t->MsgQueued());
  Step(1000);
  EXPECT_EQ(t->CurHandle(), NetTimerInvalidHandle);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(t->Clock()->TimerCount(), 1);
  delete t;
  EXPECT_EQ(TNetClockPool::Shared(), nullptr);
  EXPECT_EQ(source_.LiveThreads(), 0);
}

// A detach stops a running thread timer (a tick already queued at the old window is dropped
// there) and the attach on another thread starts it again, ticking there.
TEST_F(ThreadTimerTest, ATimerFollowsItsOwnerToAnotherThread) {
  const std::uint32_t main_id = plat::CurrentThreadId();
  std::atomic<int> main_ticks{0}, worker_ticks{0};
  TNetThreadTimer* t = NewTimer(
      100, [&](TObject*) { (plat::CurrentThreadId() == main_id ? main_ticks : worker_ticks)++; });
  Step(100);
  ASSERT_EQ(main_ticks, 1);
  Scan(100);  // a tick is queued at the old window and not handled before the detach
  ASSERT_TRUE(t->MsgQueued());
  owner_->ThreadDetach();
  EXPECT_EQ(t->Clock()->TimerCount(), 0) << "left the clock";
  Pump();
  EXPECT_EQ(main_ticks, 1) << "the queued tick is not handled on the old thread";
  Step(500);
  EXPECT_EQ(main_ticks, 1);

  std::atomic<bool> attached{false}, done{false};
  support::TestThread worker([&] {
    owner_->ThreadAttach();
    attached = true;
    for (int i = 0; i < 500 && worker_ticks < 2; ++i)
      if (plat::WaitForInput(20)) Pump();
    owner_->ThreadDetach();
    done = true;
  });
  for (int i = 0; i < 500 && !attached; ++i)
    plat::WaitForInput(10);
  // The clock moves on only once the worker has handled the tick of the step before (or a real
  // second has passed): a timer has one tick queued at a time, so steps taken faster than a
  // loaded worker handles them would be lost.
  for (int i = 0; i < 100 && !done; ++i) {
    const int seen = worker_ticks;
    Step(100);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (worker_ticks == seen && !done && std::chrono::steady_clock::now() < limit)
      std::this_thread::yield();
  }
  worker.join();
  EXPECT_GE(worker_ticks, 2);
  EXPECT_EQ(main_ticks, 1);
  owner_->ThreadAttach();
  Step(100);
  EXPECT_EQ(main_ticks, 2) << "ticks here again";
}

// A handler may throw (the dispatcher's background-exception path takes it and ticking goes
// on), change its own timer, or destroy the timer or its owner.
TEST_F(ThreadTimerTest, HandlerMayThrowChangeOrDestroy) {
  std::vector<std::string> bg;
  owner_->WndHandler()->OnBgException = [&](TObject*, std::exception& e, bool&) {
    bg.push_back(e.what());
  };
  int fired = 0;
  TNetThreadTimer* t = NewTimer(100, [&](TObject*) {
    ++fired;
    throw std::runtime_error("handler failed");
  });
  Step(100);
  Step(100);
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(bg, (std::vector<std::string>{"handler failed", "handler failed"}));
  delete t;

  // Over 500 ms of an interval of 100: the first tick comes at 100.
  struct Case {
    const char* name;
    int first_handler_calls;
    int replacement_calls;
    bool owner_gone;
  };
  for (Case c : {Case{"destroy timer", 1, 0, false}, Case{"disable timer", 1, 0, false},
                 Case{"replace handler", 1, 4, false}, Case{"destroy owner", 1, 0, true}}) {
    SCOPED_TRACE(c.name);
    if (!owner_) {
      owner_ = std::make_unique<TNetWndControl>(nullptr);
      owner_->Handle();
    }
    int calls = 0;
    int replacement_calls = 0;
    std::string name = c.name;
    TNetThreadTimer* timer = nullptr;
    timer = NewTimer(100, [&, name](TObject* sender) {
      ++calls;
      EXPECT_EQ(sender, timer);
      if (name == "destroy timer") delete timer;
      if (name == "disable timer") timer->SetEnabled(false);
      if (name == "replace handler") timer->SetOnTimer([&](TObject*) { ++replacement_calls; });
      if (name == "destroy owner") owner_.reset();
    });
    StepFor(500);
    EXPECT_EQ(calls, c.first_handler_calls);
    EXPECT_EQ(replacement_calls, c.replacement_calls);
    EXPECT_EQ(owner_ == nullptr, c.owner_gone);
    if (name == "disable timer" || name == "replace handler") delete timer;
  }
  EXPECT_EQ(TNetClockPool::Shared(), nullptr);
}

TEST_F(ThreadTimerTest, TimerAlreadyServedIsRefused) {
  TNetThreadTimer* t = NewTimer(100, [](TObject*) {});
  try {
    t->Clock()->SetTimer(t);
    ADD_FAILURE() << "no exception";
  } catch (const ENetTimerException& e) {
    EXPECT_EQ(e.Message(), "Timer already exists");
  }
  EXPECT_EQ(t->Clock()->TimerCount(), 1);
}

// A clock thread whose wait fails ends, drops its timers and reports why; the next start of a
// timer gives the clock a new thread.
TEST_F(ThreadTimerTest, FailedWaitEndsTheThreadAndARestartRecovers) {
  int fired = 0;
  TNetThreadTimer* t = NewTimer(100, [&](TObject*) { ++fired; });
  TNetClockThread* thread = t->Clock()->Thread();
  ASSERT_TRUE(source_.WaitIdle());
  source_.FailNextWait("wait failed");
  ASSERT_TRUE(source_.WaitIdle());
  EXPECT_TRUE(thread->Finished());
  EXPECT_EQ(thread->FatalError(), "wait failed");
  EXPECT_EQ(t->Clock()->TimerCount(), 0);
  Step(500);
  EXPECT_EQ(fired, 0);

  t->SetEnabled(false);
  t->SetEnabled(true);
  ASSERT_NE(t->Clock()->Thread(), nullptr);
  EXPECT_FALSE(t->Clock()->Thread()->Finished());
  Step(100);
  EXPECT_EQ(fired, 1);
}

// Ticks are delivered on the thread that owns the timer, whichever thread runs the clock.
TEST_F(ThreadTimerTest, TicksRunOnTheOwnersThread) {
  std::uint32_t main_fired_on = 0;
  NewTimer(100, [&](TObject*) { main_fired_on = plat::CurrentThreadId(); });

  std::atomic<bool> ready{false};
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> worker_id{0};
  std::atomic<std::uint32_t> worker_fired_on{0};
  support::TestThread worker([&] {
    worker_id = plat::CurrentThreadId();
    {
      TNetWndControl owner(nullptr);
      owner.Handle();
      auto* t = new TNetThreadTimer(&owner);
      t->SetInterval(100);
      t->SetOnTimer([&](TObject*) { worker_fired_on = plat::CurrentThreadId(); });
      ready = true;
      for (int i = 0; i < 500 && worker_fired_on == 0; ++i) {
        if (plat::WaitForInput(20)) owner.ProcessMessages();
      }
    }
    done = true;
  });
  for (int i = 0; i < 500 && !ready; ++i)
    plat::WaitForInput(10);
  ASSERT_TRUE(ready);
  for (int i = 0; i < 50 && (worker_fired_on == 0 || main_fired_on == 0) && !done; ++i)
    Step(100);
  worker.join();
  EXPECT_EQ(main_fired_on, plat::CurrentThreadId());
  EXPECT_EQ(worker_fired_on.load(), worker_id.load());
}

}  // namespace
