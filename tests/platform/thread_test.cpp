// Threads, locks and conditions of the platform (platform/thread.h): the standard library's
// on POSIX, the system's own on Windows.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/thread.h"
#include "platform/tick.h"

namespace {

using namespace std::chrono_literals;

TEST(Thread, RunsItsBodyOnAnotherThreadAndJoins) {
  std::uint32_t body_thread = 0;
  plat::Thread t;
  EXPECT_FALSE(t.Joinable());
  ASSERT_TRUE(t.Start([&body_thread] { body_thread = plat::CurrentThreadId(); }));
  EXPECT_TRUE(t.Joinable());
  EXPECT_FALSE(t.Start([] {}));  // one thread per object
  t.Join();
  EXPECT_FALSE(t.Joinable());
  EXPECT_NE(body_thread, 0u);
  EXPECT_NE(body_thread, plat::CurrentThreadId());

  // A moved thread is joined through its new object; the object is free for another start.
  plat::Thread moved;
  ASSERT_TRUE(t.Start([&body_thread] { body_thread = 0; }));
  moved = std::move(t);
  EXPECT_FALSE(t.Joinable());
  moved.Join();
  EXPECT_EQ(body_thread, 0u);
}

TEST(Thread, ADetachedThreadRunsOnItsOwn) {
  plat::Mutex mu;
  plat::ConditionVariable cond;
  bool ran = false;
  {
    plat::Thread t;
    ASSERT_TRUE(t.Start([&] {
      std::lock_guard<plat::Mutex> lock(mu);
      ran = true;
      cond.notify_one();
    }));
    t.Detach();
    EXPECT_FALSE(t.Joinable());
  }
  std::unique_lock<plat::Mutex> lock(mu);
  EXPECT_TRUE(plat::WaitFor(cond, lock, 30s, [&] { return ran; }));
}

// Threads that each enter the lock many times: never two inside at once, no increment lost.
template <typename Lock>
void ExpectMutualExclusion(Lock& lock) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  int counter = 0;  // guarded by lock only
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<plat::Thread> threads(kThreads);
  for (plat::Thread& t : threads) {
    ASSERT_TRUE(t.Start([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<Lock> guard(lock);
        if (inside.fetch_add(1) != 0) overlap = true;
        ++counter;
        inside.fetch_sub(1);
      }
    }));
  }
  for (plat::Thread& t : threads)
    t.Join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, kThreads * kRounds);
}

TEST(Mutex, ExcludesOtherThreadsUnderContention) {
  plat::Mutex mu;
  ExpectMutualExclusion(mu);
  ASSERT_TRUE(mu.try_lock());
  bool other_got_it = true;
  plat::Thread t;
  ASSERT_TRUE(t.Start([&] { other_got_it = mu.try_lock(); }));
  t.Join();
  EXPECT_FALSE(other_got_it);
  mu.unlock();
}

TEST(RecursiveMutex, IsReenteredByItsHolderAndExcludesOthersUntilFullyLeft) {
  plat::RecursiveMutex mu;
  ExpectMutualExclusion(mu);

  auto other_gets_it = [&mu] {
    bool got = false;
    plat::Thread t;
    EXPECT_TRUE(t.Start([&] {
      got = mu.try_lock();
      if (got) mu.unlock();
    }));
    t.Join();
    return got;
  };
  mu.lock();
  ASSERT_TRUE(mu.try_lock());
  mu.lock();
  EXPECT_FALSE(other_gets_it());
  mu.unlock();
  mu.unlock();
  EXPECT_FALSE(other_gets_it());  // still held once
  mu.unlock();
  EXPECT_TRUE(other_gets_it());
}

TEST(ConditionVariable, NotifyWakesTheWaiters) {
  // The deadline is far away: only a notify ends these waits in time.
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "notify_all" : "notify_one");
    plat::Mutex mu;
    plat::ConditionVariable cond;
    int waiting = 0;
    bool go = false;
    int woken = 0;
    const int waiters = all ? 3 : 1;
    std::vector<plat::Thread> threads(waiters);
    for (plat::Thread& t : threads) {
      ASSERT_TRUE(t.Start([&] {
        std::unique_lock<plat::Mutex> lock(mu);
        ++waiting;
        cond.notify_all();  // tells the test that one more waits
        if (plat::WaitUntil(cond, lock, plat::SteadyClock::now() + 60s, [&] { return go; }))
          ++woken;
      }));
    }
    auto start = plat::SteadyClock::now();
    {
      std::unique_lock<plat::Mutex> lock(mu);
      cond.wait(lock, [&] { return waiting == waiters; });
      go = true;
    }
    if (all) {
      cond.notify_all();
    } else {
      cond.notify_one();
    }
    for (plat::Thread& t : threads)
      t.Join();
    EXPECT_EQ(woken, waiters);
    EXPECT_LT(plat::SteadyClock::now() - start, 30s);
  }
}

TEST(ConditionVariable, WaitUntilTimesOutAtItsDeadlineAndNotBefore) {
  // Deadlines between whole milliseconds too: the system's waits count whole milliseconds.
  const std::chrono::microseconds waits[] = {0us, 300us, 1ms, 15500us, 40ms, 120ms};
  plat::Mutex mu;
  plat::ConditionVariable cond;
  for (auto wait : waits) {
    SCOPED_TRACE(wait.count());
    std::unique_lock<plat::Mutex> lock(mu);
    auto deadline = plat::SteadyClock::now() + wait;
    EXPECT_EQ(cond.WaitUntil(lock, deadline), plat::WaitStatus::kTimeout);
    auto returned = plat::SteadyClock::now();
    EXPECT_GE(returned, deadline);
    EXPECT_LT(returned - deadline, 10s);  // a wait that hangs past it fails here
    EXPECT_TRUE(lock.owns_lock());

    deadline = plat::SteadyClock::now() + wait;
    EXPECT_FALSE(plat::WaitUntil(cond, lock, deadline, [] { return false; }));
    EXPECT_GE(plat::SteadyClock::now(), deadline);
  }
  // A deadline already past: at once.
  std::unique_lock<plat::Mutex> lock(mu);
  EXPECT_EQ(cond.WaitUntil(lock, plat::SteadyClock::now() - 1s), plat::WaitStatus::kTimeout);
  EXPECT_TRUE(plat::WaitFor(cond, lock, 0ms, [] { return true; }));
}

TEST(SteadyClock, NeverGoesBackAndAdvances) {
  auto first = plat::SteadyClock::now();
  auto last = first;
  // Bounded: the clock must move within a few million readings.
  for (int i = 0; i < 10000000 && last == first; ++i) {
    auto now = plat::SteadyClock::now();
    ASSERT_GE(now, last);
    last = now;
  }
  EXPECT_GT(last, first);
}

}  // namespace
