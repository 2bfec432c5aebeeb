#include "ui/fake_view.h"

#include "platform/messages.h"

namespace ui {

namespace {

std::string Utf8(const String& s) {
  return text::ToUtf8(s);
}

const char* StyleName(ProgressStyle s) {
  return s == ProgressStyle::pbMarquee ? "marquee" : "normal";
}

}  // namespace

const char* NameOf(ControlId control) {
  return Def(control).Name;
}

FakeView::FakeView() {
  for (const ControlDef& s : kLayout) {
    State& st = state_[Index(s.Id)];
    st.text = s.Text;
    st.visible = s.Visible;
    st.enabled = s.Enabled;
    st.checked = s.Checked;
    st.position = s.RangeMin;
  }
  // The last page in stacking order lies on top at creation.
  front_ = Children(ControlId::frmMain).back();
}

void FakeView::Record(const std::string& line) {
  Log.push_back(line);
}

void FakeView::BringToFront(ControlId page) {
  Record(std::string("BringToFront ") + NameOf(page));
  if (!IsPage(page)) return;
  front_ = page;
  PageHistory.push_back(page);
}

void FakeView::SetText(ControlId control, const String& text) {
  Record(std::string("SetText ") + NameOf(control) + " " + Utf8(text));
  state_[Index(control)].text = text;
}

String FakeView::Text(ControlId control) const {
  return state_[Index(control)].text;
}

void FakeView::SetVisible(ControlId control, bool visible) {
  Record(std::string("SetVisible ") + NameOf(control) + (visible ? " true" : " false"));
  state_[Index(control)].visible = visible;
}

bool FakeView::Visible(ControlId control) const {
  return state_[Index(control)].visible;
}

void FakeView::SetEnabled(ControlId control, bool enabled) {
  Record(std::string("SetEnabled ") + NameOf(control) + (enabled ? " true" : " false"));
  state_[Index(control)].enabled = enabled;
}

bool FakeView::Enabled(ControlId control) const {
  return state_[Index(control)].enabled;
}

bool FakeView::Checked(ControlId control) const {
  return state_[Index(control)].checked;
}

void FakeView::SetProgressPosition(ControlId control, int position) {
  const ControlDef& s = Def(control);
  if (position < s.RangeMin) position = s.RangeMin;
  if (position > s.RangeMax) position = s.RangeMax;
  Record(std::string("SetProgressPosition ") + NameOf(control) + " " + std::to_string(position));
  state_[Index(control)].position = position;
}

int FakeView::ProgressPosition(ControlId control) const {
  return state_[Index(control)].position;
}

void FakeView::SetProgressStyle(ControlId control, ProgressStyle style) {
  Record(std::string("SetProgressStyle ") + NameOf(control) + " " + StyleName(style));
  state_[Index(control)].style = style;
}

ProgressStyle FakeView::GetProgressStyle(ControlId control) const {
  return state_[Index(control)].style;
}

bool FakeView::DoClose(const char* how) {
  Record(how);
  if (closed_) return true;
  bool can_close = true;
  ++close_queries_;
  if (listener_) listener_->OnCloseQuery(can_close);
  if (!can_close) return false;
  closed_ = true;
  Record("Closed");
  if (PostQuitOnClose) plat::PostQuitMessage(0);
  return true;
}

bool FakeView::Close() {
  return DoClose("Close");
}

MsgResult FakeView::MessageBox(const MessageBoxRequest& request) {
  Record("MessageBox " + Utf8(request.Caption) + ": " + Utf8(request.Text));
  MessageBoxes.push_back(request);
  if (box_script_.empty()) {
    Unscripted.push_back("MessageBox " + Utf8(request.Text));
    return UnscriptedMessageBoxAnswer;
  }
  MessageBoxAnswer answer = std::move(box_script_.front());
  box_script_.pop_front();
  return answer(request);
}

std::optional<String> FakeView::BrowseForFolder(const String& title) {
  Record("BrowseForFolder " + Utf8(title));
  FolderBrowserTitles.push_back(title);
  if (folder_script_.empty()) {
    Unscripted.push_back("BrowseForFolder " + Utf8(title));
    return std::nullopt;
  }
  FolderAnswer answer = std::move(folder_script_.front());
  folder_script_.pop_front();
  return answer(title);
}

void FakeView::ShowHtmlDialog(const HtmlDialogRequest& request) {
  Record("ShowHtmlDialog " + Utf8(request.Url) + " " + Utf8(request.Options));
  HtmlDialogs.push_back(request);
  std::string html;
  if (CallHtmlLoader && request.Load && !request.Load(html)) html.clear();
  HtmlLoaded.push_back(html);
}

void FakeView::ScriptMessageBox(MsgResult answer) {
  box_script_.push_back([answer](const MessageBoxRequest&) { return answer; });
}

void FakeView::ScriptMessageBox(MessageBoxAnswer answer) {
  box_script_.push_back(std::move(answer));
}

void FakeView::ScriptFolder(std::optional<String> answer) {
  folder_script_.push_back([answer](const String&) { return answer; });
}

void FakeView::ScriptFolder(FolderAnswer answer) {
  folder_script_.push_back(std::move(answer));
}

bool FakeView::Reachable(ControlId control) const {
  if (closed_ || control == ControlId::frmMain) return false;
  ControlId page = PageOf(control);
  if (page != ControlId::frmMain && page != front_) return false;
  const State& st = state_[Index(control)];
  return st.visible && st.enabled;
}

bool FakeView::Click(ControlId control) {
  if (!Reachable(control)) return false;
  const ControlDef& s = Def(control);
  if (s.Kind == ControlKind::ckCheckBox) {
    state_[Index(control)].checked = !state_[Index(control)].checked;
    return true;
  }
  if (!(s.Events & evClick)) return false;
  if (listener_) listener_->OnClick(control);
  return true;
}

bool FakeView::PressEnter() {
  if (closed_) return false;
  ControlId button = DefaultButton(front_);
  if (button == ControlId::frmMain || !Reachable(button)) return false;
  if (listener_) listener_->OnClick(button);
  return true;
}

bool FakeView::PressEscape() {
  if (closed_) return false;
  ControlId button = CancelButton(front_);
  if (button == ControlId::frmMain || !Reachable(button)) return false;
  if (listener_) listener_->OnClick(button);
  return true;
}

bool FakeView::MouseEnter(ControlId control) {
  if (!Reachable(control) || !(Def(control).Events & evMouseEnter)) return false;
  ApplyHover(*this, control, true);
  if (listener_) listener_->OnMouseEnter(control);
  return true;
}

bool FakeView::MouseLeave(ControlId control) {
  if (!Reachable(control) || !(Def(control).Events & evMouseLeave)) return false;
  ApplyHover(*this, control, false);
  if (listener_) listener_->OnMouseLeave(control);
  return true;
}

bool FakeView::TypeText(ControlId control, const String& text) {
  if (!Reachable(control) || Def(control).Kind != ControlKind::ckEdit) return false;
  state_[Index(control)].text = text;
  return true;
}

bool FakeView::SetChecked(ControlId control, bool checked) {
  if (!Reachable(control) || Def(control).Kind != ControlKind::ckCheckBox) return false;
  state_[Index(control)].checked = checked;
  return true;
}

bool FakeView::RequestClose() {
  if (closed_) return false;
  return DoClose("RequestClose");
}

bool FakeView::EndSession() {
  Record("EndSession");
  if (closed_) return true;
  return listener_ ? listener_->OnQueryEndSession() : true;
}

}  // namespace ui
