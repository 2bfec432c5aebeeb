// The wizard window on FLTK, built from the layout table.
//
// Structure: a double-buffered window of the layout's client size holding, bottom first, the
// background and logo pictures and the four pages; each page is a group without a box, so the
// pictures show through it. Only the page in front is shown (FLTK neither draws nor sends
// events to hidden groups), which makes the others unseen and unreachable.
//
// Transparency: a control of a page may redraw alone (a label's new text, a check box's tick,
// a pressed button). Each one first paints what lies beneath it (white, the background, the
// logo) inside its own rectangle, so anti-aliased text and alpha edges never pile up.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <array>
#include <cmath>

#include "platform/messages.h"
#include "ui/fltk/fltk_internal.h"
#include "ui/fltk/fltk_view.h"
#include "ui/toolkit.h"

namespace ui::fltk {

namespace {

// Marquee: a block a quarter of the bar wide, crossing it once every 2 seconds.
constexpr double kMarqueeTick = 0.04;
constexpr double kMarqueeStep = kMarqueeTick / 2.0;

// Paints what lies beneath the pages inside the rectangle: white, the background picture, the
// product logo.
void DrawBackdrop(int x, int y, int w, int h) {
  fl_push_clip(x, y, w, h);
  fl_color(ColorOf(kWindow.Color));
  fl_rectf(x, y, w, h);
  for (ControlId id : {ControlId::imgBackgr, ControlId::imgVexlorLogo}) {
    const ControlDef& s = Def(id);
    if (Fl_Image* img = PictureImage(s.Pic)) img->draw(s.Left, s.Top);
  }
  fl_pop_clip();
}

// A widget that paints the backdrop under itself before drawing.
template <class Base>
class OverBackdrop : public Base {
 public:
  using Base::Base;
  void draw() override {
    if (this->damage() & ~FL_DAMAGE_CHILD) {
      DrawBackdrop(this->x(), this->y(), this->w(), this->h());
    }
    Base::draw();
  }
};

class WizardView;

// A picture of the layout, drawn with its alpha over whatever lies beneath.
class PictureBox : public Fl_Widget {
 public:
  PictureBox(WizardView* view, const ControlDef& def);
  void draw() override;
  int handle(int e) override;

 private:
  WizardView* view_;
  const ControlDef& def_;
};

// A label: no frame, no background, sized to its text unless the layout fixes its size.
class TextLabel : public Fl_Widget {
 public:
  TextLabel(WizardView* view, const ControlDef& def);
  void SetText(const String& text);
  const String& Text() const { return text_; }
  void draw() override;
  int handle(int e) override;

 private:
  void Fit();

  WizardView* view_;
  const ControlDef& def_;
  String text_;
  std::string utf8_;
};

// The progress bar, with a normal (positioned) and a marquee style.
class ProgressBar : public Fl_Widget {
 public:
  explicit ProgressBar(const ControlDef& def)
      : Fl_Widget(def.Left, def.Top, def.Width, def.Height), def_(def) {
    position_ = def.RangeMin;
  }
  ~ProgressBar() override { Fl::remove_timeout(&ProgressBar::Tick, this); }

  void SetPosition(int p) {
    position_ = std::clamp(p, def_.RangeMin, def_.RangeMax);
    redraw();
  }
  int Position() const { return position_; }
  void SetStyle(ProgressStyle s) {
    style_ = s;
    Fl::remove_timeout(&ProgressBar::Tick, this);
    if (s == ProgressStyle::pbMarquee) {
      phase_ = 0.4;  // the block shows at once, a little left of the middle
      Fl::add_timeout(kMarqueeTick, &ProgressBar::Tick, this);
    }
    redraw();
  }
  ProgressStyle Style() const { return style_; }
  double Phase() const { return phase_; }

