// The wizard window on Win32, built from the layout table.
//
// Structure: a top-level window of the layout's client size (scaled with the dpi) holding, as
// child windows, the background and logo pictures and the four pages; every other control is
// a child window of its page, with the id kControlIdBase + its row in the table. The labels and
// pictures are windows of this library's own classes; the edit box, the buttons, the check
// boxes and the progress bar are the system's controls. Only the page in front is shown, so
// the others are neither seen nor reached by the mouse or the keyboard.
//
// Transparency: Windows does not blend sibling windows, so what lies beneath the pages (white,
// the background picture, the product logo) is drawn once into a backdrop bitmap of the client
// size. A page paints the backdrop; a label or a picture paints its own part of the backdrop
// and then its text or picture into a memory bitmap and copies that to the screen in one step,
// so a label whose text changes ten times a second never shows a half-drawn state. The system's
// check boxes and buttons get the backdrop as their background brush (aligned to their place)
// and, when themed, as the parent background they ask for with WM_PRINTCLIENT.
//
// Keyboard: the main window is a control parent handled by IsDialogMessage in the application's
// loop (application.cpp): Tab walks the controls of the page in front in the layout's Tab
// order, Enter asks the window for its default button (DM_GETDEFID: a focused push button, else
// the page's default button) and Esc becomes IDCANCEL, which clicks the page's cancel button.
// A page without them ignores both keys.
#include "ui/win32/win32_internal.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "platform/exceptions.h"
#include "ui/toolkit.h"
#include "ui/win32/win32_view.h"

namespace ui::win32 {

namespace {

// What IsWindowEnabled and GetWindowTextLengthW answer, from the window's style and its own
// answer to WM_GETTEXTLENGTH (two system imports fewer in the program).
bool IsEnabled(HWND hwnd) {
  return (GetWindowLongW(hwnd, GWL_STYLE) & WS_DISABLED) == 0;
}
int TextLength(HWND hwnd) {
  return static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

constexpr UINT kMarqueeIntervalMs = 30;

class WizardView;

// What a window of ours belongs to: its view and its row of the layout.
struct ControlRef {
  WizardView* view = nullptr;
  ControlId id = ControlId::frmMain;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// A system cursor by its id (the ids are numbers dressed as narrow resource names).
HCURSOR SystemCursor(LPCSTR id) {
  return LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(id));
}

void RegisterClasses() {
  static bool done = false;
  if (done) return;
  done = true;
  for (const wchar_t* name : {kMainWindowClass, kPageClass, kLabelClass, kPictureClass}) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = SystemCursor(IDC_ARROW);
    wc.lpszClassName = name;
    if (name == kMainWindowClass) {
      wc.hIcon = ProgramIcon(false);
      wc.hIconSm = ProgramIcon(true);
    }
    RegisterClassExW(&wc);
  }
}

class WizardView : public View {
 public:
  explicit WizardView(int dpi);
  ~WizardView() override;
  WizardView(const WizardView&) = delete;
  WizardView& operator=(const WizardView&) = delete;

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
  String Caption() const override { return Text(ControlId::frmMain); }
  int ClientWidth() const override;
  int ClientHeight() const override;
  std::uintptr_t Handle() const override { return reinterpret_cast<std::uintptr_t>(main_); }
  bool Close() override;
  MsgResult MessageBox(const MessageBoxRequest& request) override;
  std::optional<String> BrowseForFolder(const String& title) override;
  void ShowHtmlDialog(const HtmlDialogRequest& request) override;

  HWND Window(ControlId id) const { return hwnds_[Index(id)]; }
  int Dpi() const { return scale_.dpi; }

