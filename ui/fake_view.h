// A recording View for tests: the wizard window's state without any window, with scripted
// answers for its modal dialogs and operations that play the user and the system.
//
// The state starts as the layout table says (ui/layout.h) with paStart in front. Every call
// the controller makes is recorded in Log (one readable line each) and the dialogs also in
// their own lists. The user's side (Click, PressEnter, MouseEnter, RequestClose, ...) acts
// only where a real window would let it: on the page in front, on a visible and enabled
// control, never while the window is closed. Those operations return whether anything
// reached the listener.
//
// Modal dialogs take their answers, in order, from the scripts. An answer may be a function,
// which runs while the dialog is "open" (it may dispatch messages, click, close, ...). A
// dialog with no scripted answer is recorded in Unscripted and answered with
// UnscriptedMessageBoxAnswer (Cancel) or a cancelled browse, so a test can assert that no
// unexpected question was asked instead of hanging.
//
// Closing the window (Close or RequestClose, when the close query allows) marks it closed and,
// like the real main window, posts the quit request to the calling thread's message queue
// (PostQuitOnClose), which makes the application's pump set its terminate flag.
//
// Threads: one thread, the one the test runs on.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/layout.h"
#include "ui/view.h"

namespace ui {

class FakeView : public View {
 public:
  using MessageBoxAnswer = std::function<MsgResult(const MessageBoxRequest&)>;
  using FolderAnswer = std::function<std::optional<String>(const String& title)>;

  FakeView();

  // --- View ---
  void SetListener(ViewListener* listener) override { listener_ = listener; }
  void Show() override { Record("Show"); }
  void BringToFront(ControlId page) override;
  ControlId FrontPage() const override { return front_; }
  void SetText(ControlId control, const String& text) override;
  String Text(ControlId control) const override;
  void SetVisible(ControlId control, bool visible) override;
  bool Visible(ControlId control) const override;
  void SetEnabled(ControlId control, bool enabled) override;
  bool Enabled(ControlId control) const override;
  bool Checked(ControlId control) const override;
  void SetProgressPosition(ControlId control, int position) override;
  int ProgressPosition(ControlId control) const override;
  void SetProgressStyle(ControlId control, ProgressStyle style) override;
  ProgressStyle GetProgressStyle(ControlId control) const override;
  String Caption() const override { return kWindow.Caption; }
  int ClientWidth() const override { return kWindow.ClientWidth; }
  int ClientHeight() const override { return kWindow.ClientHeight; }
  std::uintptr_t Handle() const override { return 0; }
  bool Close() override;
  MsgResult MessageBox(const MessageBoxRequest& request) override;
  std::optional<String> BrowseForFolder(const String& title) override;
  void ShowHtmlDialog(const HtmlDialogRequest& request) override;

  // --- Scripts ---
  void ScriptMessageBox(MsgResult answer);
  void ScriptMessageBox(MessageBoxAnswer answer);
  // nullopt: the user cancels the browser.
  void ScriptFolder(std::optional<String> answer);
  void ScriptFolder(FolderAnswer answer);
  // The HTML dialog calls the request's Load when this is true (the default) and keeps what it
  // loaded in HtmlLoaded.
  bool CallHtmlLoader = true;
  MsgResult UnscriptedMessageBoxAnswer = idCancel;
  bool PostQuitOnClose = true;
  std::size_t PendingMessageBoxAnswers() const { return box_script_.size(); }
  std::size_t PendingFolderAnswers() const { return folder_script_.size(); }

  // --- The user and the system ---
  // A mouse click: buttons and clickable pictures and labels report OnClick; a check box
  // toggles; an edit box takes the focus only.
  bool Click(ControlId control);
  // Enter and Esc: the default and the cancel button of the page in front, when enabled.
  bool PressEnter();
  bool PressEscape();
  // The mouse entering or leaving a picture: the hover pair is applied, the listener told.
  bool MouseEnter(ControlId control);
  bool MouseLeave(ControlId control);
  // The user types into an edit box of the page in front (replacing its text).
  bool TypeText(ControlId control, const String& text);
  // The user sets a check box of the page in front.
  bool SetChecked(ControlId control, bool checked);
  // The title-bar close button (also Alt+F4): the close query, then closing if allowed.
  bool RequestClose();
  // The system ends the session: the listener's answer (true when it has none).
  bool EndSession();

  // --- What happened ---
  bool Closed() const { return closed_; }
  int CloseQueries() const { return close_queries_; }
  std::vector<std::string> Log;                 // one line per recorded call, UTF-8
  std::vector<ControlId> PageHistory;           // every BringToFront, in order
  std::vector<MessageBoxRequest> MessageBoxes;  // every box shown, in order
  std::vector<String> FolderBrowserTitles;      // every browse, in order
  std::vector<HtmlDialogRequest> HtmlDialogs;   // every HTML dialog, in order
  std::vector<std::string> HtmlLoaded;          // what each HTML dialog loaded ("" failed)
  std::vector<std::string> Unscripted;          // dialogs that had no scripted answer

 private:
  struct State {
    String text;
    bool visible = true;
    bool enabled = true;
    bool checked = false;
    int position = 0;
    ProgressStyle style = ProgressStyle::pbNormal;
  };
  // The user can reach the control: window open, control on the page in front (or
  // window-wide), visible and enabled.
  bool Reachable(ControlId control) const;
  bool DoClose(const char* how);
  void Record(const std::string& line);

  ViewListener* listener_ = nullptr;
  std::array<State, kControlCount> state_;
  ControlId front_ = ControlId::paStart;
  bool closed_ = false;
  int close_queries_ = 0;
  std::deque<MessageBoxAnswer> box_script_;
  std::deque<FolderAnswer> folder_script_;
};

// The control's name from the layout table ("btnCancel").
const char* NameOf(ControlId control);

}  // namespace ui
