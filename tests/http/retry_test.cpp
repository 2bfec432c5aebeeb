// The retry policy and the resume checks (http/download_retry.h), and the pause between two
// attempts on a stepped clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "events/application.h"
#include "http/download_retry.h"
#include "http/retry_pause.h"
#include "platform/messages.h"
#include "tests/support/test_thread.h"
#include "tests/timers/manual_clock.h"

namespace {

using namespace download_retry;

TEST(RetryPolicy, WhichFailuresAreTriedAgain) {
  struct {
    std::uint16_t err;
    std::int32_t status;
    bool transient;
  } cases[] = {
      {0, 200, false},    {0, 206, false},    {0, 404, false},     {0, 416, false},
      {0, 499, false},    {0, 500, true},     {0, 503, true},      {3, 404, false},
      {8, 404, true},     {9, 0, true},       {10, 200, true},     {11, 200, false},
      {12, 200, false},   {13, 200, false},   {14, 200, false},    {15, 200, false},
      {16, 200, false},   {17, 404, false},   {10054, 404, true},  {10061, 404, true},
      {10060, 404, true}, {11001, 404, true}, {11003, 404, false}, {10013, 404, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TransientFailure(c.err, c.status), c.transient) << c.err << " " << c.status;
}

TEST(RetryPolicy, PausesGrowToEightTimesTheFirst) {
  std::vector<std::uint32_t> pauses;
  for (int retry = 1; retry <= kMaxDownloadRetries; ++retry)
    pauses.push_back(RetryPauseMs(retry));
  EXPECT_EQ(pauses, (std::vector<std::uint32_t>{1000, 2000, 4000, 8000, 8000}));
  EXPECT_EQ(RetryPauseMs(3, 100), 400u);
}

TEST(RetryPolicy, ContentRangeIsReadStrictly) {
  struct {
    const char16_t* value;
    bool ok;
    std::int64_t first, last, complete;
  } cases[] = {
      {u"bytes 100-199/200", true, 100, 199, 200},
      {u"Bytes 0-0/1", true, 0, 0, 1},
      {u"bytes 5-9/*", true, 5, 9, -1},
      {u"bytes 5-9/9", false, 0, 0, 0},  // past the end
      {u"bytes 9-5/20", false, 0, 0, 0},
      {u"bytes */20", false, 0, 0, 0},
      {u"bytes -5/20", false, 0, 0, 0},
      {u"bytes 1-2", false, 0, 0, 0},
      {u"items 1-2/3", false, 0, 0, 0},
      {u"bytes 1 -2/3", false, 0, 0, 0},
      {u"bytes 1-2/3x", false, 0, 0, 0},
      {u"bytes 1-99999999999999999999/3", false, 0, 0, 0},
      {u"", false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    TContentRange r;
    EXPECT_EQ(ParseContentRange(c.value, r), c.ok) << text::ToUtf8(c.value);
    if (!c.ok) continue;
    EXPECT_EQ(r.First, c.first);
    EXPECT_EQ(r.Last, c.last);
    EXPECT_EQ(r.Complete, c.complete);
  }
}

TEST(RetryPolicy, AddressesLoseTheirCredentials) {
  struct {
    const char16_t* url;
    const char16_t* logged;
  } cases[] = {
      {u"http://user:pw@host/p", u"http://host/p"},
      {u"http://user@host:81/p?q=a@b", u"http://host:81/p?q=a@b"},
      {u"http://us@er:p@ss@host", u"http://host"},
      {u"http://host/p@x", u"http://host/p@x"},
      {u"host/p", u"host/p"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(text::ToUtf8(AddressForLog(c.url)), text::ToUtf8(c.logged));
}

// The pause runs on the timers' clock: a helper moves a manual clock from scan to scan while
// the pause dispatches the thread's messages; no real time is waited for.
class RetryPauseTest : public ::testing::Test {
 protected:
  void SetUp() override { SetNetTimerClockSource(&clock_); }
  void TearDown() override {
    stepping_ = false;
    if (stepper_.joinable()) stepper_.join();
    ShutDownClockPool();
    SetNetTimerClockSource(nullptr);
  }
  // Moves the clock from wake to wake once the pause has armed its timer (`armed_`), and never
  // past `limit_`: the time a pause ends is then exactly its due time, however late this
  // thread handles the tick. A pause that has not ended 10 s (real time) after its due time
  // lets the clock run on, so the test fails instead of waiting for ever.
  void StartStepping() {
    stepper_ = support::TestThread([this] {
      auto stuck_since = std::chrono::steady_clock::now();
      while (stepping_) {
        if (!armed_) {
          parked_ = true;
          std::this_thread::yield();
          continue;
        }
        if (!clock_.WaitIdle(std::chrono::milliseconds(200))) {
          std::this_thread::yield();
          continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (Elapsed() >= limit_.load()) {
          if (now - stuck_since < std::chrono::seconds(10)) {
            std::this_thread::yield();
            continue;
          }
        } else {
          stuck_since = now;
        }
        if (!clock_.AdvanceToNextWake()) std::this_thread::yield();
      }
    });
  }
  std::uint32_t Elapsed() { return clock_.TickCount() - kStart; }

  static constexpr std::uint32_t kStart = 5000;
  TManualClockSource clock_{kStart};
  std::atomic<bool> stepping_{true};
  std::atomic<std::uint32_t> limit_{0xFFFFFFFFu};
  std::atomic<bool> armed_{false};
  std::atomic<bool> parked_{false};  // the stepper has seen armed_ false
  support::TestThread stepper_;
};

TEST_F(RetryPauseTest, EndsWhenItsTimeHasPassedOnTheClock) {
  for (std::uint32_t ms : {1000u, 4000u}) {
    // The stepper must stand still before the round reads the clock: still armed from the round
    // before, it could otherwise move the clock between that reading and the pause's start, and
    // the pause would end after the limit the stepper keeps to.
    armed_ = false;
    if (stepper_.joinable()) {
      parked_ = false;
      // Bounded so that a stepper that never runs again fails the test instead of hanging it.
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!parked_ && std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
      ASSERT_TRUE(parked_.load()) << "the clock stepper did not stand still within 10 s";
    }
    const std::uint32_t before = Elapsed();
    limit_ = before + ms;
    if (!stepper_.joinable()) StartStepping();
    {
      TRetryPause pause;
      // The pause asks before it arms its timer and again each time it looks at its state:
      // from the second question on, its timer runs.
      int questions = 0;
      EXPECT_TRUE(pause.Run(ms, [&] {
        if (++questions == 2) armed_ = true;
        return false;
      }));
      EXPECT_EQ(Elapsed() - before, ms);
    }
    // The clock thread may still wait for the next interval of the timer just stopped; the
    // stepper would move the clock to it before the next pause arms its own timer.
    ShutDownClockPool();
  }
}

// A click during the pause: a message to a window of the thread, posted once the clock has
// passed `at`; its handler asks the pause to stop, or ends the application.
struct Click {
  static constexpr const char* kClass = "VexlorTestPauseClick";
  static inline bool terminate = false;
  static inline std::atomic<bool> clicked{false};
  static plat::LResult Proc(plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                            plat::LParam lp) {
    if (msg != plat::kMsgUser) return plat::DefWindowProc(w, msg, wp, lp);
    clicked = true;
    if (terminate) Application().Terminate();
    return 0;
  }
};

TEST_F(RetryPauseTest, StopsAtOnceWhenAskedOrWhenTheApplicationEnds) {
  if (!plat::IsWindowClassRegistered(Click::kClass))
    plat::RegisterWindowClass(Click::kClass, &Click::Proc);
  const plat::WindowHandle window = plat::CreateHiddenWindow(Click::kClass);
  std::atomic<std::uint32_t> post_at{0xFFFFFFFFu};
  stepper_ = support::TestThread([this, window, &post_at] {
    auto idle_since = std::chrono::steady_clock::now();
    while (stepping_) {
      if (!clock_.WaitIdle(std::chrono::milliseconds(200))) continue;
      const auto now = std::chrono::steady_clock::now();
      if (post_at.load() == 0xFFFFFFFFu) {
        // No click to come: the clock stands still, so a pause that has been clicked ends on
        // the click and not on a clock that ran on while a loaded machine was still handling
        // it. A pause that does not end within 10 s (real time) gets its clock back, so the
        // test fails instead of waiting for ever.
        if (now - idle_since < std::chrono::seconds(10)) {
          std::this_thread::yield();
          continue;
        }
      } else if (Elapsed() >= post_at.load()) {
        post_at = 0xFFFFFFFFu;
        idle_since = now;
        plat::PostMessage(window, plat::kMsgUser, 0, 0);
        continue;
      }
      if (!clock_.AdvanceToNextWake()) std::this_thread::yield();
    }
  });
  for (bool terminate : {false, true}) {
    THeadlessApplication app;  // a fresh terminate flag for each case
    SetApplication(&app);
    Click::terminate = terminate;
    Click::clicked = false;
    const std::uint32_t before = Elapsed();
    post_at = before + 500;
    TRetryPause pause;
    EXPECT_FALSE(pause.Run(1000, [] { return Click::clicked && !Click::terminate; }));
    EXPECT_TRUE(Click::clicked);
    EXPECT_LT(Elapsed() - before, 1000u);
    SetApplication(nullptr);
  }
  stepping_ = false;
  stepper_.join();
  plat::DestroyWindow(window);
}

}  // namespace