  // The window procedure of every window of ours.
  LRESULT Message(ControlId id, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

 private:
  void CreateControls();
  void BuildBackdrop();
  LRESULT MainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT PageMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT ControlMessage(ControlId id, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void Command(WPARAM wp);
  LRESULT DefaultButtonId() const;
  LRESULT ControlColor(HWND parent, UINT msg, WPARAM wp, LPARAM lp);
  // Paints the main window or a page: the backdrop (both lie at the client area's origin, so
  // their coordinates and the backdrop's agree).
  void PaintBackdrop(HWND hwnd);
  // Paints a label or picture: its part of the backdrop, then its content, in one copy.
  void PaintControl(ControlId id, HWND hwnd);
  void FitLabel(ControlId id);

  ControlId IdOf(HWND hwnd) const;
  static int CommandId(ControlId id) { return kControlIdBase + Index(id); }
  bool Reachable(ControlId id) const;
  void Clicked(ControlId id);
  void PointerEntered(ControlId id);
  void PointerLeft(ControlId id);
  void TrackLeave(ControlId id);
  void StopTracking(ControlId id);
  void ResetHover();
  void FocusFirst();

  Scale scale_;
  FontSet fonts_;
  PictureSet pictures_;
  HWND main_ = nullptr;
  std::array<HWND, kControlCount> hwnds_{};
  std::array<ControlRef, kControlCount> refs_{};
  std::array<bool, kControlCount> tracking_{};
  HDC backdrop_dc_ = nullptr;
  HBITMAP backdrop_bitmap_ = nullptr;
  HGDIOBJ backdrop_old_ = nullptr;
  HBRUSH backdrop_brush_ = nullptr;
  ViewListener* listener_ = nullptr;
  ControlId front_ = ControlId::paStart;
  ControlId pressed_ = ControlId::frmMain;
  ProgressStyle progress_style_ = ProgressStyle::pbNormal;
  HWND saved_focus_ = nullptr;
  bool shown_once_ = false;
  bool closed_ = false;
  bool in_close_ = false;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* ref = reinterpret_cast<ControlRef*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  if (ref == nullptr || ref->view == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  // Nothing may unwind into the system's dispatcher.
  try {
    return ref->view->Message(ref->id, hwnd, msg, wp, lp);
  } catch (const EAbort&) {
    return 0;
  } catch (const std::exception& e) {
    ReportException(e, ref->view->Window(ControlId::frmMain));
    return 0;
  }
}

// --- Construction --------------------------------------------------------------------------

WizardView::WizardView(int dpi) : scale_{dpi}, fonts_(dpi), pictures_(dpi) {
  InitToolkit();
  RegisterClasses();
  for (int i = 0; i < kControlCount; ++i)
    refs_[i] = ControlRef{this, static_cast<ControlId>(i)};

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  const DWORD ex_style = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
  const int cw = scale_(kWindow.ClientWidth), ch = scale_(kWindow.ClientHeight);
  RECT frame{0, 0, cw, ch};
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  main_ =
      CreateWindowExW(ex_style, kMainWindowClass, W(String(kWindow.Caption)), style, CW_USEDEFAULT,
                      CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                      nullptr, GetModuleHandleW(nullptr), &refs_[Index(ControlId::frmMain)]);
  hwnds_[Index(ControlId::frmMain)] = main_;
  if (main_ == nullptr) return;
  // The frame's metrics may differ from what AdjustWindowRectEx assumed (a caption that wraps,
  // a view made for another dpi than the system's): make the client area exact.
  RECT client;
  GetClientRect(main_, &client);
  if (client.right != cw || client.bottom != ch) {
    RECT outer;
    GetWindowRect(main_, &outer);
    SetWindowPos(main_, nullptr, 0, 0, outer.right - outer.left + cw - client.right,
                 outer.bottom - outer.top + ch - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  BuildBackdrop();
  CreateControls();
  AddDialogWindow(main_);
}

WizardView::~WizardView() {
  listener_ = nullptr;
  if (main_) {
    RemoveDialogWindow(main_);
    DestroyWindow(main_);
  }
  if (backdrop_brush_) DeleteObject(backdrop_brush_);
  if (backdrop_dc_) {
    SelectObject(backdrop_dc_, backdrop_old_);
    DeleteDC(backdrop_dc_);
  }
  if (backdrop_bitmap_) DeleteObject(backdrop_bitmap_);
}

void WizardView::BuildBackdrop() {
  const int cw = scale_(kWindow.ClientWidth), ch = scale_(kWindow.ClientHeight);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = cw;
  bi.bmiHeader.biHeight = -ch;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  backdrop_bitmap_ = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  backdrop_dc_ = CreateCompatibleDC(nullptr);
  backdrop_old_ = SelectObject(backdrop_dc_, backdrop_bitmap_);
  RECT all{0, 0, cw, ch};
  HBRUSH white = CreateSolidBrush(ColorOf(kWindow.Color));
  FillRect(backdrop_dc_, &all, white);
  DeleteObject(white);
  for (ControlId id : {ControlId::imgBackgr, ControlId::imgVexlorLogo}) {
    const ControlDef& d = Def(id);
    DrawPicture(backdrop_dc_, pictures_.Get(d.Pic), scale_(d.Left), scale_(d.Top));
  }
  GdiFlush();
  backdrop_brush_ = CreatePatternBrush(backdrop_bitmap_);
}

void WizardView::CreateControls() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  front_ = Children(ControlId::frmMain).back();  // the last page stacked is in front
  // The table lists every parent before its children, each parent's children bottom first.
  for (const ControlDef& d : kLayout) {
    if (d.Kind == ControlKind::ckWindow) continue;
    HWND parent = Window(d.Parent);
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ex_style = 0;
    const wchar_t* cls = kLabelClass;
    int x = scale_(d.Left), y = scale_(d.Top), w = scale_(d.Width), h = scale_(d.Height);
    bool visible = d.Visible;
    void* param = &refs_[Index(d.Id)];
    switch (d.Kind) {
      case ControlKind::ckWindow:
        break;
      case ControlKind::ckPicture: {
        cls = kPictureClass;
        const DecodedPicture& pic = pictures_.Get(d.Pic);
        if (d.AutoSize && pic.bitmap) {
          w = pic.width;
          h = pic.height;
        }
        break;
      }
      case ControlKind::ckPanel:
        cls = kPageClass;
        style |= WS_CLIPCHILDREN;
        ex_style |= WS_EX_CONTROLPARENT;
        visible = d.Id == front_;
        break;
      case ControlKind::ckLabel:
        cls = kLabelClass;
        break;
      case ControlKind::ckEdit:
        cls = WC_EDITW;
        style |= WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT;
        ex_style |= WS_EX_CLIENTEDGE;
        param = nullptr;
        break;
      case ControlKind::ckButton:
        cls = WC_BUTTONW;
        style |= WS_TABSTOP | (d.Default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        param = nullptr;
        break;
      case ControlKind::ckCheckBox:
        cls = WC_BUTTONW;
        style |= WS_TABSTOP | BS_AUTOCHECKBOX;
        param = nullptr;
        break;
      case ControlKind::ckProgressBar:
        // The bar shows progress only; it takes no focus.
        cls = PROGRESS_CLASSW;
        param = nullptr;
        break;
    }
    if (visible) style |= WS_VISIBLE;
    if (!d.Enabled) style |= WS_DISABLED;
    HWND hwnd = CreateWindowExW(ex_style, cls, W(String(d.Text)), style, x, y, w, h, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(CommandId(d.Id))),
                                instance, param);
    hwnds_[Index(d.Id)] = hwnd;
    if (hwnd == nullptr) continue;
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Get(d.Font)), FALSE);
    if (d.Kind == ControlKind::ckCheckBox)
      SendMessageW(hwnd, BM_SETCHECK, d.Checked ? BST_CHECKED : BST_UNCHECKED, 0);
    if (d.Kind == ControlKind::ckProgressBar) {
      SendMessageW(hwnd, PBM_SETRANGE32, d.RangeMin, d.RangeMax);
      SendMessageW(hwnd, PBM_SETPOS, d.RangeMin, 0);
    }
    if (d.Kind == ControlKind::ckLabel) FitLabel(d.Id);
  }

  // Stacking: each parent's children bottom first as the table lists them. The dialog manager
  // walks a parent's children from the top of this order down for Tab, so the controls that
  // take the focus then go to the top in their Tab order; none of them overlaps another
  // control, so this changes nothing that can be seen.
  const UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
  for (ControlId parent : {ControlId::frmMain, ControlId::paInstallError, ControlId::paFinish,
                           ControlId::paInstalling, ControlId::paStart}) {
    for (ControlId id : Children(parent))
      SetWindowPos(Window(id), HWND_TOP, 0, 0, 0, 0, flags);
    if (parent == ControlId::frmMain) continue;
    std::vector<ControlId> order = TabOrder(parent);
    for (auto it = order.rbegin(); it != order.rend(); ++it)
      SetWindowPos(Window(*it), HWND_TOP, 0, 0, 0, 0, flags);
  }
}

// --- Messages ------------------------------------------------------------------------------

LRESULT WizardView::Message(ControlId id, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (id == ControlId::frmMain) return MainMessage(hwnd, msg, wp, lp);
  if (IsPage(id)) return PageMessage(hwnd, msg, wp, lp);
  return ControlMessage(id, hwnd, msg, wp, lp);
}

LRESULT WizardView::MainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      PaintBackdrop(hwnd);
      return 0;
    case WM_COMMAND:
      Command(wp);
      return 0;
    case DM_GETDEFID:
      return DefaultButtonId();
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ControlColor(hwnd, msg, wp, lp);
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd, focus)) saved_focus_ = focus;
      } else if (!HIWORD(wp)) {
        // Back from another window (a message box, another program): the focus returns to
        // where it was, if that control can still take it.
        if (saved_focus_ && IsWindow(saved_focus_) && IsWindowVisible(saved_focus_) &&
            IsEnabled(saved_focus_)) {
          SetFocus(saved_focus_);
        } else {
          FocusFirst();
        }
      }
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_QUERYENDSESSION:
      return listener_ ? (listener_->OnQueryEndSession() ? TRUE : FALSE) : TRUE;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

LRESULT WizardView::PageMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      PaintBackdrop(hwnd);
      return 0;
    case WM_PRINTCLIENT: {
      // A themed control asks for what lies beneath it.
      auto dc = reinterpret_cast<HDC>(wp);
      BitBlt(dc, 0, 0, scale_(kWindow.ClientWidth), scale_(kWindow.ClientHeight), backdrop_dc_, 0,
             0, SRCCOPY);
      return 0;
    }
    case WM_COMMAND:
      Command(wp);
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ControlColor(hwnd, msg, wp, lp);
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

LRESULT WizardView::ControlMessage(ControlId id, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const ControlDef& d = Def(id);
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      PaintControl(id, hwnd);
      return 0;
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, msg, wp, lp);
      if (d.Kind == ControlKind::ckLabel) {
        FitLabel(id);
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      return r;
    }
    case WM_GETFONT:
      // The layout's font of the label, for whoever measures its text.
      return reinterpret_cast<LRESULT>(fonts_.Get(d.Font, d.Underline));
    case WM_SETFONT:
      return 0;
    case WM_SETCURSOR:
      if (d.Cur == Cursor::crHand && LOWORD(lp) == HTCLIENT) {
        SetCursor(SystemCursor(IDC_HAND));
        return TRUE;
      }
      break;
    case WM_MOUSEMOVE:
      if (!tracking_[Index(id)]) {
        TrackLeave(id);
        PointerEntered(id);
      }
      return 0;
    case WM_MOUSELEAVE:
      tracking_[Index(id)] = false;
      PointerLeft(id);
      return 0;
    case WM_LBUTTONDOWN:
      if (d.Events & evClick) {
        SetCapture(hwnd);
        pressed_ = id;
      }
      return 0;
    case WM_LBUTTONUP:
      if (pressed_ == id) {
        pressed_ = ControlId::frmMain;
        ReleaseCapture();
        POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        RECT r;
        GetClientRect(hwnd, &r);
        if (p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom) Clicked(id);
      }
      return 0;
    case WM_CAPTURECHANGED:
      if (pressed_ == id) pressed_ = ControlId::frmMain;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void WizardView::Command(WPARAM wp) {
  const int cmd = LOWORD(wp);
  if (cmd == IDCANCEL) {
    ControlId cancel = CancelButton(front_);
    if (cancel != ControlId::frmMain) Clicked(cancel);
    return;
  }
  if (HIWORD(wp) != BN_CLICKED || cmd < kControlIdBase || cmd >= kControlIdBase + kControlCount)
    return;
  auto id = static_cast<ControlId>(cmd - kControlIdBase);
  if (Def(id).Kind == ControlKind::ckButton) Clicked(id);
}

LRESULT WizardView::DefaultButtonId() const {
  // A focused push button of the page in front takes Enter itself, as in the system's dialogs;
  // otherwise the page's default button does, if it has one.
  ControlId focused = IdOf(GetFocus());
  if (focused != ControlId::frmMain && Def(focused).Kind == ControlKind::ckButton &&
      Reachable(focused))
    return MAKELRESULT(CommandId(focused), DC_HASDEFID);
  ControlId def = DefaultButton(front_);
  if (def != ControlId::frmMain && Reachable(def)) return MAKELRESULT(CommandId(def), DC_HASDEFID);
  return 0;
}

LRESULT WizardView::ControlColor(HWND parent, UINT msg, WPARAM wp, LPARAM lp) {
  auto dc = reinterpret_cast<HDC>(wp);
  auto control = reinterpret_cast<HWND>(lp);
  ControlId id = IdOf(control);
  ControlKind kind = id == ControlId::frmMain ? ControlKind::ckWindow : Def(id).Kind;
  if (kind != ControlKind::ckCheckBox && kind != ControlKind::ckButton)
    return DefWindowProcW(parent, msg, wp, lp);
  // The brush's first pixel at the client area's origin, wherever the control lies.
  POINT origin{0, 0};
  MapWindowPoints(control, main_, &origin, 1);
  SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, ColorOf(Def(id).Color));
  return reinterpret_cast<LRESULT>(backdrop_brush_);
}

