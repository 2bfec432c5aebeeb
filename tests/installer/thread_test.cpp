// TThread and TInstallingProcessThread: the completion runs on the creating thread, from its
// message queue, after the body; a thread that frees itself leaves nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "installer/setup_runner.h"
#include "installer/thread.h"
#include "platform/process.h"
#include "platform/tick.h"
#include "tests/installer/installer_test_support.h"

namespace {

using installer::TInstallingProcessThread;
using installer::TThread;
using testing_support::PumpUntil;
using testing_support::RunOnFreshThread;

class TRecordingThread : public TThread {
 public:
  TRecordingThread(std::atomic<int>* destroyed) : TThread(true), destroyed_(destroyed) {}
  ~TRecordingThread() override {
    if (destroyed_) ++*destroyed_;
  }
  std::uint32_t BodyThread = 0;
  std::atomic<bool> BodyDone{false};

 protected:
  void Execute() override {
    BodyThread = plat::CurrentThreadId();
    BodyDone = true;
  }

 private:
  std::atomic<int>* destroyed_;
};

// The program ends while a self-freeing worker still runs; the worker finishes during the
// program's end and must touch nothing that is gone (the probe's exit status says so, with the
// sanitizers' verdict in the sanitizer builds).
TEST(TThread, AWorkerThatOutlivesTheProgramsEndTouchesNothingDestroyed) {
  std::int32_t code = -2;
  std::uint32_t error = 0;
  ASSERT_TRUE(plat::RunProcess(text::FromUtf8(VEXLOR_THREAD_EXIT_PROBE),
                               text::FromUtf8(VEXLOR_THREAD_EXIT_PROBE), code, error))
      << error;
  EXPECT_EQ(code, 0);
}

TEST(TThread, CompletionRunsOnTheCreatingThreadThenTheObjectFreesItself) {
  RunOnFreshThread([] {
    std::atomic<int> destroyed{0};
    auto* t = new TRecordingThread(&destroyed);
    std::uint32_t completion_thread = 0;
    bool body_done_at_completion = false;
    std::uint32_t body_thread = 0;
    t->FreeOnTerminate = true;
    t->OnTerminate = [&](TObject* sender) {
      auto* self = static_cast<TRecordingThread*>(sender);
      completion_thread = plat::CurrentThreadId();
      body_done_at_completion = self->BodyDone;
      body_thread = self->BodyThread;
    };
    EXPECT_FALSE(t->Started());
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return completion_thread != 0; }));
    EXPECT_EQ(completion_thread, plat::CurrentThreadId());
    EXPECT_NE(body_thread, plat::CurrentThreadId());
    EXPECT_TRUE(body_done_at_completion);
    ASSERT_TRUE(PumpUntil([&] { return destroyed == 1; }));
  });
}

TEST(TThread, CompletionWaitsForTheQueue) {
  RunOnFreshThread([] {
    std::atomic<int> destroyed{0};
    auto* t = new TRecordingThread(&destroyed);
    bool completed = false;
    t->FreeOnTerminate = true;
    t->OnTerminate = [&](TObject*) { completed = true; };
    t->Start();
    // The body ends quickly, but nothing completes until this thread dispatches its messages.
    auto deadline = plat::GetTickCount() + 5000;
    while (!t->BodyDone && plat::GetTickCount() < deadline)
      std::this_thread::yield();
    EXPECT_FALSE(completed);
    EXPECT_EQ(destroyed, 0);
    ASSERT_TRUE(PumpUntil([&] { return completed && destroyed == 1; }));
  });
}

TEST(TThread, DestroyedByItsOwnerBeforeCompletionRunsNoHandler) {
  RunOnFreshThread([] {
    std::atomic<int> destroyed{0};
    bool completed = false;
    {
      TRecordingThread t(&destroyed);
      t.OnTerminate = [&](TObject*) { completed = true; };
      t.Start();
      auto deadline = plat::GetTickCount() + 5000;
      while (!t.BodyDone && plat::GetTickCount() < deadline)
        std::this_thread::yield();
    }  // the destructor waits for the body and cancels the completion
    EXPECT_EQ(destroyed, 1);
    PumpUntil([] { return false; }, 100);  // a late message finds nothing to run
    EXPECT_FALSE(completed);
  });
}

TEST(TThread, AWorkerOutlivingItsCreatingThreadIsReleased) {
  std::atomic<int> destroyed{0};
  RunOnFreshThread([&] {
    auto* t = new TRecordingThread(&destroyed);
    t->FreeOnTerminate = true;
    t->OnTerminate = [](TObject*) { ADD_FAILURE() << "no thread is left to run this"; };
    t->Start();
    auto deadline = plat::GetTickCount() + 5000;
    while (!t->BodyDone && plat::GetTickCount() < deadline)
      std::this_thread::yield();
  });  // the creating thread ends without dispatching
  auto deadline = plat::GetTickCount() + 10000;
  while (destroyed == 0 && plat::GetTickCount() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(destroyed, 1);
}

struct RunCase {
  bool starts;
  std::int32_t code;
  bool started;
  std::int32_t exit_code;
};

class InstallingProcessThreadResult : public ::testing::TestWithParam<RunCase> {};

TEST_P(InstallingProcessThreadResult, ReportsTheRun) {
  const RunCase c = GetParam();
  RunOnFreshThread([c] {
    String seen;
    auto* t = new TInstallingProcessThread(true, [&](const String& program, const String& line,
                                                     std::int32_t& code, plat::TFileStream*) {
      seen = program + u"|" + line;
      code = c.code;
      return c.starts;
    });
    t->SetApplicationName(u"/tmp/x.exe");
    t->SetCommandLine(u"/tmp/x.exe /S /D=/opt/y");
    t->FreeOnTerminate = true;
    bool done = false;
    t->OnTerminate = [&](TObject* sender) {
      auto* self = static_cast<TInstallingProcessThread*>(sender);
      EXPECT_EQ(self->ProcessStarted(), c.started);
      EXPECT_EQ(self->InstallerExitCode(), c.exit_code);
      done = true;
    };
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(testing_support::Utf8(seen), "/tmp/x.exe|/tmp/x.exe /S /D=/opt/y");
  });
}

INSTANTIATE_TEST_SUITE_P(Table, InstallingProcessThreadResult,
                         ::testing::Values(RunCase{true, 0, true, 0}, RunCase{true, 1, true, 1},
                                           RunCase{true, 3010, true, 3010},
                                           RunCase{false, 77, false, 0}));

}  // namespace
