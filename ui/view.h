// The wizard window as the controller sees it: the View interface, toolkit-free.
//
// The controller (TfrmMain) drives the window only through View and hears from it only through
// ViewListener. Every toolkit implements View from the same layout table (ui/layout.h): the
// FLTK window on Linux (ui/fltk/), the native window on Windows, and the recording FakeView
// (ui/fake_view.h) that the unit tests script.
//
// What a View does by itself, without asking the controller:
// - the hover pair of the install button (ApplyHover below): entering imgBtnInstall
//   shows imgBtnInstallHg, leaving imgBtnInstallHg shows imgBtnInstall again; the listener is
//   told afterwards (OnMouseEnter / OnMouseLeave) and need not swap the pictures itself;
// - keyboard input: Tab order, default button (Enter) and cancel button (Esc) of the page in
//   front only; Enter and Esc on a page without such a button do nothing;
// - the percent label keeps its right edge at the progress bar's right end (x = 555).
//
// Threads: the user-interface thread only. Every call may run nested inside another handler
// (the download's synchronous wait dispatches the thread's messages, and so do the modal
// dialogs); a View never calls the listener from another thread.
//
// Re-entrancy: MessageBox, BrowseForFolder and ShowHtmlDialog are modal. While they are open
// the thread's posted messages and socket notices go on being dispatched, so listener
// callbacks for other events (a finished download, ...) can run before they return. Input to
// the wizard window itself is blocked while a modal dialog is open.
//
// Ownership: the View does not own its listener; the listener must outlive the View or be
// detached with SetListener(nullptr) first.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/text.h"
#include "ui/controls.h"

namespace ui {

// Results of a message box: the system's button ids (IDOK ... IDNO).
enum MsgResult : int {
  idOk = 1,
  idCancel = 2,
  idAbort = 3,
  idRetry = 4,
  idIgnore = 5,
  idYes = 6,
  idNo = 7,
};

// The buttons of a message box (MB_OK = 0, MB_OKCANCEL = 1, MB_YESNO = 4, MB_RETRYCANCEL = 5).
enum class MsgButtons : std::uint32_t {
  mbOk = 0x0,
  mbOkCancel = 0x1,
  mbYesNo = 0x4,
  mbRetryCancel = 0x5,
};

// The icon of a message box (MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING,
// MB_ICONINFORMATION).
enum class MsgIcon : std::uint32_t {
  miNone = 0x00,
  miError = 0x10,
  miQuestion = 0x20,
  miWarning = 0x30,
  miInformation = 0x40,
};

// The system's style flags of a message box (buttons | icon), as MessageBoxW takes them.
constexpr std::uint32_t MessageBoxStyle(MsgButtons b, MsgIcon i) {
  return static_cast<std::uint32_t>(b) | static_cast<std::uint32_t>(i);
}

// Who owns a message box: nobody (a top-level box with its own taskbar entry) or the wizard
// window (modal to it, centred on it).
enum class MsgOwner { moNone, moWindow };

struct MessageBoxRequest {
  MsgOwner Owner = MsgOwner::moWindow;
  String Text;  // lines separated by CR LF, exactly as shown
  String Caption;
  MsgButtons Buttons = MsgButtons::mbOk;
  MsgIcon Icon = MsgIcon::miNone;
};

enum class ProgressStyle { pbNormal, pbMarquee };

// The modal, resizable window that shows one web page (the licence agreement).
struct HtmlDialogRequest {
  String Url;  // the page's address
  bool Resizable = true;
  int Height = 0;  // pixels, from the window's client size (scaled with the dpi on Windows)
  int Width = 0;
  // The options text the Windows HTML dialog takes
  // ("resizable:yes;dialogHeight:374 px;dialogWidth:544 px;"); other toolkits ignore it.
  String Options;
  // Fetches the page's HTML (UTF-8) for toolkits that have no browser of their own; called on
  // the user-interface thread after the dialog window is shown, may dispatch messages (a
  // synchronous download). Returns false when the page could not be had; the dialog then says
  // so. May be empty: the dialog then shows that the page could not be loaded.
  std::function<bool(std::string& html)> Load;
};

// The controller's side: user and system events, delivered on the user-interface thread.
class ViewListener {
 public:
  virtual ~ViewListener() = default;
  // A click on a button, a clickable picture or the licence link of the page in front, or the
  // button that Enter or Esc pressed.
  virtual void OnClick(ControlId control) = 0;
  // The mouse entered or left a picture that reports it (imgBtnInstall, imgBtnInstallHg);
  // the view has already applied the hover pair.
  virtual void OnMouseEnter(ControlId control) = 0;
  virtual void OnMouseLeave(ControlId control) = 0;
  // Every request to close the window (title-bar close, Alt+F4, system menu, View::Close):
  // set can_close to false to keep the window open. It starts true.
  virtual void OnCloseQuery(bool& can_close) = 0;
  // The session is ending (WM_QUERYENDSESSION). The result is the answer to the system:
  // true lets the session end.
  virtual bool OnQueryEndSession() = 0;
};

class View {
 public:
  virtual ~View() = default;

  virtual void SetListener(ViewListener* listener) = 0;

  // Shows the window (centred on the screen the first time) with the page in front.
  virtual void Show() = 0;

  // Pages: bring one panel to the front (the others stay beneath, unseen and unreachable).
  virtual void BringToFront(ControlId page) = 0;
  virtual ControlId FrontPage() const = 0;

  // Text of a label, edit box, button or check box.
  virtual void SetText(ControlId control, const String& text) = 0;
  virtual String Text(ControlId control) const = 0;

  // Visibility of a label or picture.
  virtual void SetVisible(ControlId control, bool visible) = 0;
  virtual bool Visible(ControlId control) const = 0;

  // Buttons (and any other control that takes input).
  virtual void SetEnabled(ControlId control, bool enabled) = 0;
  virtual bool Enabled(ControlId control) const = 0;

  // Check boxes.
  virtual bool Checked(ControlId control) const = 0;

  // The progress bar (range 0 to 100).
  virtual void SetProgressPosition(ControlId control, int position) = 0;
  virtual int ProgressPosition(ControlId control) const = 0;
  virtual void SetProgressStyle(ControlId control, ProgressStyle style) = 0;
  virtual ProgressStyle GetProgressStyle(ControlId control) const = 0;

  // The window.
  virtual String Caption() const = 0;
  virtual int ClientWidth() const = 0;
  virtual int ClientHeight() const = 0;
  // The system's handle of the window (HWND on Windows, the X window id under FLTK, 0 for the
  // fake); for platform calls that want an owner.
  virtual std::uintptr_t Handle() const = 0;
  // Asks to close the window: runs the close query (OnCloseQuery) and, when it allows, closes
  // the window, which ends the application loop. Returns true when the window closed.
  virtual bool Close() = 0;

  // Modal dialogs.
  virtual MsgResult MessageBox(const MessageBoxRequest& request) = 0;
  // The system's folder browser, titled `title`, starting at the desktop. nullopt: cancelled.
  // An empty string: an item was chosen that has no file-system path.
  virtual std::optional<String> BrowseForFolder(const String& title) = 0;
  // Returns when the user has closed the dialog.
  virtual void ShowHtmlDialog(const HtmlDialogRequest& request) = 0;
};

// The hover pair of the install button, for the Views to apply before they tell the listener:
// entering imgBtnInstall hides it and shows imgBtnInstallHg; leaving imgBtnInstallHg hides it
// and shows imgBtnInstall. Returns true when `control` and the direction belong to the pair.
bool ApplyHover(View& view, ControlId control, bool entered);

}  // namespace ui