void WizardView::PaintBackdrop(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  const RECT& r = ps.rcPaint;
  BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, backdrop_dc_, r.left, r.top,
         SRCCOPY);
  EndPaint(hwnd, &ps);
}

void WizardView::PaintControl(ControlId id, HWND hwnd) {
  const ControlDef& d = Def(id);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT r;
  GetClientRect(hwnd, &r);
  const int w = r.right, h = r.bottom;
  if (w > 0 && h > 0) {
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, w, h);
    HGDIOBJ old_bitmap = SelectObject(mem, bitmap);
    POINT origin{0, 0};
    MapWindowPoints(hwnd, main_, &origin, 1);
    BitBlt(mem, 0, 0, w, h, backdrop_dc_, origin.x, origin.y, SRCCOPY);
    if (d.Kind == ControlKind::ckPicture) {
      // The window-wide pictures are part of the backdrop already.
      if (d.Parent != ControlId::frmMain) DrawPicture(mem, pictures_.Get(d.Pic), 0, 0);
    } else {
      int n = TextLength(hwnd);
      std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
      GetWindowTextW(hwnd, text.data(), n + 1);
      HGDIOBJ old_font = SelectObject(mem, fonts_.Get(d.Font, d.Underline));
      SetBkMode(mem, TRANSPARENT);
      SetTextColor(mem, ColorOf(d.Color));
      UINT format = DT_NOPREFIX | DT_LEFT | DT_TOP | (d.WordWrap ? DT_WORDBREAK : DT_SINGLELINE);
      DrawTextW(mem, text.c_str(), n, &r, format);
      SelectObject(mem, old_font);
    }
    BitBlt(dc, 0, 0, w, h, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old_bitmap);
    DeleteObject(bitmap);
    DeleteDC(mem);
  }
  EndPaint(hwnd, &ps);
}

