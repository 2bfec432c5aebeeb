// The per-thread message queue and hidden windows, the tick counter and the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/messages.h"
#include "platform/sync.h"
#include "platform/tick.h"
#include "tests/support/test_thread.h"

namespace {

struct Seen {
  plat::WindowHandle window;
  std::uint32_t msg;
  plat::WParam wparam;
};
thread_local std::vector<Seen>* t_seen = nullptr;

plat::LResult RecordingProc(plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                            plat::LParam) {
  // Windows also sends its own window messages (creation, destruction): only posted ones count.
  if (t_seen && (msg >= plat::kMsgUser || msg == plat::kMsgTimer)) {
    t_seen->push_back({w, msg, wp});
  }
  return 7;
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!plat::IsWindowClassRegistered("QueueTestClass")) {
      ASSERT_TRUE(plat::RegisterWindowClass("QueueTestClass", RecordingProc));
    }
    t_seen = &seen;
    Drain();
    seen.clear();
  }
  void TearDown() override {
    for (auto w : windows)
      plat::DestroyWindow(w);
    Drain();
    t_seen = nullptr;
  }
  plat::WindowHandle NewWindow() {
    plat::WindowHandle w = plat::CreateHiddenWindow("QueueTestClass");
    EXPECT_NE(w, 0u);
    windows.push_back(w);
    return w;
  }
  // Dispatches everything queued now; returns how many messages were taken.
  int Drain() {
    int n = 0;
    plat::Message m;
    while (plat::PeekMessage(m)) {
      plat::DispatchMessage(m);
      ++n;
    }
    return n;
  }
  std::vector<Seen> seen;
  std::vector<plat::WindowHandle> windows;
};

TEST_F(QueueTest, PostedMessagesArriveInOrderWithTheirParameters) {
  plat::WindowHandle a = NewWindow(), b = NewWindow();
  ASSERT_TRUE(plat::PostMessage(a, 1100, 1, 0));
  ASSERT_TRUE(plat::PostMessage(b, 1101, 2, 0));
  ASSERT_TRUE(plat::PostMessage(a, 1102, 3, 0));
  Drain();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].window, a);
  EXPECT_EQ(seen[0].msg, 1100u);
  EXPECT_EQ(seen[1].window, b);
  EXPECT_EQ(seen[1].wparam, 2u);
  EXPECT_EQ(seen[2].msg, 1102u);
}

TEST_F(QueueTest, DispatchReturnsTheProcedureResult) {
  plat::WindowHandle a = NewWindow();
  plat::PostMessage(a, 1100, 0, 0);
  plat::Message m;
  ASSERT_TRUE(plat::PeekMessage(m));
  EXPECT_EQ(plat::DispatchMessage(m), 7);
}

TEST_F(QueueTest, DestroyedWindowReceivesNothingMore) {
  plat::WindowHandle a = NewWindow();
  plat::PostMessage(a, 1100, 0, 0);
  ASSERT_TRUE(plat::DestroyWindow(a));
  windows.clear();
  Drain();
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(plat::PostMessage(a, 1100, 0, 0));
  EXPECT_EQ(plat::GetLastError(), plat::kErrorInvalidWindowHandle);
  EXPECT_FALSE(plat::IsWindow(a));
}

TEST_F(QueueTest, PurgeRemovesOneIdOfOneWindow) {
  plat::WindowHandle a = NewWindow(), b = NewWindow();
  plat::PostMessage(a, 1100, 1, 0);
  plat::PostMessage(a, 1101, 2, 0);
  plat::PostMessage(b, 1100, 3, 0);
  plat::PostMessage(a, 1100, 4, 0);
  plat::PurgeMessages(a, 1100);
  Drain();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].wparam, 2u);
  EXPECT_EQ(seen[1].wparam, 3u);
}

TEST_F(QueueTest, WindowSlotHoldsAPointer) {
  plat::WindowHandle a = NewWindow();
  int value = 0;
  EXPECT_EQ(plat::GetWindowSlot(a), nullptr);
  plat::SetWindowSlot(a, &value);
  EXPECT_EQ(plat::GetWindowSlot(a), &value);
}