  void draw() override {
    DrawBackdrop(x(), y(), w(), h());
    // Frame and track.
    fl_color(fl_rgb_color(0xBC, 0xBC, 0xBC));
    fl_rect(x(), y(), w(), h());
    fl_color(fl_rgb_color(0xE6, 0xE6, 0xE6));
    fl_rectf(x() + 1, y() + 1, w() - 2, h() - 2);
    int ix = x() + 1, iy = y() + 1, iw = w() - 2, ih = h() - 2;
    fl_push_clip(ix, iy, iw, ih);
    if (style_ == ProgressStyle::pbNormal) {
      int span = std::max(1, def_.RangeMax - def_.RangeMin);
      int fw = static_cast<int>(static_cast<long long>(iw) * (position_ - def_.RangeMin) / span);
      DrawFill(ix, iy, fw, ih, 255);
    } else {
      int bw = iw / 4;
      int bx = ix - bw + static_cast<int>((iw + bw) * phase_);
      DrawFill(bx, iy, bw, ih, 255);
    }
    fl_pop_clip();
  }

 private:
  // A green bar with a lighter upper half, like the system's progress bars.
  static void DrawFill(int x, int y, int w, int h, int) {
    if (w <= 0) return;
    for (int row = 0; row < h; ++row) {
      double t = h > 1 ? static_cast<double>(row) / (h - 1) : 0;
      double glow = t < 0.45 ? 1.0 - t / 0.45 * 0.5 : 0.5 - (t - 0.45) * 0.6;
      int r = static_cast<int>(0x06 + (0xA8 - 0x06) * glow * 0.6);
      int g = static_cast<int>(0xB0 + (0xE8 - 0xB0) * glow * 0.6);
      int b = static_cast<int>(0x25 + (0xA0 - 0x25) * glow * 0.6);
      fl_color(fl_rgb_color(static_cast<uchar>(std::clamp(r, 0, 255)),
                            static_cast<uchar>(std::clamp(g, 0, 255)),
                            static_cast<uchar>(std::clamp(b, 0, 255))));
      fl_xyline(x, y + row, x + w - 1);
    }
  }

  static void Tick(void* self) {
    auto* bar = static_cast<ProgressBar*>(self);
    bar->phase_ += kMarqueeStep;
    if (bar->phase_ >= 1.0) bar->phase_ -= 1.0;
    if (bar->visible_r()) bar->redraw();
    Fl::repeat_timeout(kMarqueeTick, &ProgressBar::Tick, self);
  }

  const ControlDef& def_;
  int position_ = 0;
  ProgressStyle style_ = ProgressStyle::pbNormal;
  double phase_ = 0;
};

// A page: a full-size group without a box. Tab and the arrow keys are left to the window,
// which moves the focus in the layout's Tab order.
class Page : public Fl_Group {
 public:
  Page(WizardView* view, const ControlDef& def);
  int handle(int e) override;

 private:
  WizardView* view_;
};

class WizardWindow : public Fl_Double_Window {
 public:
  WizardWindow(WizardView* view, int w, int h, const char* title)
      : Fl_Double_Window(w, h, title), view_(view) {}
  int handle(int e) override;

 private:
  WizardView* view_;
};

class WizardView : public View {
 public:
  WizardView();
  ~WizardView() override;

  void SetListener(ViewListener* listener) override { listener_ = listener; }
  void Show() override;
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
  int ClientWidth() const override { return window_->w(); }
  int ClientHeight() const override { return window_->h(); }
  std::uintptr_t Handle() const override {
    return window_->shown() ? static_cast<std::uintptr_t>(fl_xid(window_.get())) : 0;
  }
  bool Close() override;
  MsgResult MessageBox(const MessageBoxRequest& request) override;
  std::optional<String> BrowseForFolder(const String& title) override;
  void ShowHtmlDialog(const HtmlDialogRequest& request) override;

  // From the widgets.
  void Clicked(ControlId id);
  void Hover(bool inside_button);
  bool KeyPressed(int key, bool shift);
  void WindowCloseRequested();
  Fl_Widget* Widget(ControlId id) const { return widgets_[Index(id)]; }
  Fl_Window* Window() const { return window_.get(); }

 private:
  // Focus to the first control of the page in front that can take it.
  void FocusFirst();
  bool Reachable(ControlId id) const;