void WizardView::FitLabel(ControlId id) {
  const ControlDef& d = Def(id);
  if (!d.AutoSize) return;
  HWND hwnd = Window(id);
  int n = TextLength(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  GetWindowTextW(hwnd, text.data(), n + 1);
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, fonts_.Get(d.Font, d.Underline));
  SIZE extent{0, 0};
  GetTextExtentPoint32W(dc, text.c_str(), n, &extent);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  // The layout's alignment rule on the scaled places: a right-aligned label keeps its right
  // edge (the percent label: the progress bar's end).
  ControlDef scaled = d;
  scaled.Left = scale_(d.Left);
  scaled.Width = scale_(d.Left + d.Width) - scaled.Left;
  SetWindowPos(hwnd, nullptr, LabelLeft(scaled, extent.cx), scale_(d.Top), extent.cx, tm.tmHeight,
               SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
}

// --- Input ---------------------------------------------------------------------------------

ControlId WizardView::IdOf(HWND hwnd) const {
  if (hwnd == nullptr) return ControlId::frmMain;
  int cmd = GetDlgCtrlID(hwnd) - kControlIdBase;
  if (cmd <= 0 || cmd >= kControlCount || hwnds_[cmd] != hwnd) return ControlId::frmMain;
  return static_cast<ControlId>(cmd);
}

bool WizardView::Reachable(ControlId id) const {
  if (closed_ || !IsWindowVisible(main_)) return false;
  ControlId page = PageOf(id);
  if (page != ControlId::frmMain && page != front_) return false;
  HWND hwnd = Window(id);
  return IsWindowVisible(hwnd) && IsEnabled(hwnd);
}

void WizardView::Clicked(ControlId id) {
  if (!Reachable(id)) return;
  if (listener_) listener_->OnClick(id);
}

void WizardView::TrackLeave(ControlId id) {
  TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, Window(id), 0};
  if (TrackMouseEvent(&t)) tracking_[Index(id)] = true;
}

