// The Windows application: the thread's one message queue runs everything.
//
// On Windows the wizard window, its controls and the hidden windows of the network components
// all belong to the user-interface thread, so one GetMessage loop dispatches window input,
// paint, socket notices and the components' own messages alike. A synchronous wait (a
// download) waits for the same queue (MsgWaitForMultipleObjects with QS_ALLINPUT) and pumps it
// through ProcessMessages, and the system's modal loops (message boxes, the folder browser,
// the HTML dialog) dispatch it too. Keyboard input of the wizard window goes through
// IsDialogMessage first, for Tab, Enter and Esc.
#include <cstdlib>

#include "events/application.h"
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

  void ProcessMessages() override {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        terminated_ = true;
        continue;
      }
      Dispatch(m);
    }
  }

  bool Terminated() const override { return terminated_; }
  void Terminate() override { terminated_ = true; }

  void Run() override {
    MSG m;
    while (!terminated_) {
      BOOL r = GetMessageW(&m, nullptr, 0, 0);
      if (r == 0 || r == -1) {
        terminated_ = true;
        break;
      }
      Dispatch(m);
    }
  }

 private:
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
