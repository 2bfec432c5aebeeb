// The headless application and the current-application registry.
#include "events/application.h"

#include "platform/messages.h"

namespace {
TApplicationBase* g_current = nullptr;
}

void THeadlessApplication::ProcessMessages() {
  plat::Message m;
  while (plat::PeekMessage(m)) {
    if (m.msg == plat::kMsgQuit) {
      terminated_ = true;
      continue;
    }
    plat::TranslateMessage(m);
    plat::DispatchMessage(m);
  }
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