void WizardView::StopTracking(ControlId id) {
  if (!tracking_[Index(id)]) return;
  TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE | TME_CANCEL, Window(id), 0};
  TrackMouseEvent(&t);
  tracking_[Index(id)] = false;
}

void WizardView::PointerEntered(ControlId id) {
  if (id != ControlId::imgBtnInstall || !Reachable(id)) return;
  ApplyHover(*this, ControlId::imgBtnInstall, true);
  // The hover twin now lies under the pointer: its leaving ends the hover look.
  TrackLeave(ControlId::imgBtnInstallHg);
  if (listener_) listener_->OnMouseEnter(ControlId::imgBtnInstall);
}

void WizardView::PointerLeft(ControlId id) {
  if (id != ControlId::imgBtnInstallHg || !IsWindowVisible(Window(id))) return;
  ApplyHover(*this, ControlId::imgBtnInstallHg, false);
  if (listener_) listener_->OnMouseLeave(ControlId::imgBtnInstallHg);
}

void WizardView::ResetHover() {
  if (!IsWindowVisible(Window(ControlId::imgBtnInstallHg))) return;
  ApplyHover(*this, ControlId::imgBtnInstallHg, false);
  if (listener_) listener_->OnMouseLeave(ControlId::imgBtnInstallHg);
}