TEST_F(QueueTest, PostFromAnotherThreadWakesTheWait) {
  plat::WindowHandle a = NewWindow();
  std::atomic<bool> go{false};
  support::TestThread poster([&] {
    while (!go.load())
      std::this_thread::yield();
    plat::PostMessage(a, 1105, 9, 0);
  });
  go = true;
  // Waits up to 30 s: a wait that ignores the post fails here instead of passing slowly.
  std::uint32_t start = plat::GetTickCount();
  bool woke = plat::WaitForInput(30000);
  poster.join();
  EXPECT_TRUE(woke);
  EXPECT_LT(plat::TicksBetween(start, plat::GetTickCount()), 30000u);
  Drain();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].wparam, 9u);
}

TEST_F(QueueTest, WaitReturnsAtOnceWhenSomethingIsQueued) {
  plat::WindowHandle a = NewWindow();
  plat::PostMessage(a, 1100, 0, 0);
  EXPECT_TRUE(plat::WaitForInput(30000));
  EXPECT_EQ(Drain(), 1);
  EXPECT_FALSE(plat::WaitForInput(0));
}

TEST_F(QueueTest, QuitRequestEndsGetMessage) {
  plat::WindowHandle a = NewWindow();
  plat::PostMessage(a, 1100, 0, 0);
  plat::PostQuitMessage(0);
  plat::Message m;
  EXPECT_EQ(plat::GetMessage(m), 1);
  EXPECT_EQ(m.msg, 1100u);
  EXPECT_EQ(plat::GetMessage(m), 0);
  EXPECT_EQ(m.msg, plat::kMsgQuit);
}

TEST_F(QueueTest, WindowTimerTicksUntilKilled) {
  plat::WindowHandle a = NewWindow();
  ASSERT_TRUE(plat::SetTimer(a, 42, 1));
  int ticks = 0;
  std::uint32_t start = plat::GetTickCount();
  while (ticks < 3 && plat::TicksBetween(start, plat::GetTickCount()) < 20000) {
    plat::WaitForInput(1000);
    seen.clear();
    Drain();
    for (const auto& s : seen) {
      EXPECT_EQ(s.msg, plat::kMsgTimer);
      EXPECT_EQ(s.wparam, 42u);
      ++ticks;
    }
  }
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(plat::KillTimer(a, 42));
  EXPECT_FALSE(plat::KillTimer(a, 42));
}

TEST(Messages, RegisteredIdsAreStablePerName) {
  std::uint32_t a = plat::RegisterWindowMessage("VEXLOR_TEST_MESSAGE_A");
  std::uint32_t b = plat::RegisterWindowMessage("VEXLOR_TEST_MESSAGE_B");
  EXPECT_GE(a, 0xC000u);
  EXPECT_NE(a, b);
  EXPECT_EQ(plat::RegisterWindowMessage("VEXLOR_TEST_MESSAGE_A"), a);
}

TEST(Messages, UnknownClassCannotMakeAWindow) {
  EXPECT_EQ(plat::CreateHiddenWindow("NoSuchClassAnywhere"), 0u);
  EXPECT_NE(plat::GetLastError(), 0u);
}

TEST(Tick, IntervalsSurviveTheWrapAround) {
  plat::SetTickCountOffset(0);
  std::uint32_t real = plat::GetTickCount();
  // Start the counter 5 ms before it wraps.
  plat::SetTickCountOffset(0xFFFFFFFBu - real);
  std::uint32_t start = plat::GetTickCount();
  EXPECT_GE(start, 0xFFFFFFF0u);
  EXPECT_EQ(plat::TicksBetween(0xFFFFFFFBu, 0x00000005u), 10u);
  plat::SetTickCountOffset(plat::TickCountOffset() + 20);
  EXPECT_LT(plat::GetTickCount(), 0x1000u);
  EXPECT_GE(plat::TicksBetween(start, plat::GetTickCount()), 20u);
  plat::SetTickCountOffset(0);
}

TEST(Threads, IdsDifferPerThreadAndAreNotZero) {
  std::uint32_t mine = plat::CurrentThreadId();
  std::uint32_t other = 0;
  support::TestThread([&] { other = plat::CurrentThreadId(); }).join();
  EXPECT_NE(mine, 0u);
  EXPECT_NE(other, 0u);
  EXPECT_NE(mine, other);
}

TEST(Lock, IsRecursiveAndExcludesOtherThreads) {
  TNetCriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  bool other_got_it = true;
  support::TestThread([&] { other_got_it = cs.TryEnter(); }).join();
  EXPECT_FALSE(other_got_it);
  cs.Leave();
  cs.Leave();
  support::TestThread([&] {
    other_got_it = cs.TryEnter();
    if (other_got_it) cs.Leave();
  }).join();
  EXPECT_TRUE(other_got_it);
}

}  // namespace
