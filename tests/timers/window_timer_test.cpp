// Window timers, the rules common to both timer kinds, and thread timers on the system clock.
// Ticks on real clocks are awaited with a deadline; no test asserts how long anything took.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "events/netwnd.h"
#include "events/timers.h"
#include "platform/messages.h"
#include "platform/tick.h"
#include "tests/support/test_thread.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Dispatches the thread's messages until `done` or the deadline.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() >= deadline) return false;
    if (plat::WaitForInput(20)) {
      plat::Message m;
      while (plat::PeekMessage(m))
        plat::DispatchMessage(m);
    }
  }
  return true;
}

template <typename Fn>
std::string TimerError(Fn&& fn) {
  try {
    fn();
  } catch (const ENetTimerException& e) {
    return e.Message();
  }
  return "";
}

class TimerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    owner_.reset();
    ShutDownClockPool();
  }
  std::unique_ptr<TNetWndControl> owner_ = std::make_unique<TNetWndControl>(nullptr);
  std::uint32_t main_id_ = plat::CurrentThreadId();
};

TEST_F(TimerTest, OwnerIsRequired) {
  EXPECT_EQ(TimerError([] { TNetTimer t(nullptr); }), "Owner not assigned");
  EXPECT_EQ(TimerError([] { TNetThreadTimer t(nullptr); }), "Owner not assigned");
  EXPECT_EQ(TNetClockPool::Shared(), nullptr);
}

// While the owner is not bound to a thread, only writes that change nothing are accepted; a
// refused write stores nothing.
TEST_F(TimerTest, WritesOnAnUnboundOwner) {
  struct Case {
    const char* name;
    std::function<void(TNetTimer&)> write;
    std::string error;
  } cases[] = {
      {"Enabled unchanged", [](TNetTimer& t) { t.SetEnabled(true); }, ""},
      {"Interval unchanged", [](TNetTimer& t) { t.SetInterval(1000); }, ""},
      {"Enabled changed", [](TNetTimer& t) { t.SetEnabled(false); }, "No window available"},
      {"Interval changed", [](TNetTimer& t) { t.SetInterval(500); }, "No window available"},
      {"OnTimer", [](TNetTimer& t) { t.SetOnTimer([](TObject*) {}); }, "No window available"},
  };
  for (bool thread_timer : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(thread_timer ? "thread timer: " : "window timer: ") + c.name);
      std::unique_ptr<TNetTimer> t(thread_timer ? new TNetThreadTimer(owner_.get())
                                                : new TNetTimer(owner_.get()));
      EXPECT_EQ(TimerError([&] { c.write(*t); }), c.error);
      EXPECT_TRUE(t->Enabled());
      EXPECT_EQ(t->Interval(), 1000u);
      EXPECT_FALSE(t->OnTimer());
    }
  }
  EXPECT_EQ(owner_->ThreadID(), 0u);
}

TEST_F(TimerTest, WindowTimerTicksUntilSwitchedOff) {
  owner_->Handle();
  int fired = 0;
  TObject* sender = nullptr;
  auto* t = new TNetTimer(owner_.get());
  t->SetInterval(10);
  std::uint32_t before = plat::GetTickCount();
  t->SetOnTimer([&](TObject* s) {
    ++fired;
    sender = s;
  });
  EXPECT_LE(plat::TicksBetween(before, t->LastEvent()), 10000u);
  ASSERT_TRUE(PumpUntil([&] { return fired >= 3; }));
  EXPECT_EQ(sender, t);

  t->SetEnabled(false);
  int after_off = fired;
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(fired, after_off);

  // Switched on again it ticks again; destroying it stops it for good.
  t->SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fired > after_off; }));
  delete t;
  int after_destroy = fired;
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(fired, after_destroy);
}

