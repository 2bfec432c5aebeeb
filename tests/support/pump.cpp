// Message pumping for asynchronous tests.
#include "tests/support/pump.h"

#include <chrono>

#include "platform/messages.h"

namespace support {
namespace {

// Dispatches every message that is waiting; true when there was at least one.
bool DispatchWaiting() {
  bool any = false;
  plat::Message m;
  while (plat::PeekMessage(m)) {
    any = true;
    if (m.msg == plat::kMsgQuit) continue;
    plat::TranslateMessage(m);
    plat::DispatchMessage(m);
  }
  return any;
}

}  // namespace

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    DispatchWaiting();
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    plat::WaitForInput(20);
  }
}

void PumpPending() {
  while (DispatchWaiting()) {
  }
}

}  // namespace support
