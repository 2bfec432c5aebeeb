// The modal dialogs of the FLTK window: the message box and the licence window.
//
// Both run a nested Fl::wait loop until closed, or until the application is ending (a
// termination request); the thread's message queue is one of FLTK's descriptors
// (application.cpp), so posted messages and socket notices go on being dispatched while they
// are open.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Help_View.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <vector>

#include "events/application.h"
#include "ui/fltk/fltk_internal.h"

namespace ui::fltk {

namespace {

constexpr int kBoxTextSize = 12;
constexpr int kBoxMaxTextWidth = 380;
constexpr int kBoxButtonW = 80;
constexpr int kBoxButtonH = 25;
constexpr int kBoxStripH = 45;

// The icon of the message box, drawn in the style of the system's ones.
class BoxIcon : public Fl_Widget {
 public:
  BoxIcon(int x, int y, MsgIcon icon) : Fl_Widget(x, y, 32, 32), icon_(icon) {}

  void draw() override {
    const char* glyph = "";
    Fl_Color fill = fl_rgb_color(0x1E, 0x6F, 0xD9);
    switch (icon_) {
      case MsgIcon::miNone:
        return;
      case MsgIcon::miInformation:
        glyph = "i";
        break;
      case MsgIcon::miQuestion:
        glyph = "?";
        break;
      case MsgIcon::miError:
        glyph = "\xc3\x97";  // multiplication sign
        fill = fl_rgb_color(0xD9, 0x2B, 0x2B);
        break;
      case MsgIcon::miWarning:
        glyph = "!";
        fill = fl_rgb_color(0xF2, 0xB1, 0x1B);
        break;
    }
    if (icon_ == MsgIcon::miWarning) {
      fl_color(fill);
      fl_polygon(x() + 16, y() + 1, x() + 31, y() + 29, x() + 1, y() + 29);
      fl_color(FL_BLACK);
    } else {
      fl_color(fill);
      fl_pie(x(), y(), 32, 32, 0, 360);
      fl_color(FL_WHITE);
    }
    fl_font(FontOf(FontKind::fkBold), 20);
    fl_draw(glyph, x(), y() + (icon_ == MsgIcon::miWarning ? 4 : 0), 32, 32, FL_ALIGN_CENTER);
  }

 private:
  MsgIcon icon_;
};

// The text of the message box, left-aligned, wrapped at the width it was measured for.
class BoxText : public Fl_Widget {
 public:
  BoxText(int x, int y, int w, int h, std::string text)
      : Fl_Widget(x, y, w, h), text_(std::move(text)) {}
  void draw() override {
    fl_font(FontOf(FontKind::fkWindow), kBoxTextSize);
    fl_color(FL_BLACK);
    fl_draw(text_.c_str(), x(), y(), w(), h(),
            FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP, nullptr, 0);
  }

 private:
  std::string text_;
};

class MessageWindow : public Fl_Double_Window {
 public:
  MessageWindow(int w, int h, const char* title) : Fl_Double_Window(w, h, title) {}

  MsgResult result = idCancel;
  // What Esc and the title-bar close answer; nullopt when the box cannot be dismissed that
  // way (Yes/No has no cancel).
  std::optional<MsgResult> dismiss;