  std::unique_ptr<WizardWindow> window_;
  std::array<Fl_Widget*, kControlCount> widgets_{};
  ViewListener* listener_ = nullptr;
  ControlId front_ = ControlId::paStart;
  bool closed_ = false;
  bool in_close_ = false;
  std::string caption_;
};

// --- Widgets -----------------------------------------------------------------------------

PictureBox::PictureBox(WizardView* view, const ControlDef& def)
    : Fl_Widget(def.Left, def.Top, def.Width, def.Height), view_(view), def_(def) {
  Fl_Image* img = PictureImage(def.Pic);
  if (def.AutoSize && img) size(img->w(), img->h());
  visible_focus(0);
}

void PictureBox::draw() {
  // The window-wide pictures are the backdrop; page pictures paint it under their alpha.
  if (def_.Parent != ControlId::frmMain) DrawBackdrop(x(), y(), w(), h());
  if (Fl_Image* img = PictureImage(def_.Pic)) {
    fl_push_clip(x(), y(), w(), h());
    img->draw(x(), y());
    fl_pop_clip();
  }
}

int PictureBox::handle(int e) {
  if (def_.Events == evNone) return 0;
  switch (e) {
    case FL_ENTER:
      if (def_.Cur == Cursor::crHand) window()->cursor(FL_CURSOR_HAND);
      return 1;
    case FL_LEAVE:
      if (def_.Cur == Cursor::crHand) window()->cursor(FL_CURSOR_DEFAULT);
      return 1;
    case FL_MOVE:
      return 1;
    case FL_PUSH:
      return (def_.Events & evClick) && Fl::event_button() == FL_LEFT_MOUSE ? 1 : 0;
    case FL_DRAG:
      return 1;
    case FL_RELEASE:
      if ((def_.Events & evClick) && Fl::event_inside(this)) view_->Clicked(def_.Id);
      return 1;
    default:
      return 0;
  }
}

TextLabel::TextLabel(WizardView* view, const ControlDef& def)
    : Fl_Widget(def.Left, def.Top, def.Width, def.Height), view_(view), def_(def) {
  visible_focus(0);
  text_ = def.Text;
  utf8_ = DisplayText(text_);
  Fit();
}

void TextLabel::SetText(const String& text) {
  if (text == text_) return;
  int ox = x(), oy = y(), ow = w(), oh = h();
  text_ = text;
  utf8_ = DisplayText(text_);
  Fit();
  // The old rectangle may be wider than the new one: repaint it from the backdrop up.
  if (Fl_Window* win = window()) {
    win->damage(FL_DAMAGE_ALL, ox, oy, ow, oh);
  }
  redraw();
}

void TextLabel::Fit() {
  if (!def_.AutoSize) return;
  fl_font(FontOf(def_.Font), FontSize(def_.Font));
  int tw = static_cast<int>(std::ceil(fl_width(utf8_.c_str())));
  resize(LabelLeft(def_, tw), y(), tw, h());
}

void TextLabel::draw() {
  DrawBackdrop(x(), y(), w(), h());
  fl_font(FontOf(def_.Font), FontSize(def_.Font));
  fl_color(ColorOf(def_.Color));
  if (def_.WordWrap) {
    fl_push_clip(x(), y(), w(), h());
    fl_draw(utf8_.c_str(), x(), y(), w(), h(),
            FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP, nullptr, 0);
    fl_pop_clip();
    return;
  }
  int baseline = y() + fl_height() - fl_descent();
  fl_draw(utf8_.c_str(), x(), baseline);
  if (def_.Underline) {
    fl_xyline(x(), baseline + 1, x() + static_cast<int>(fl_width(utf8_.c_str())) - 1);
  }
}

int TextLabel::handle(int e) {
  if (def_.Events == evNone && def_.Cur == Cursor::crDefault) return 0;
  switch (e) {
    case FL_ENTER:
      if (def_.Cur == Cursor::crHand) window()->cursor(FL_CURSOR_HAND);
      return 1;
    case FL_LEAVE:
      if (def_.Cur == Cursor::crHand) window()->cursor(FL_CURSOR_DEFAULT);
      return 1;
    case FL_MOVE:
    case FL_DRAG:
      return 1;
    case FL_PUSH:
      return (def_.Events & evClick) && Fl::event_button() == FL_LEFT_MOUSE ? 1 : 0;
    case FL_RELEASE:
      if ((def_.Events & evClick) && Fl::event_inside(this)) view_->Clicked(def_.Id);
      return 1;
    default:
      return 0;
  }
}

Page::Page(WizardView* view, const ControlDef& def)
    : Fl_Group(def.Left, def.Top, def.Width, def.Height), view_(view) {
  box(FL_NO_BOX);
}

int Page::handle(int e) {
  if (e == FL_KEYBOARD) {
    int key = Fl::event_key();
    if (key == FL_Tab || key == FL_Left || key == FL_Right || key == FL_Up || key == FL_Down)
      return 0;
  }
  int r = Fl_Group::handle(e);
  if (e == FL_ENTER || e == FL_MOVE || e == FL_DRAG || e == FL_LEAVE) {
    const ControlDef& s = Def(ControlId::imgBtnInstall);
    bool inside = e != FL_LEAVE && Fl::event_inside(s.Left, s.Top, s.Width, s.Height);
    view_->Hover(inside);
  }
  if (e == FL_ENTER || e == FL_MOVE) return 1;  // keep the moves coming for the hover
  return r;
}

int WizardWindow::handle(int e) {
  if (e == FL_KEYBOARD || e == FL_SHORTCUT) {
    if (view_->KeyPressed(Fl::event_key(), (Fl::event_state() & FL_SHIFT) != 0)) return 1;
  }
  if (e == FL_LEAVE) view_->Hover(false);
  return Fl_Double_Window::handle(e);
}

// --- The view ----------------------------------------------------------------------------

WizardView::WizardView() {
  InitToolkit();
  caption_ = text::ToUtf8(kWindow.Caption);
  window_ = std::make_unique<WizardWindow>(this, kWindow.ClientWidth, kWindow.ClientHeight,
                                           caption_.c_str());
  window_->color(ColorOf(kWindow.Color));
  window_->box(FL_FLAT_BOX);
  // Fixed size: the window manager offers neither resizing nor maximising.
  window_->size_range(kWindow.ClientWidth, kWindow.ClientHeight, kWindow.ClientWidth,
                      kWindow.ClientHeight);
  window_->xclass("vexlor-installer");
  std::vector<const Fl_RGB_Image*> icons(IconImages().begin(), IconImages().end());
  if (!icons.empty()) window_->icons(icons.data(), static_cast<int>(icons.size()));
  window_->callback(
      [](Fl_Widget*, void* self) {
        // Esc reaches the window callback as an unused shortcut; only the title-bar close (and
        // the window manager's Alt+F4) closes the window.
        if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
        static_cast<WizardView*>(self)->WindowCloseRequested();
      },
      this);

  // The table lists every parent before its children, each parent's children bottom first.
  for (const ControlDef& s : kLayout) {
    if (s.Kind == ControlKind::ckWindow) {
      widgets_[Index(s.Id)] = window_.get();
      continue;
    }
    Fl_Group* parent = s.Parent == ControlId::frmMain
                           ? static_cast<Fl_Group*>(window_.get())
                           : static_cast<Fl_Group*>(widgets_[Index(s.Parent)]);
    Fl_Group::current(nullptr);
    Fl_Widget* w = nullptr;
    switch (s.Kind) {
      case ControlKind::ckWindow:
        break;
      case ControlKind::ckPicture:
        w = new PictureBox(this, s);
        break;
      case ControlKind::ckPanel: {
        auto* page = new Page(this, s);
        page->end();
        w = page;
        break;
      }
      case ControlKind::ckLabel:
        w = new TextLabel(this, s);
        break;
      case ControlKind::ckEdit: {
        auto* in = new Fl_Input(s.Left, s.Top, s.Width, s.Height);
        in->textfont(FontOf(s.Font));
        in->textsize(FontSize(s.Font));
        in->value(text::ToUtf8(s.Text).c_str());
        w = in;
        break;
      }
      case ControlKind::ckButton: {
        auto* b = new OverBackdrop<Fl_Button>(s.Left, s.Top, s.Width, s.Height);
        b->copy_label(text::ToUtf8(s.Text).c_str());
        b->labelfont(FontOf(s.Font));
        b->labelsize(FontSize(s.Font));
        b->callback(
            [](Fl_Widget* wdg, void* self) {
              auto* v = static_cast<WizardView*>(self);
              for (int i = 0; i < kControlCount; ++i) {
                if (v->Widget(static_cast<ControlId>(i)) == wdg)
                  v->Clicked(static_cast<ControlId>(i));
              }
            },
            this);
        w = b;
        break;
      }
      case ControlKind::ckCheckBox: {
        auto* c = new OverBackdrop<Fl_Check_Button>(s.Left, s.Top, s.Width, s.Height);
        c->copy_label(text::ToUtf8(s.Text).c_str());
        c->labelfont(FontOf(s.Font));
        c->labelsize(FontSize(s.Font));
        c->value(s.Checked ? 1 : 0);
        c->down_box(FL_DOWN_BOX);
        w = c;
        break;
      }
      case ControlKind::ckProgressBar:
        w = new ProgressBar(s);
        break;
    }
    if (s.TabOrder < 0 && s.Kind != ControlKind::ckPanel) w->visible_focus(0);
    if (!s.Visible) w->hide();
    if (!s.Enabled) w->deactivate();
    parent->add(w);
    widgets_[Index(s.Id)] = w;
  }
  Fl_Group::current(nullptr);
  // The last page in stacking order is in front at creation.
  front_ = Children(ControlId::frmMain).back();
  for (ControlId p : {ControlId::paStart, ControlId::paInstalling, ControlId::paFinish,
                      ControlId::paInstallError}) {
    if (p != front_) Widget(p)->hide();
  }
}

WizardView::~WizardView() {
  // Close a window that is still up without asking anyone.
  if (window_ && window_->shown()) window_->hide();
}

void WizardView::Show() {
  if (!window_->shown()) {
    int sx, sy, sw, sh;
    Fl::screen_work_area(sx, sy, sw, sh);
    window_->position(sx + (sw - window_->w()) / 2, sy + (sh - window_->h()) / 2);
  }
  closed_ = false;
  window_->show();
  FocusFirst();
}

void WizardView::BringToFront(ControlId page) {
  if (!IsPage(page)) return;
  front_ = page;
  for (ControlId p : {ControlId::paStart, ControlId::paInstalling, ControlId::paFinish,
                      ControlId::paInstallError}) {
    if (p != page) Widget(p)->hide();
  }
  Fl_Widget* w = Widget(page);
  window_->insert(*w, window_->children());  // on top of the stack
  w->show();
  // A hover look left on a page that went to the back returns to normal.
  Hover(false);
  window_->redraw();
  FocusFirst();
}

void WizardView::FocusFirst() {
  if (!window_->shown()) return;
  // The page's default button when it has one (Enter then clicks what has the focus), else
  // the first control in Tab order.
  std::vector<ControlId> order = TabOrder(front_);
  ControlId def = DefaultButton(front_);
  if (def != ControlId::frmMain) order.insert(order.begin(), def);
  for (ControlId id : order) {
    Fl_Widget* w = Widget(id);
    if (w->visible_focus() && w->visible() && w->active()) {
      w->take_focus();
      return;
    }
  }
  // No control takes the focus: keep it off the pages that went to the back.
  Fl::focus(window_.get());
}

void WizardView::SetText(ControlId control, const String& text) {
  Fl_Widget* w = Widget(control);
  switch (Def(control).Kind) {
    case ControlKind::ckLabel:
      static_cast<TextLabel*>(w)->SetText(text);
      break;
    case ControlKind::ckEdit:
      static_cast<Fl_Input*>(w)->value(text::ToUtf8(text).c_str());
      break;
    case ControlKind::ckButton:
    case ControlKind::ckCheckBox:
      w->copy_label(text::ToUtf8(text).c_str());
      w->redraw();
      break;
    default:
      break;
  }
}

String WizardView::Text(ControlId control) const {
  Fl_Widget* w = Widget(control);
  switch (Def(control).Kind) {
    case ControlKind::ckLabel:
      return static_cast<TextLabel*>(w)->Text();
    case ControlKind::ckEdit:
      return text::FromUtf8(static_cast<Fl_Input*>(w)->value());
    case ControlKind::ckButton:
    case ControlKind::ckCheckBox:
      return text::FromUtf8(w->label() ? w->label() : "");
    case ControlKind::ckWindow:
      return kWindow.Caption;
    default:
      return String();
  }
}

void WizardView::SetVisible(ControlId control, bool visible) {
  if (control == ControlId::frmMain || IsPage(control)) return;  // pages: BringToFront
  Fl_Widget* w = Widget(control);
  if (visible == (w->visible() != 0)) return;
  if (visible) {
    w->show();
  } else {
    w->hide();
  }
  window_->damage(FL_DAMAGE_ALL, w->x(), w->y(), w->w(), w->h());
}

bool WizardView::Visible(ControlId control) const {
  if (control == ControlId::frmMain) return window_->shown() && window_->visible();
  return Widget(control)->visible() != 0;
}

void WizardView::SetEnabled(ControlId control, bool enabled) {
  Fl_Widget* w = Widget(control);
  if (enabled) {
    w->activate();
  } else {
    w->deactivate();
  }
  w->redraw();
}

bool WizardView::Enabled(ControlId control) const {
  return Widget(control)->active() != 0;
}

bool WizardView::Checked(ControlId control) const {
  if (Def(control).Kind != ControlKind::ckCheckBox) return false;
  return static_cast<Fl_Check_Button*>(Widget(control))->value() != 0;
}

void WizardView::SetProgressPosition(ControlId control, int position) {
  if (Def(control).Kind == ControlKind::ckProgressBar)
    static_cast<ProgressBar*>(Widget(control))->SetPosition(position);
}

int WizardView::ProgressPosition(ControlId control) const {
  if (Def(control).Kind != ControlKind::ckProgressBar) return 0;
  return static_cast<ProgressBar*>(Widget(control))->Position();
}

void WizardView::SetProgressStyle(ControlId control, ProgressStyle style) {
  if (Def(control).Kind == ControlKind::ckProgressBar)
    static_cast<ProgressBar*>(Widget(control))->SetStyle(style);
}

ProgressStyle WizardView::GetProgressStyle(ControlId control) const {
  if (Def(control).Kind != ControlKind::ckProgressBar) return ProgressStyle::pbNormal;
  return static_cast<ProgressBar*>(Widget(control))->Style();
}

bool WizardView::Close() {
  if (closed_) return true;
  // A close asked for while the close question is open (a second Alt+F4) waits for its
  // answer instead of asking again.
  if (in_close_) return false;
  bool can_close = true;
  in_close_ = true;
  if (listener_) listener_->OnCloseQuery(can_close);
  in_close_ = false;
  if (!can_close || closed_) return closed_;
  closed_ = true;
  SetProgressStyle(ControlId::ProgressBarDownloading, ProgressStyle::pbNormal);
  window_->hide();
  // The main window is gone: the application ends.
  plat::PostQuitMessage(0);
  return true;
}

void WizardView::WindowCloseRequested() {
  Close();
}

MsgResult WizardView::MessageBox(const MessageBoxRequest& request) {
  return RunMessageBox(request, request.Owner == MsgOwner::moWindow ? window_.get() : nullptr);
}

std::optional<String> WizardView::BrowseForFolder(const String& title) {
  std::string t = text::ToUtf8(title);
  Fl_Native_File_Chooser chooser(Fl_Native_File_Chooser::BROWSE_DIRECTORY);
  chooser.title(t.c_str());
  chooser.options(Fl_Native_File_Chooser::NEW_FOLDER);
  if (chooser.show() != 0) return std::nullopt;  // cancelled (1) or failed (-1)
  const char* path = chooser.filename();
  return text::FromUtf8(path ? path : "");
}

void WizardView::ShowHtmlDialog(const HtmlDialogRequest& request) {
  RunHtmlDialog(request);
}

bool WizardView::Reachable(ControlId id) const {
  if (closed_ || !window_->shown()) return false;
  ControlId page = PageOf(id);
  if (page != ControlId::frmMain && page != front_) return false;
  Fl_Widget* w = Widget(id);
  return w->visible() && w->active();
}

void WizardView::Clicked(ControlId id) {
  if (!Reachable(id)) return;
  if (listener_) listener_->OnClick(id);
}

void WizardView::Hover(bool inside_button) {
  if (closed_) return;
  bool on_start = front_ == ControlId::paStart;
  Fl_Widget* normal = Widget(ControlId::imgBtnInstall);
  Fl_Widget* hover = Widget(ControlId::imgBtnInstallHg);
  if (inside_button && on_start && normal->visible()) {
    ApplyHover(*this, ControlId::imgBtnInstall, true);
    if (listener_) listener_->OnMouseEnter(ControlId::imgBtnInstall);
  } else if ((!inside_button || !on_start) && hover->visible()) {
    ApplyHover(*this, ControlId::imgBtnInstallHg, false);
    window_->cursor(FL_CURSOR_DEFAULT);
    if (listener_) listener_->OnMouseLeave(ControlId::imgBtnInstallHg);
  }
}

bool WizardView::KeyPressed(int key, bool shift) {
  if (closed_) return false;
  if (key == FL_Enter || key == FL_KP_Enter) {
    // A focused push button takes Enter itself; otherwise the page's default button.
    Fl_Widget* f = Fl::focus();
    for (ControlId id : TabOrder(front_)) {
      if (Widget(id) == f && Def(id).Kind == ControlKind::ckButton) {
        Clicked(id);
        return true;
      }
    }
    ControlId def = DefaultButton(front_);
    if (def != ControlId::frmMain) Clicked(def);
    return true;  // never anything else: Enter does not close the window
  }
  if (key == FL_Escape) {
    ControlId cancel = CancelButton(front_);
    if (cancel != ControlId::frmMain) Clicked(cancel);
    return true;  // Esc does not close the window
  }
  if (key == FL_Tab) {
    std::vector<ControlId> order;
    for (ControlId id : TabOrder(front_)) {
      Fl_Widget* w = Widget(id);
      if (w->visible_focus() && w->visible() && w->active()) order.push_back(id);
    }
    if (order.empty()) return true;
    int cur = -1;
    for (int i = 0; i < static_cast<int>(order.size()); ++i) {
      if (Widget(order[i]) == Fl::focus()) cur = i;
    }
    int n = static_cast<int>(order.size());
    int next = cur < 0 ? (shift ? n - 1 : 0) : (cur + (shift ? n - 1 : 1)) % n;
    Widget(order[next])->take_focus();
    return true;
  }
  return false;
}

}  // namespace

// --- Test hooks ----------------------------------------------------------------------------

Bounds ControlBounds(View& view, ControlId id) {
  auto& v = static_cast<WizardView&>(view);
  Fl_Widget* w = v.Widget(id);
  return Bounds{w->x(), w->y(), w->w(), w->h()};
}

bool ControlShown(View& view, ControlId id) {
  auto& v = static_cast<WizardView&>(view);
  return v.Widget(id)->visible_r() != 0;
}

bool HasFocus(View& view, ControlId id) {
  auto& v = static_cast<WizardView&>(view);
  return Fl::focus() == v.Widget(id);
}

unsigned long WindowId(View& view) {
  auto& v = static_cast<WizardView&>(view);
  return v.Window()->shown() ? static_cast<unsigned long>(fl_xid(v.Window())) : 0;
}

unsigned long ModalWindowId() {
  Fl_Window* m = Fl::modal();
  return m && m->shown() ? static_cast<unsigned long>(fl_xid(m)) : 0;
}

int QueuedDisplayEvents() {
  return fl_display != nullptr ? XQLength(fl_display) : 0;
}

void ReadDisplayEventsAhead() {
  if (fl_display != nullptr) XSync(fl_display, False);
}

double MarqueePhase(View& view) {
  auto& v = static_cast<WizardView&>(view);
  return static_cast<ProgressBar*>(v.Widget(ControlId::ProgressBarDownloading))->Phase();
}

}  // namespace ui::fltk

namespace ui {

std::unique_ptr<View> CreateWizardView() {
  return std::make_unique<fltk::WizardView>();
}

}  // namespace ui
