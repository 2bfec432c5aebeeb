// Message loop, pump and the synchronous wait.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "events/application.h"
#include "events/netwnd.h"
#include "events/syncwait.h"
#include "events/timers.h"
#include "platform/tick.h"
#include "tests/support/test_thread.h"
#include "tests/timers/manual_clock.h"

namespace {

// A component with one private message that counts its deliveries.
class TCounter : public TNetWndControl {
 public:
  TCounter() : TNetWndControl(nullptr) {}
  ~TCounter() override { ReleaseResources(true); }
  std::uint32_t Own() const { return own_; }
  void Post(plat::WParam wp = 0) {
    plat::WindowHandle h = Handle();  // binds first: the id exists only once bound
    plat::PostMessage(h, own_, wp, 0);
  }
  std::vector<plat::WParam> got;
  std::function<void()> on_message;

 protected:
  int MessageIdsNeeded() override { return TNetWndControl::MessageIdsNeeded() + 1; }
  void ClaimMessageIds() override {
    TNetWndControl::ClaimMessageIds();
    own_ = FWndHandler->AllocateMsgHandler(this);
  }
  void ReturnMessageIds() override {
    FWndHandler->UnregisterMessage(own_);
    TNetWndControl::ReturnMessageIds();
  }
  void HandleWindowMessage(TMessage& m) override {
    if (m.Msg == own_) {
      Guarded([&] {
        got.push_back(m.WParam);
        if (on_message) on_message();
      });
      return;
    }
    TNetWndControl::HandleWindowMessage(m);
  }

