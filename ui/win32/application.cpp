// The Windows application: the thread's one message queue runs everything.
//
// On Windows the wizard window, its controls and the hidden windows of the network components
// all belong to the user-interface thread, so one loop dispatches window input, paint, socket
// notices and the components' own messages alike: in bounded turns of the queue, with the
// window's input and painting taken between two, since the queue itself hands them out only
// when no posted message waits (a fast download always has one). A synchronous wait (a
// download) waits for the same queue (MsgWaitForMultipleObjects with QS_ALLINPUT) and pumps it
// through ProcessMessages, and the system's modal loops (message boxes, the folder browser,
// the HTML dialog) dispatch it too. Keyboard input of the wizard window goes through
// IsDialogMessage first, for Tab, Enter and Esc.
#include <cstdlib>

#include "events/application.h"
#include "events/timers.h"
#include "platform/tick.h"
#include "ui/toolkit.h"
#include "ui/win32/win32_internal.h"

namespace ui::win32 {

namespace {

class TWin32Application : public TApplicationBase {
 public:
  TWin32Application() {
    // The user-interface thread is a single-threaded apartment: the shell's folder browser and
    // the HTML dialog need it.
    com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    InitToolkit();
    SetApplication(this);
  }

  ~TWin32Application() override {
    if (&Application() == this) SetApplication(nullptr);
    if (com_) CoUninitialize();
  }

  // The window's input and painting first, then the queue in turns of at most kQueueTurnMs,
  // input and painting again between two; returns at once when a quit request was taken.
  void ProcessMessages() override {
    for (;;) {
      InputAndPaintTurn();
      if (QueueTurn() || terminated_) return;
    }
  }

  bool Terminated() const override { return terminated_; }
  void Terminate() override { terminated_ = true; }

  void Run() override {
    while (!terminated_) {
      if (!QueueTurn()) {
        InputAndPaintTurn();
        continue;
      }
      if (terminated_) break;
      // The queue is empty: wait for the next message of any kind.
      if (MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
          WAIT_FAILED)
        terminated_ = true;
    }
  }

 private:
  // One turn of the queue in its own order (sent and posted messages before input, painting
  // last) until it is empty (true) or kQueueTurnMs have passed (false: messages are left).
  bool QueueTurn() {
    const std::uint32_t started = NetTimerTickCount();
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT)
        terminated_ = true;
      else
        Dispatch(m);
      if (plat::TicksBetween(started, NetTimerTickCount()) >= kQueueTurnMs) return false;
    }
    return true;
  }

  // The queue hands out input and painting only when no posted message is waiting, and a fast
  // download keeps posting: between two turns they are taken on their own. A window that
  // stays invalid would be painted for ever, so the turn is bounded.
  void InputAndPaintTurn() {
    MSG m;
    for (int n = 0;
         n < 64 && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT | PM_QS_PAINT); ++n) {
      if (m.message == WM_QUIT)
        terminated_ = true;
      else
        Dispatch(m);
    }
  }

  // No exception comes back through DispatchMessage: it could not unwind through the system's
  // frames, so every window procedure of the program catches its own.
  static void Dispatch(MSG& m) {
    if (HandleDialogInput(m)) return;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }

  bool com_ = false;
  bool terminated_ = false;
};

}  // namespace

}  // namespace ui::win32

// The C++ runtime's default terminate handler prints the type of an uncaught exception to the
// standard error stream, which a GUI program does not have, and brings the runtime's symbol
// demangler (about 46 KB) into the program to do so. Defined here, the program ends at once
// instead, and the demangler stays out.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

namespace ui {

std::unique_ptr<TApplicationBase> CreateToolkitApplication() {
  return std::make_unique<win32::TWin32Application>();
}

}  // namespace ui