void WizardView::FocusFirst() {
  if (closed_ || !IsWindowVisible(main_)) return;
  // The page's default button when it has one, else the first control in Tab order.
  std::vector<ControlId> order = TabOrder(front_);
  ControlId def = DefaultButton(front_);
  if (def != ControlId::frmMain) order.insert(order.begin(), def);
  for (ControlId id : order) {
    HWND hwnd = Window(id);
    if ((GetWindowLongW(hwnd, GWL_STYLE) & WS_TABSTOP) && IsWindowVisible(hwnd) &&
        IsEnabled(hwnd)) {
      SetFocus(hwnd);
      return;
    }
  }
  // Nothing on the page takes the focus: keep it off the pages that went to the back.
  SetFocus(main_);
}

// --- View ----------------------------------------------------------------------------------

void WizardView::Show() {
  if (!shown_once_) {
    shown_once_ = true;
    RECT r;
    GetWindowRect(main_, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    SetWindowPos(main_, nullptr, std::max(x, 0), std::max(y, 0), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  closed_ = false;
  ShowWindow(main_, SW_SHOWNORMAL);
  UpdateWindow(main_);
  SetForegroundWindow(main_);
  FocusFirst();
}

void WizardView::BringToFront(ControlId page) {
  if (!IsPage(page)) return;
  front_ = page;
  HWND front = Window(page);
  SetWindowPos(front, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  for (ControlId p : {ControlId::paStart, ControlId::paInstalling, ControlId::paFinish,
                      ControlId::paInstallError}) {
    if (p != page) ShowWindow(Window(p), SW_HIDE);
  }
  // A hover look left on a page that went to the back returns to normal.
  ResetHover();
  FocusFirst();
}

void WizardView::SetText(ControlId control, const String& text) {
  HWND hwnd = Window(control);
  if (control == ControlId::frmMain || IsPage(control) || hwnd == nullptr) return;
  if (Text(control) == text) return;
  SetWindowTextW(hwnd, W(text));
}

String WizardView::Text(ControlId control) const {
  HWND hwnd = Window(control);
  if (hwnd == nullptr) return String();
  int n = TextLength(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  n = GetWindowTextW(hwnd, text.data(), n + 1);
  return FromWide(text.c_str(), static_cast<std::size_t>(n));
}

void WizardView::SetVisible(ControlId control, bool visible) {
  if (control == ControlId::frmMain || IsPage(control)) return;  // pages: BringToFront
  HWND hwnd = Window(control);
  if (visible == Visible(control)) return;
  if (!visible) StopTracking(control);
  ShowWindow(hwnd, visible ? SW_SHOWNA : SW_HIDE);
}

bool WizardView::Visible(ControlId control) const {
  HWND hwnd = Window(control);
  if (control == ControlId::frmMain) return IsWindowVisible(hwnd) != 0;
  return (GetWindowLongW(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

void WizardView::SetEnabled(ControlId control, bool enabled) {
  HWND hwnd = Window(control);
  // A control that loses its input keeps no focus the keyboard could no longer move on from.
  if (!enabled && GetFocus() == hwnd) SetFocus(main_);
  EnableWindow(hwnd, enabled ? TRUE : FALSE);
}

bool WizardView::Enabled(ControlId control) const {
  return IsEnabled(Window(control));
}

bool WizardView::Checked(ControlId control) const {
  if (Def(control).Kind != ControlKind::ckCheckBox) return false;
  return SendMessageW(Window(control), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void WizardView::SetProgressPosition(ControlId control, int position) {
  const ControlDef& d = Def(control);
  if (d.Kind != ControlKind::ckProgressBar) return;
  SendMessageW(Window(control), PBM_SETPOS, std::clamp(position, d.RangeMin, d.RangeMax), 0);
}

int WizardView::ProgressPosition(ControlId control) const {
  if (Def(control).Kind != ControlKind::ckProgressBar) return 0;
  return static_cast<int>(SendMessageW(Window(control), PBM_GETPOS, 0, 0));
}

void WizardView::SetProgressStyle(ControlId control, ProgressStyle style) {
  if (Def(control).Kind != ControlKind::ckProgressBar) return;
  HWND hwnd = Window(control);
  LONG_PTR bits = GetWindowLongPtrW(hwnd, GWL_STYLE);
  if (style == ProgressStyle::pbMarquee) {
    SetWindowLongPtrW(hwnd, GWL_STYLE, bits | PBS_MARQUEE);
    SendMessageW(hwnd, PBM_SETMARQUEE, TRUE, kMarqueeIntervalMs);
  } else {
    SendMessageW(hwnd, PBM_SETMARQUEE, FALSE, 0);
    SetWindowLongPtrW(hwnd, GWL_STYLE, bits & ~static_cast<LONG_PTR>(PBS_MARQUEE));
  }
  progress_style_ = style;
  InvalidateRect(hwnd, nullptr, TRUE);
}

ProgressStyle WizardView::GetProgressStyle(ControlId control) const {
  if (Def(control).Kind != ControlKind::ckProgressBar) return ProgressStyle::pbNormal;
  return progress_style_;
}

int WizardView::ClientWidth() const {
  RECT r{};
  GetClientRect(main_, &r);
  return r.right;
}

int WizardView::ClientHeight() const {
  RECT r{};
  GetClientRect(main_, &r);
  return r.bottom;
}

bool WizardView::Close() {
  if (closed_) return true;
  // A close asked for while the close question is open (a second Alt+F4) waits for its answer
  // instead of asking again.
  if (in_close_) return false;
  bool can_close = true;
  in_close_ = true;
  if (listener_) listener_->OnCloseQuery(can_close);
  in_close_ = false;
  if (!can_close || closed_) return closed_;
  closed_ = true;
  SetProgressStyle(ControlId::ProgressBarDownloading, ProgressStyle::pbNormal);
  // The window goes from the screen at once; its handle lives as long as the view, so the
  // controller's last calls still find it. The main window is gone: the application ends.
  ShowWindow(main_, SW_HIDE);
  PostQuitMessage(0);
  return true;
}

MsgResult WizardView::MessageBox(const MessageBoxRequest& request) {
  return RunMessageBox(request, request.Owner == MsgOwner::moWindow ? main_ : nullptr);
}

std::optional<String> WizardView::BrowseForFolder(const String& title) {
  return RunBrowseForFolder(main_, title);
}

void WizardView::ShowHtmlDialog(const HtmlDialogRequest& request) {
  RunHtmlDialog(request);
}

}  // namespace

// --- Test hooks ----------------------------------------------------------------------------

std::unique_ptr<View> CreateWizardViewAtDpi(int dpi) {
  return std::make_unique<WizardView>(dpi > 0 ? dpi : 96);
}

std::uintptr_t ControlWindow(View& view, ControlId id) {
  return reinterpret_cast<std::uintptr_t>(static_cast<WizardView&>(view).Window(id));
}

int ViewDpi(View& view) {
  return static_cast<WizardView&>(view).Dpi();
}

}  // namespace ui::win32

namespace ui {

std::unique_ptr<View> CreateWizardView() {
  return std::make_unique<win32::WizardView>(win32::SystemDpi());
}

}  // namespace ui