// A running window timer follows its owner to another thread: it stops ticking on the old
// thread with the detach, whatever the old thread still finds queued, and ticks on the new one
// after the attach.
TEST_F(TimerTest, WindowTimerFollowsItsOwnerToAnotherThread) {
  owner_->Handle();
  std::atomic<int> main_ticks{0}, worker_ticks{0};
  auto* t = new TNetTimer(owner_.get());
  t->SetInterval(10);
  t->SetOnTimer(
      [&](TObject*) { (plat::CurrentThreadId() == main_id_ ? main_ticks : worker_ticks)++; });
  ASSERT_TRUE(PumpUntil([&] { return main_ticks > 0; }));
  owner_->ThreadDetach();
  EXPECT_TRUE(t->Enabled()) << "the setting stays; only the ticking stops";
  int at_detach = main_ticks;
  std::atomic<bool> attached{false}, done{false};
  support::TestThread worker([&] {
    owner_->ThreadAttach();
    attached = true;
    PumpUntil([&] { return worker_ticks >= 2; });
    owner_->ThreadDetach();
    done = true;
  });
  // The old thread keeps dispatching meanwhile: nothing of the timer may run here.
  PumpUntil([&] { return done.load(); });
  worker.join();
  EXPECT_TRUE(attached);
  EXPECT_GE(worker_ticks, 2);
  EXPECT_EQ(main_ticks, at_detach);
  owner_->ThreadAttach();
  ASSERT_TRUE(PumpUntil([&] { return main_ticks > at_detach; })) << "ticks here again";
}

// KillTimer acts on the window's own thread even when called from another one.
TEST(WindowTimer, KilledFromAnotherThread) {
  if (!plat::IsWindowClassRegistered("VexlorKillTimerTest")) {
    ASSERT_TRUE(plat::RegisterWindowClass("VexlorKillTimerTest", plat::DefWindowProc));
  }
  plat::WindowHandle w = plat::CreateHiddenWindow("VexlorKillTimerTest");
  ASSERT_NE(w, 0u);
  ASSERT_TRUE(plat::SetTimer(w, 42, 5));
  bool killed = false;
  support::TestThread([&] { killed = plat::KillTimer(w, 42); }).join();
  EXPECT_TRUE(killed);
  EXPECT_FALSE(plat::KillTimer(w, 42)) << "already gone";
  plat::DestroyWindow(w);
}

// When the system refuses the window timer (here: the window went away under a bound owner) the
// timer reports it and stays switched off.
TEST_F(TimerTest, RefusedWindowTimerSwitchesOff) {
  plat::WindowHandle window = owner_->Handle();
  auto* t = new TNetTimer(owner_.get());
  t->SetEnabled(false);
  t->SetOnTimer([](TObject*) {});
  ASSERT_TRUE(plat::DestroyWindow(window));
  EXPECT_EQ(TimerError([&] { t->SetEnabled(true); }), "No more timers");
  EXPECT_FALSE(t->Enabled());
  delete t;
}

// Thread timers on the system clock, with the tick counter started just below its wrap-around.
TEST_F(TimerTest, ThreadTimerOnTheSystemClockAcrossTheWrap) {
  std::uint32_t raw = plat::GetTickCount() - plat::TickCountOffset();
  plat::SetTickCountOffset(0xFFFFFFFFu - 400 - raw);
  owner_->Handle();
  std::vector<std::uint32_t> seen;
  auto* t = new TNetThreadTimer(owner_.get());
  t->SetInterval(60);
  t->SetOnTimer([&](TObject*) { seen.push_back(plat::GetTickCount()); });
  bool ticked = PumpUntil([&] { return seen.size() >= 4 && seen.back() < 0x80000000u; });
  delete t;
  plat::SetTickCountOffset(0);
  ASSERT_TRUE(ticked);
  EXPECT_GE(seen.front(), 0x80000000u);  // the first tick came before the wrap
}

TEST_F(TimerTest, ClockSourceIsFixedWhileClocksExist) {
  TNetSystemClockSource other;
  auto* t = new TNetThreadTimer(owner_.get());
  EXPECT_EQ(TimerError([&] { SetNetTimerClockSource(&other); }),
            "The timer clock source cannot change while clocks exist");
  delete t;
  EXPECT_EQ(TimerError([&] { SetNetTimerClockSource(&other); }), "");
  EXPECT_EQ(&NetTimerClockSource(), &other);
  SetNetTimerClockSource(nullptr);
}

}  // namespace
