// Termination signals (POSIX): each arrives as a message to the watching window, the handlers
// go back to what they were when the watch ends, and a program that caught one can still end
// by it.
#include <gtest/gtest.h>
#include <signal.h>

#include <vector>

#include "platform/messages.h"
#include "platform/termination.h"

namespace {

std::vector<plat::WParam> g_got;

plat::LResult Record(plat::WindowHandle, std::uint32_t msg, plat::WParam wparam, plat::LParam) {
  if (msg == plat::kMsgUser + 7) g_got.push_back(wparam);
  return 0;
}

TEST(TerminationSignals, EachArrivesAsAMessageAndTheHandlersAreRestored) {
  ASSERT_TRUE(plat::IsWindowClassRegistered("VexlorTerminationTest") ||
              plat::RegisterWindowClass("VexlorTerminationTest", &Record));
  plat::WindowHandle w = plat::CreateHiddenWindow("VexlorTerminationTest");
  ASSERT_NE(w, 0u);
  struct sigaction before = {};
  sigaction(SIGTERM, nullptr, &before);

  ASSERT_TRUE(plat::WatchTerminationSignals(w, plat::kMsgUser + 7));
  EXPECT_FALSE(plat::WatchTerminationSignals(w, plat::kMsgUser + 7)) << "one watch per process";
  g_got.clear();
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_EQ(raise(sig), 0);
    ASSERT_TRUE(plat::WaitForInput(5000)) << "signal " << sig << " woke nothing";
    plat::Message m;
    while (plat::PeekMessage(m))
      plat::DispatchMessage(m);
  }
  EXPECT_EQ(g_got, (std::vector<plat::WParam>{SIGTERM, SIGINT, SIGHUP}));

  plat::UnwatchTerminationSignals();
  struct sigaction after = {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  plat::DestroyWindow(w);
}

TEST(TerminationSignalsDeathTest, ACaughtSignalStillEndsTheProgramByIt) {
  EXPECT_EXIT(
      {
        plat::WindowHandle w = plat::CreateHiddenWindow("VexlorTerminationTest");
        plat::WatchTerminationSignals(w, plat::kMsgUser + 7);
        raise(SIGTERM);  // caught: the program goes on
        plat::UnwatchTerminationSignals();
        plat::RaiseTerminationSignal(SIGTERM);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