  int handle(int e) override {
    if ((e == FL_KEYBOARD || e == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      if (auto* b = dynamic_cast<Fl_Button*>(Fl::focus()); b && b->window() == this) {
        b->do_callback();
        return 1;
      }
    }
    return Fl_Double_Window::handle(e);
  }
};

struct ButtonDef {
  const char* label;
  MsgResult id;
};

std::vector<ButtonDef> ButtonsOf(MsgButtons b) {
  switch (b) {
    case MsgButtons::mbOk:
      return {{"OK", idOk}};
    case MsgButtons::mbOkCancel:
      return {{"OK", idOk}, {"Cancel", idCancel}};
    case MsgButtons::mbYesNo:
      return {{"&Yes", idYes}, {"&No", idNo}};
    case MsgButtons::mbRetryCancel:
      return {{"&Retry", idRetry}, {"Cancel", idCancel}};
  }
  return {{"OK", idOk}};
}

std::optional<MsgResult> DismissOf(MsgButtons b) {
  switch (b) {
    case MsgButtons::mbOk:
      return idOk;
    case MsgButtons::mbOkCancel:
    case MsgButtons::mbRetryCancel:
      return idCancel;
    case MsgButtons::mbYesNo:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

MsgResult RunMessageBox(const MessageBoxRequest& request, Fl_Window* owner) {
  std::string text = DisplayText(request.Text);
  std::string caption = text::ToUtf8(request.Caption);
  fl_font(FontOf(FontKind::fkWindow), kBoxTextSize);
  int tw = kBoxMaxTextWidth, th = 0;
  fl_measure(text.c_str(), tw, th, 0);
  tw = std::min(std::max(tw, 60), kBoxMaxTextWidth);
  // fl_measure returns the width of the longest line; wrapping happens only past the maximum.
  int wtmp = tw;
  fl_measure(text.c_str(), wtmp, th, 0);
  bool has_icon = request.Icon != MsgIcon::miNone;
  int text_x = has_icon ? 20 + 32 + 14 : 20;
  std::vector<ButtonDef> buttons = ButtonsOf(request.Buttons);
  int buttons_w = static_cast<int>(buttons.size()) * (kBoxButtonW + 8) - 8;
  int W = std::max(text_x + tw + 24, buttons_w + 40);
  int body_h = std::max(has_icon ? 32 : 0, th) + 44;
  int H = body_h + kBoxStripH;

  MessageWindow win(W, H, caption.c_str());
  win.color(FL_WHITE);
  win.dismiss = DismissOf(request.Buttons);
  // Closed by other means than a button (the application ending): the answer that changes
  // nothing.
  win.result = win.dismiss.value_or(idNo);
  auto* strip = new Fl_Box(FL_FLAT_BOX, 0, body_h, W, kBoxStripH, nullptr);
  strip->color(fl_rgb_color(0xF0, 0xF0, 0xF0));
  if (has_icon) new BoxIcon(20, 22, request.Icon);
  int text_y = 22 + (has_icon && th < 32 ? (32 - th) / 2 : 0);
  new BoxText(text_x, text_y, tw + 4, th + 2, text);
  int bx = W - 20 - buttons_w;
  Fl_Button* first = nullptr;
  for (const ButtonDef& def : buttons) {
    auto* b = new Fl_Button(bx, body_h + (kBoxStripH - kBoxButtonH) / 2, kBoxButtonW, kBoxButtonH,
                            def.label);
    b->labelfont(FontOf(FontKind::fkWindow));
    b->labelsize(kBoxTextSize);
    b->callback(
        [](Fl_Widget* w, long id) {
          auto* mw = static_cast<MessageWindow*>(w->window());
          mw->result = static_cast<MsgResult>(id);
          mw->hide();
        },
        static_cast<long>(def.id));
    if (!first) first = b;
    bx += kBoxButtonW + 8;
  }
  win.end();
  win.callback([](Fl_Widget* w, void*) {
    auto* mw = static_cast<MessageWindow*>(w);
    if (!mw->dismiss) return;  // Yes/No: only a button answers
    mw->result = *mw->dismiss;
    mw->hide();
  });
  win.set_modal();
  if (owner && owner->shown() && owner->visible()) {
    win.position(owner->x() + (owner->w() - W) / 2, owner->y() + (owner->h() - H) / 2);
  } else {
    int sx, sy, sw, sh;
    Fl::screen_work_area(sx, sy, sw, sh);
    win.position(sx + (sw - W) / 2, sy + (sh - H) / 2);
  }
  win.show();
  if (first) first->take_focus();
  while (win.shown() && !Application().Terminated())
    Fl::wait();
  return win.result;
}

namespace {

// Links of the fetched page are not followed: the window shows the one page it was given, and
// a page from the network never makes the program open local files.
const char* NoLinks(Fl_Widget*, const char*) {
  return nullptr;
}

const char* const kLoading =
    "<html><body><p><font face=\"helvetica\">Loading&hellip;</font></p></body></html>";
const char* const kNotLoaded =
    "<html><body><h3>The page cannot be displayed</h3>"
    "<p>The licence agreement could not be loaded. Check the connection to the Internet and "
    "try again.</p></body></html>";

}  // namespace

void RunHtmlDialog(const HtmlDialogRequest& request) {
  int W = std::max(request.Width, 100);
  int H = std::max(request.Height, 80);
  std::string title = text::ToUtf8(request.Url);
  Fl_Double_Window win(W, H, title.c_str());
  auto* view = new Fl_Help_View(0, 0, W, H);
  view->link(&NoLinks);
  view->textsize(13);
  view->value(kLoading);
  win.end();
  if (request.Resizable) {
    win.resizable(view);
    win.size_range(200, 150);
  } else {
    win.size_range(W, H, W, H);
  }
  win.set_modal();
  int sx, sy, sw, sh;
  Fl::screen_work_area(sx, sy, sw, sh);
  win.position(sx + (sw - W) / 2, sy + (sh - H) / 2);
  win.show();
  Fl::flush();

  std::string html;
  bool ok = request.Load && request.Load(html);
  if (win.shown()) {
    view->value(ok ? SanitizeHtml(html).c_str() : kNotLoaded);
    if (ok && view->title() && *view->title()) {
      title = view->title();
      win.label(title.c_str());
    }
    while (win.shown() && !Application().Terminated())
      Fl::wait();
  }
}

}  // namespace ui::fltk