 private:
  std::uint32_t own_ = 0;
};

// Runs fn on a thread of its own and fails instead of hanging when it takes over 20 s.
template <typename Fn>
void WithDeadline(Fn fn) {
  support::Signal done;
  support::TestThread t([&] {
    fn();
    done.Set();
  });
  if (!done.WaitFor(std::chrono::seconds(20))) {
    ADD_FAILURE() << "blocked past its deadline";
    std::fflush(nullptr);
    std::_Exit(1);  // the blocked thread cannot be joined
  }
  t.join();
}

TEST(Pump, ProcessMessageTurnsAQuitIntoTerminatedAndGoesOn) {
  WithDeadline([] {
    TCounter c;
    c.SetMultiThreaded(true);
    c.Post(1);
    ASSERT_TRUE(c.PostQuitMessage());
    c.Post(2);
    EXPECT_FALSE(c.Terminated());
    c.ProcessMessages();
    EXPECT_TRUE(c.Terminated());
    EXPECT_EQ(c.got, (std::vector<plat::WParam>{1, 2}));
    EXPECT_FALSE(c.ProcessMessage());
  });
}

TEST(Pump, MessagePumpNeverWaits) {
  WithDeadline([] {
    TCounter c;
    c.Handle();
    c.MessagePump();  // empty queue, toolkit pump
    c.SetMultiThreaded(true);
    c.MessagePump();  // empty queue, own pump
    c.Post(5);
    c.MessagePump();
    EXPECT_EQ(c.got, (std::vector<plat::WParam>{5}));
  });
}

TEST(Pump, AnAssignedPumpAloneDecides) {
  WithDeadline([] {
    TCounter c;
    int calls = 0;
    c.SetOnMessagePump([&](TObject* sender) {
      EXPECT_EQ(sender, &c);
      ++calls;
    });
    c.SetMultiThreaded(true);
    c.Post(1);
    c.MessagePump();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(c.got.empty());
  });
}

TEST(Pump, TheToolkitPumpSetsTheApplicationFlag) {
  WithDeadline([] {
    TCounter c;
    c.Post(1);
    c.PostQuitMessage();
    c.MessagePump();
    EXPECT_EQ(c.got, (std::vector<plat::WParam>{1}));
    EXPECT_TRUE(Application().Terminated());
    EXPECT_TRUE(c.Terminated());
  });
}

// A turn of the queue ends once its time on the timers' clock is spent, after the message that
// spent it, and leaves the rest in order for the next turn; messages posted meanwhile belong
// to the queue like the others; a quit request is taken and the turn goes on.
struct QueueTurnCase {
  const char* name;
  std::uint32_t budget_ms;
  std::uint32_t ms_per_message;
  std::vector<std::vector<plat::WParam>> turns;  // what each turn dispatched
};

class QueueTurn : public ::testing::TestWithParam<QueueTurnCase> {};

TEST_P(QueueTurn, EndsAtItsBudgetAndLeavesTheRestInOrder) {
  const QueueTurnCase& c = GetParam();
  WithDeadline([&c] {
    ASSERT_EQ(TNetClockPool::Shared(), nullptr);
    TManualClockSource clock(7000);
    SetNetTimerClockSource(&clock);
    TCounter counter;
    counter.on_message = [&] {
      // The first message posts one more: it joins the queue behind the others.
      if (counter.got.size() == 1) counter.Post(9);
      clock.Advance(c.ms_per_message);
    };
    counter.Post(1);
    counter.Post(2);
    ASSERT_TRUE(counter.PostQuitMessage());
    counter.Post(3);
    counter.Post(4);
    bool terminated = false;
    std::vector<std::vector<plat::WParam>> turns;
    for (int i = 0; i < 10; ++i) {
      std::size_t before = counter.got.size();
      bool emptied = DispatchQueueTurn(terminated, c.budget_ms);
      turns.emplace_back(counter.got.begin() + static_cast<std::ptrdiff_t>(before),
                         counter.got.end());
      if (emptied) break;
    }
    EXPECT_EQ(turns, c.turns);
    EXPECT_TRUE(terminated);
    SetNetTimerClockSource(nullptr);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Pump, QueueTurn,
    ::testing::Values(
        QueueTurnCase{"until_empty", kQueueTurnUnbounded, 4, {{1, 2, 3, 4, 9}}},
        // 4 ms a message: the third spends the 10 ms (the quit request takes no time).
        QueueTurnCase{"budget", 10, 4, {{1, 2, 3}, {4, 9}}},
        // A spent budget still takes one message per turn (the quit request is one).
        QueueTurnCase{"one_each", 0, 1, {{1}, {2}, {}, {3}, {4}, {9}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pump, MessageLoopRunsUntilQuit) {
  WithDeadline([] {
    TCounter c;
    c.on_message = [&] {
      if (c.got.size() == 3) c.PostQuitMessage();
    };
    c.Post(1);
    c.Post(2);
    c.Post(3);
    c.MessageLoop();
    EXPECT_TRUE(c.Terminated());
    EXPECT_EQ(c.got.size(), 3u);
  });
}

TEST(SyncWait, APostFromAnotherThreadIsHandledWithinOnePass) {
  WithDeadline([] {
    TCounter c;
    c.Handle();
    support::TestThread poster([&] { c.Post(7); });
    std::uint32_t start = plat::GetTickCount();
    TSyncWait wait;
    wait.Done = [&] { return !c.got.empty(); };
    // A wait that only noticed the post after its input wait would take 60 s and time out.
    wait.TimedOut = [&] { return plat::TicksBetween(start, plat::GetTickCount()) > 15000; };
    wait.InputWaitMs = 60000;
    EXPECT_EQ(wait.Run(c), TSyncWaitResult::swDone);
    poster.join();
  });
}

TEST(SyncWait, EndsWhenTheApplicationTerminates) {
  WithDeadline([] {
    TCounter c;
    c.PostQuitMessage();
    TSyncWait wait;
    wait.Done = [] { return false; };
    EXPECT_EQ(wait.Run(c), TSyncWaitResult::swTerminated);
  });
}

TEST(SyncWait, TimesOutOnTheInjectedClockAcrossTheWrapAround) {
  WithDeadline([] {
    TCounter c;
    // The counter starts 1 s before it wraps; the handler moves it 31 s on.
    plat::SetTickCountOffset(0);
    plat::SetTickCountOffset(0xFFFFFFFFu - 1000u - plat::GetTickCount());
    std::uint32_t start = plat::GetTickCount();
    c.on_message = [&] { plat::SetTickCountOffset(plat::TickCountOffset() + 31000); };
    c.Post();
    TSyncWait wait;
    wait.Done = [] { return false; };
    wait.TimedOut = [&] { return plat::TicksBetween(start, plat::GetTickCount()) >= 30000; };
    EXPECT_EQ(wait.Run(c), TSyncWaitResult::swTimedOut);
    EXPECT_EQ(c.got.size(), 1u);
    plat::SetTickCountOffset(0);
  });
}

TEST(SyncWait, HandlersMayFinishTheWorkDuringThePump) {
  WithDeadline([] {
    TCounter c;
    bool done = false;
    c.on_message = [&] { done = true; };
    c.Post();
    TSyncWait wait;
    wait.Done = [&] { return done; };
    EXPECT_EQ(wait.Run(c), TSyncWaitResult::swDone);
  });
}

}  // namespace
