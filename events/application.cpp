// The headless application and the current-application registry.
#include "events/application.h"

#include "events/timers.h"
#include "platform/messages.h"
#include "platform/tick.h"

namespace {
TApplicationBase* g_current = nullptr;
}

bool DispatchQueueTurn(bool& terminated, std::uint32_t budget_ms) {
  const std::uint32_t started = NetTimerTickCount();
  plat::Message m;
  while (plat::PeekMessage(m)) {
    // A quit request ends the application whichever window it was posted to, as GetMessage
    // treats it.
    if (m.msg == plat::kMsgQuit) {
      terminated = true;
    } else {
      plat::TranslateMessage(m);
      plat::DispatchMessage(m);
    }
    if (budget_ms != kQueueTurnUnbounded &&
        plat::TicksBetween(started, NetTimerTickCount()) >= budget_ms)
      return !plat::WaitForInput(0);
  }
  return true;
}

// Nothing else shares the thread: the queue is dispatched to the end in one turn.
void THeadlessApplication::ProcessMessages() {
  DispatchQueueTurn(terminated_, kQueueTurnUnbounded);
}

void THeadlessApplication::Run() {
  plat::Message m;
  while (!terminated_) {
    int r = plat::GetMessage(m);
    if (r == 0) {
      terminated_ = true;
      break;
    }
    if (r < 0) continue;
    plat::TranslateMessage(m);
    plat::DispatchMessage(m);
  }
}

TApplicationBase& Application() {
  if (g_current != nullptr) return *g_current;
  // One headless application per thread: a thread of its own (a test, a tool) pumps its own
  // queue and has its own terminate flag.
  thread_local THeadlessApplication headless;
  return headless;
}

void SetApplication(TApplicationBase* app) {
  g_current = app;
}
