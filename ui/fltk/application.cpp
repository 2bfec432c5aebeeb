// The FLTK application: FLTK's loop runs the user-interface thread, with the thread's message
// queue attached as one more descriptor.
//
// The queue's wait descriptor (the thread's epoll set) is readable whenever a message waits or
// a socket or timer has something to report. FLTK watches it like any other descriptor, so
// Fl::wait dispatches the queue in the main loop and inside every modal loop (message boxes,
// the folder chooser, the licence window), which keeps a download running while a question is
// open.
//
// The queue is dispatched in turns of at most kQueueTurnMs, and FLTK's own events (input,
// painting, its timers) get their turn between two: a download that keeps the queue full
// (every readable notice of a fast sender posts its own continuation) never keeps a click or a
// repaint waiting longer than about one turn.
#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <FL/x.H>

#include <exception>

#include "platform/exceptions.h"
#include "platform/input_wake.h"
#include "platform/messages.h"
#include "ui/fltk/fltk_internal.h"
#include "ui/toolkit.h"

namespace ui::fltk {

namespace {

// The hidden window that receives the notice of new display input (nothing to do: the notice
// only ends the wait that is in progress).
constexpr const char* kInputWindowClass = "VexlorToolkitInputWindow";
constexpr std::uint32_t kMsgDisplayInput = plat::kMsgUser;

plat::LResult InputWindowProc(plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                              plat::LParam lp) {
  if (msg == kMsgDisplayInput) return 0;
  return plat::DefWindowProc(w, msg, wp, lp);
}

class TFltkApplication : public TApplicationBase {
 public:
  TFltkApplication() : fd_(plat::QueueWaitDescriptor()) {
    InitToolkit();
    if (fd_ >= 0) Fl::add_fd(fd_, FL_READ, &TFltkApplication::OnQueueReady, this);
    // A synchronous wait (a download in progress) waits on the thread's queue alone; user
    // input on the display must end it at once, as window input does on Windows.
    if (!plat::IsWindowClassRegistered(kInputWindowClass))
      plat::RegisterWindowClass(kInputWindowClass, &InputWindowProc);
    input_window_ = plat::CreateHiddenWindow(kInputWindowClass);
    display_fd_ = fl_display ? ConnectionNumber(fl_display) : -1;
    // Xlib reads the connection itself and keeps the events it meets while it waits for a
    // reply (a repaint's round trip, say). They no longer show on the descriptor, so every
    // wait that would block asks for them first: a click whose release lies there would
    // otherwise wait for the next input to arrive, for ever in a download that is held.
    if (input_window_ != 0 && display_fd_ >= 0)
      plat::WatchInputDescriptor(input_window_, display_fd_, kMsgDisplayInput,
                                 [] { return fl_display != nullptr && XQLength(fl_display) > 0; });
    SetApplication(this);
  }

  ~TFltkApplication() override {
    if (input_window_ != 0) {
      if (display_fd_ >= 0) plat::UnwatchInputDescriptor(input_window_, display_fd_);
      plat::DestroyWindow(input_window_);
    }
    if (fd_ >= 0) Fl::remove_fd(fd_, FL_READ);
    if (&Application() == this) SetApplication(nullptr);
  }

  // FLTK's events first, then the queue until it is empty, FLTK's events again between two
  // turns; returns at once when a quit request was taken.
  void ProcessMessages() override {
    for (;;) {
      Fl::check();
      if (DispatchQueueTurn(terminated_, kQueueTurnMs) || terminated_) return;
    }
  }

  bool Terminated() const override { return terminated_; }
  void Terminate() override { terminated_ = true; }

  void Run() override {
    while (!terminated_) {
      try {
        // What a turn leaves keeps the queue's descriptor readable: Fl::wait handles FLTK's
        // events and comes back to it at once.
        DispatchQueueTurn(terminated_, kQueueTurnMs);
        if (terminated_ || Fl::first_window() == nullptr) break;
        Fl::wait(1.0);
      } catch (const EAbort&) {
      } catch (const std::exception& e) {
        ReportException(e);
      }
    }
  }

 private:
  static void OnQueueReady(int, void* self) {
    auto* app = static_cast<TFltkApplication*>(self);
    try {
      DispatchQueueTurn(app->terminated_, kQueueTurnMs);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
      ReportException(e);
    }
  }

  // An exception that no handler caught: shown to the user like the system's own error box;
  // the silent abort is dropped before it gets here.
  static void ReportException(const std::exception& e) {
    fl_message_title("Vexlor Installer");
    fl_alert("%s", e.what());
  }

  int fd_;
  plat::WindowHandle input_window_ = 0;
  int display_fd_ = -1;
  bool terminated_ = false;
};

}  // namespace

}  // namespace ui::fltk

namespace ui {

std::unique_ptr<TApplicationBase> CreateToolkitApplication() {
  return std::make_unique<fltk::TFltkApplication>();
}

}  // namespace ui
