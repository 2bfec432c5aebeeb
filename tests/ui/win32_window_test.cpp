// The native Windows wizard window under Wine: the frame, every control's place, size and text
// read back from the live windows, the scaling with the dpi, a screenshot of every page, the
// hover pair under the pointer, Tab, Enter and Esc per page, the percent label's right edge, a
// text change that repaints nothing but its label, the marquee, the modal dialogs dispatching
// the thread's messages, the folder browser, the licence dialog's call, the end of the session
// and the close.
//
// Input comes as a user's would: SendInput moves the pointer, clicks and presses keys, and the
// application's loop (with its dialog-message handling) takes them from the thread's queue.
// Every wait has its own deadline. The program runs on the virtual display that scripts/test
// gives the Windows tests.
#include "platform/win32/win.h"

#include <commctrl.h>
#include <shlobj.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "events/application.h"
#include "platform/messages.h"
#include "tests/support/fake_mshtml.h"
#include "tests/support/test_thread.h"
#include "tests/ui/window_test_support.h"
#include "ui/layout.h"
#include "ui/toolkit.h"
#include "ui/win32/win32_view.h"

namespace ui {
namespace {

using enum ControlId;
namespace fs = std::filesystem;

constexpr int kDeadlineMs = 10000;

std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

std::wstring WindowText(HWND w) {
  wchar_t buf[1024] = {};
  GetWindowTextW(w, buf, 1024);
  return buf;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[128] = {};
  GetClassNameW(w, buf, 128);
  return buf;
}

std::wstring LayoutText(const ControlDef& d) {
  return std::wstring(reinterpret_cast<const wchar_t*>(d.Text));
}

// A captured picture of a window's client area: 0x00RRGGBB per pixel, rows top-down.
struct Image {
  int w = 0;
  int h = 0;
  std::vector<std::uint32_t> px;
  std::uint32_t At(int x, int y) const { return px[static_cast<std::size_t>(y) * w + x]; }
};

bool Near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift : {0, 8, 16}) {
    int ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
    if (std::abs(ca - cb) > tolerance) return false;
  }
  return true;
}

Image Capture(HWND w) {
  RECT r;
  GetClientRect(w, &r);
  Image img;
  img.w = r.right;
  img.h = r.bottom;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = img.w;
  bi.bmiHeader.biHeight = -img.h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(w);
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HDC mem = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, img.w, img.h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  auto* p = static_cast<const std::uint32_t*>(bits);
  img.px.assign(p, p + static_cast<std::size_t>(img.w) * img.h);
  for (auto& v : img.px)
    v &= 0xFFFFFF;
  SelectObject(mem, old);
  DeleteDC(mem);
  DeleteObject(bmp);
  ReleaseDC(w, screen);
  return img;
}

// Saves a capture as PNG with the system's encoder.
bool SavePng(const Image& img, const fs::path& file) {
  fs::create_directories(file.parent_path());
  IWICImagingFactory* factory = nullptr;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))))
    return false;
  std::vector<std::uint32_t> opaque(img.px);
  for (auto& v : opaque)
    v |= 0xFF000000u;
  bool ok = false;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  IPropertyBag2* props = nullptr;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  if (SUCCEEDED(factory->CreateStream(&stream)) &&
      SUCCEEDED(stream->InitializeFromFilename(file.wstring().c_str(), GENERIC_WRITE)) &&
      SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
      SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
      SUCCEEDED(encoder->CreateNewFrame(&frame, &props)) && SUCCEEDED(frame->Initialize(props)) &&
      SUCCEEDED(frame->SetSize(img.w, img.h)) && SUCCEEDED(frame->SetPixelFormat(&format)) &&
      SUCCEEDED(frame->WritePixels(img.h, img.w * 4, img.w * img.h * 4,
                                   reinterpret_cast<BYTE*>(opaque.data()))) &&
      SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit())) {
    ok = true;
  }
  for (IUnknown* u : std::initializer_list<IUnknown*>{props, frame, encoder, stream, factory})
    if (u) u->Release();
  return ok;
}

void SendKeys(const std::vector<WORD>& keys, bool shift = false) {
  std::vector<INPUT> in;
  auto key = [&](WORD vk, bool up) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = vk;
    i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    in.push_back(i);
  };
  if (shift) key(VK_SHIFT, false);
  for (WORD k : keys) {
    key(k, false);
    key(k, true);
  }
  if (shift) key(VK_SHIFT, true);
  SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

BOOL CALLBACK CollectWindow(HWND w, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(w);
  return TRUE;
}

// The top-level windows of this thread, and the children of a window.
std::vector<HWND> ThreadWindows() {
  std::vector<HWND> all;
  EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&all));
  return all;
}

// A visible dialog (class #32770) of this thread, with that caption unless it is empty.
HWND FindDialog(const std::wstring& caption) {
  for (HWND w : ThreadWindows()) {
    if (ClassOf(w) == L"#32770" && IsWindowVisible(w) &&
        (caption.empty() || WindowText(w) == caption))
      return w;
  }
  return nullptr;
}

// A hidden window of this thread that runs a step when its message arrives, so a test can act
// from inside a modal loop that dispatches the thread's messages.
struct Probe {
  static constexpr std::uint32_t kMsg = plat::kMsgUser + 7;
  static inline int hits = 0;
  static inline std::function<void()> step;
  static plat::LResult Proc(plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                            plat::LParam lp) {
    if (msg != kMsg) return plat::DefWindowProc(w, msg, wp, lp);
    ++hits;
    if (step) step();
    return 0;
  }
  static plat::WindowHandle Create() {
    if (!plat::IsWindowClassRegistered("VexlorUiTestProbe"))
      plat::RegisterWindowClass("VexlorUiTestProbe", &Probe::Proc);
    hits = 0;
    step = nullptr;
    return plat::CreateHiddenWindow("VexlorUiTestProbe");
  }
};

// Repeats a step through the probe every 50 ms until it reports done or the deadline passes:
// the step runs inside whatever modal loop is open meanwhile.
class Repeater {
 public:
  explicit Repeater(std::function<bool()> step) : step_(std::move(step)) {
    probe_ = Probe::Create();
    Probe::step = [this] {
      if (!done_) done_ = step_();
    };
    timer_ = support::TestThread([this] {
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
      while (!done_ && !stop_ && std::chrono::steady_clock::now() < end) {
        plat::PostMessage(probe_, Probe::kMsg, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  ~Repeater() {
    stop_ = true;
    timer_.join();
    Probe::step = nullptr;
    plat::DestroyWindow(probe_);
  }
  bool Done() const { return done_; }

 private:
  std::function<bool()> step_;
  plat::WindowHandle probe_ = 0;
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
  support::TestThread timer_;
};

class Win32Window : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    app_ = CreateToolkitApplication().release();
    view_ = CreateWizardView().release();
    view_->SetListener(&listener_);
    view_->Show();
    ASSERT_TRUE(PumpUntil([] { return IsWindowVisible(Main()) != 0; }));
    // The window's first paint has happened before any test looks at it.
    RedrawWindow(Main(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }

  static void TearDownTestSuite() {
    view_->SetListener(nullptr);
    delete view_;
    delete app_;
  }

  void SetUp() override {
    view_->BringToFront(paStart);
    Settle();
    listener_.events.clear();
    listener_.allow_close = true;
  }

  static HWND Main() { return H(frmMain); }
  static HWND H(ControlId id) { return reinterpret_cast<HWND>(win32::ControlWindow(*view_, id)); }

  // Runs the application's pump until the condition holds or the deadline passes.
  static bool PumpUntil(const std::function<bool()>& cond, int deadline_ms = kDeadlineMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (true) {
      app_->ProcessMessages();
      if (cond()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      plat::WaitForInput(20);
    }
  }

  // All input sent so far has reached the thread and been handled.
  static void DrainInput() {
    PumpUntil([] { return HIWORD(GetQueueStatus(QS_INPUT)) == 0; });
    app_->ProcessMessages();
  }

  // The normalised absolute coordinate of SendInput that lands exactly on screen pixel v.
  static LONG Absolute(int v, int screen) { return (v * 65536 + screen - 1) / screen; }

  // Everything queued is handled and everything invalid painted.
  static void Settle() {
    app_->ProcessMessages();
    UpdateWindow(Main());
    RedrawWindow(Main(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    app_->ProcessMessages();
  }

  // A control's rectangle in the main window's client coordinates.
  static RECT ClientRect(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, Main(), reinterpret_cast<POINT*>(&r), 2);
    return r;
  }

  // Sends the pointer to a point of the client area; returns the point on the screen.
  static POINT SendPointerTo(int x, int y) {
    POINT p{x, y};
    ClientToScreen(Main(), &p);
    INPUT i{};
    i.type = INPUT_MOUSE;
    i.mi.dx = Absolute(p.x, GetSystemMetrics(SM_CXSCREEN));
    i.mi.dy = Absolute(p.y, GetSystemMetrics(SM_CYSCREEN));
    i.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &i, sizeof(i));
    return p;
  }

  // Moves the pointer and waits until the window has seen it.
  static void MoveTo(int x, int y) {
    POINT p = SendPointerTo(x, y);
    PumpUntil([&] {
      POINT c;
      GetCursorPos(&c);
      return c.x == p.x && c.y == p.y;
    });
    Settle();
  }

  static void Click() {
    INPUT i[2] = {};
    i[0].type = i[1].type = INPUT_MOUSE;
    i[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    i[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, i, sizeof(INPUT));
  }

  // Presses keys, then Tab as a marker: once the Tab has moved the focus to `after_tab`, every
  // key before it has been handled.
  static void PressThenMark(const std::vector<WORD>& keys, ControlId after_tab) {
    std::vector<WORD> all(keys);
    all.push_back(VK_TAB);
    SendKeys(all);
    ASSERT_TRUE(PumpUntil([&] { return GetFocus() == H(after_tab); }))
        << "the keys never reached the window";
  }

  static fs::path Screenshot(const std::string& name, HWND w = nullptr) {
    Settle();
    fs::path file = fs::path(ArtifactDir()) / (name + ".png");
    EXPECT_TRUE(SavePng(Capture(w ? w : Main()), file)) << file;
    return file;
  }

  static TApplicationBase* app_;
  static View* view_;
  static RecordingListener listener_;
};

TApplicationBase* Win32Window::app_ = nullptr;
View* Win32Window::view_ = nullptr;
RecordingListener Win32Window::listener_;

TEST_F(Win32Window, FrameIsAFixedCentredTopLevelWindowWithItsOwnTaskbarButton) {
  EXPECT_EQ(&Application(), app_);
  EXPECT_EQ(win32::ViewDpi(*view_), win32::SystemDpi());
  const int dpi = win32::ViewDpi(*view_);
  RECT client;
  GetClientRect(Main(), &client);
  EXPECT_EQ(client.right, MulDiv(594, dpi, 96));
  EXPECT_EQ(client.bottom, MulDiv(424, dpi, 96));
  EXPECT_EQ(view_->ClientWidth(), client.right);
  EXPECT_EQ(view_->ClientHeight(), client.bottom);
  EXPECT_EQ(WindowText(Main()), L"Vexlor Installer");
  EXPECT_EQ(view_->Caption(), u"Vexlor Installer");
  EXPECT_EQ(ClassOf(Main()), win32::kMainWindowClass);
  EXPECT_EQ(FindWindowW(win32::kMainWindowClass, L"Vexlor Installer"), Main());
  EXPECT_EQ(view_->Handle(), reinterpret_cast<std::uintptr_t>(Main()));

  LONG style = GetWindowLongW(Main(), GWL_STYLE);
  LONG ex_style = GetWindowLongW(Main(), GWL_EXSTYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);  // single border, not resizable
  EXPECT_TRUE(ex_style & WS_EX_APPWINDOW);
  EXPECT_EQ(GetWindow(Main(), GW_OWNER), nullptr);
  EXPECT_NE(GetClassLongPtrW(Main(), GCLP_HICON), 0u);
  EXPECT_NE(GetClassLongPtrW(Main(), GCLP_HICONSM), 0u);

  RECT outer;
  GetWindowRect(Main(), &outer);
  int cx = (outer.left + outer.right) / 2, cy = (outer.top + outer.bottom) / 2;
  EXPECT_NEAR(cx, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR(cy, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

  EXPECT_EQ(view_->FrontPage(), paStart);
  // The application made the thread a single-threaded apartment: a multi-threaded one is
  // refused.
  HRESULT mta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  EXPECT_EQ(mta, RPC_E_CHANGED_MODE);
  if (SUCCEEDED(mta)) CoUninitialize();
}

// Checks every control of a view against the layout table at the view's dpi.
void ExpectLayout(View& view, int dpi) {
  auto s = [dpi](int v) { return MulDiv(v, dpi, 96); };
  auto hwnd = [&](ControlId id) { return reinterpret_cast<HWND>(win32::ControlWindow(view, id)); };
  HWND main = hwnd(frmMain);
  for (const ControlDef& d : kLayout) {
    if (d.Kind == ControlKind::ckWindow) continue;
    SCOPED_TRACE(d.Name);
    HWND w = hwnd(d.Id);
    ASSERT_NE(w, nullptr);
    // Found as a driver finds it: by its id under its parent.
    EXPECT_EQ(GetDlgItem(hwnd(d.Parent), win32::kControlIdBase + Index(d.Id)), w);
    EXPECT_EQ(GetParent(w), hwnd(d.Parent));
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (d.Kind == ControlKind::ckLabel && d.AutoSize) {
      // Sized to the text in the label's font: the place is the layout's (the right edge for
      // the right-aligned percent label), the size the text's own.
      HDC dc = GetDC(w);
      HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)));
      std::wstring text = LayoutText(d);
      SIZE extent{};
      GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
      TEXTMETRICW tm{};
      GetTextMetricsW(dc, &tm);
      SelectObject(dc, old);
      ReleaseDC(w, dc);
      if (d.Alignment == Align::alRight) {
        EXPECT_EQ(r.right, s(d.Left + d.Width));
      } else {
        EXPECT_EQ(r.left, s(d.Left));
      }
      EXPECT_EQ(r.top, s(d.Top));
      EXPECT_EQ(width, extent.cx);
      EXPECT_EQ(height, tm.tmHeight);
      // The text takes about the width the layout planned for it, and never much more.
      EXPECT_LE(width, s(d.Width) + std::max(4, s(d.Width) / 10));
      EXPECT_GE(width, s(d.Width) * 3 / 4);
    } else {
      EXPECT_EQ(r.left, s(d.Left));
      EXPECT_EQ(r.top, s(d.Top));
      if (d.Kind == ControlKind::ckPicture && d.AutoSize) {
        const PictureDef& p = PictureInfo(d.Pic);
        EXPECT_EQ(width, s(p.Width));
        EXPECT_EQ(height, s(p.Height));
      } else {
        EXPECT_EQ(width, s(d.Width));
        EXPECT_EQ(height, s(d.Height));
      }
    }
    // The font of the row, at the dpi.
    if (d.Kind != ControlKind::ckPicture && d.Kind != ControlKind::ckPanel) {
      auto font = reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0));
      LOGFONTW lf{};
      ASSERT_TRUE(GetObjectW(font, sizeof lf, &lf));
      EXPECT_STREQ(lf.lfFaceName, L"Tahoma");
      EXPECT_EQ(lf.lfHeight, -MulDiv(Font(d.Font).PixelHeight, dpi, 96));
      EXPECT_EQ(lf.lfWeight >= FW_BOLD, Font(d.Font).Bold);
    }
    // Kind, text and initial state.
    const LONG style = GetWindowLongW(w, GWL_STYLE);
    switch (d.Kind) {
      case ControlKind::ckPicture:
        EXPECT_EQ(ClassOf(w), win32::kPictureClass);
        break;
      case ControlKind::ckPanel:
        EXPECT_EQ(ClassOf(w), win32::kPageClass);
        EXPECT_EQ((style & WS_VISIBLE) != 0, d.Id == paStart);
        break;
      case ControlKind::ckLabel:
        EXPECT_EQ(ClassOf(w), win32::kLabelClass);
        EXPECT_EQ(WindowText(w), LayoutText(d));
        break;
      case ControlKind::ckEdit:
        EXPECT_EQ(ClassOf(w), L"Edit");
        EXPECT_EQ(WindowText(w), LayoutText(d));
        EXPECT_TRUE(style & WS_TABSTOP);
        break;
      case ControlKind::ckButton:
        EXPECT_EQ(ClassOf(w), L"Button");
        EXPECT_EQ(WindowText(w), LayoutText(d));
        EXPECT_EQ(style & 0xF, d.Default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        break;
      case ControlKind::ckCheckBox:
        EXPECT_EQ(ClassOf(w), L"Button");
        EXPECT_EQ(WindowText(w), LayoutText(d));
        EXPECT_EQ(style & 0xF, BS_AUTOCHECKBOX);
        EXPECT_EQ(SendMessageW(w, BM_GETCHECK, 0, 0), d.Checked ? BST_CHECKED : BST_UNCHECKED);
        break;
      case ControlKind::ckProgressBar:
        EXPECT_EQ(ClassOf(w), L"msctls_progress32");
        EXPECT_EQ(SendMessageW(w, PBM_GETRANGE, TRUE, 0), d.RangeMin);
        EXPECT_EQ(SendMessageW(w, PBM_GETRANGE, FALSE, 0), d.RangeMax);
        EXPECT_EQ(SendMessageW(w, PBM_GETPOS, 0, 0), d.RangeMin);
        EXPECT_FALSE(style & WS_TABSTOP);
        break;
      case ControlKind::ckWindow:
        break;
    }
    if (d.Kind != ControlKind::ckPanel) {
      EXPECT_EQ((style & WS_VISIBLE) != 0, d.Visible);
    }
    EXPECT_EQ(IsWindowEnabled(w) != 0, d.Enabled);
  }
}

TEST_F(Win32Window, EveryControlLiesAtItsLayoutPlaceWithItsTextFontAndState) {
  ExpectLayout(*view_, win32::ViewDpi(*view_));
}

TEST_F(Win32Window, LicenceSentenceAndLinkShareTheLineWithoutOverlapping) {
  RECT sentence = ClientRect(H(lblLicenseAgreementCapt));
  RECT link = ClientRect(H(lblLicenseAgreement));
  EXPECT_EQ(sentence.top, link.top);
  EXPECT_LE(sentence.right, link.left);
  EXPECT_LE(link.right, view_->ClientWidth());
}

TEST_F(Win32Window, EveryPlaceSizeAndFontScalesWithTheDpi) {
  std::unique_ptr<View> large = win32::CreateWizardViewAtDpi(144);
  ASSERT_EQ(win32::ViewDpi(*large), 144);
  EXPECT_EQ(large->ClientWidth(), 891);
  EXPECT_EQ(large->ClientHeight(), 636);
  ExpectLayout(*large, 144);
}

TEST_F(Win32Window, ScreenshotOfEveryPageWithTheBackgroundShowingThrough) {
  for (const PageShot& s : kPageShots) {
    SCOPED_TRACE(s.name);
    view_->BringToFront(s.page);
    if (s.prepare) s.prepare(*view_);
    fs::path file = Screenshot(std::string("win32-") + s.name);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_GT(fs::file_size(file), 10000u);
    Image img = Capture(Main());
    // The background shows through the page: light blue at the top, white at the bottom.
    EXPECT_FALSE(Near(img.At(560, 8), img.At(560, 415), 8));
    EXPECT_TRUE(Near(img.At(560, 415), 0xFFFFFF, 12));
    // Labels and check boxes have no background of their own: at the left end of each, the
    // pixel is the backdrop's, as just left of it.
    for (ControlId id : Children(s.page)) {
      const ControlDef& d = Def(id);
      if ((d.Kind != ControlKind::ckLabel && d.Kind != ControlKind::ckCheckBox) ||
          !view_->Visible(id))
        continue;
      RECT r = ClientRect(H(id));
      int x = d.Kind == ControlKind::ckLabel ? r.left : r.right - 2;
      int beside = d.Kind == ControlKind::ckLabel ? r.left - 2 : r.right + 1;
      EXPECT_TRUE(Near(img.At(x, r.top), img.At(beside, r.top), 10))
          << d.Name << std::hex << " " << img.At(x, r.top) << " " << img.At(beside, r.top);
    }
  }
  ResetPageShots(*view_);
}

// The one fixed-size label wraps its text inside its rectangle.
TEST_F(Win32Window, TheWrappedLabelWrapsInsideItsRectangle) {
  view_->BringToFront(paInstallError);
  Settle();
  HWND label = H(lblErrorMessageCapt1);
  RECT r = ClientRect(label);
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  ASSERT_GE(r.bottom - r.top, 2 * tm.tmHeight);
  // Dark text pixels in the second line's band.
  Image img = Capture(Main());
  int dark = 0;
  for (int y = r.top + tm.tmHeight; y < r.top + 2 * tm.tmHeight; ++y)
    for (int x = r.left; x < r.right; ++x)
      if ((img.At(x, y) & 0xFF) < 0x60) ++dark;
  EXPECT_GT(dark, 50);
}

TEST_F(Win32Window, PicturesAreDrawnWithTheirAlphaOverTheBackground) {
  Image img = Capture(Main());
  // The install button's corners are transparent: the backdrop shows there, as just outside.
  RECT b = ClientRect(H(imgBtnInstall));
  EXPECT_TRUE(Near(img.At(b.left, b.top), img.At(b.left - 1, b.top), 10));
  // Its middle is the red of the button.
  std::uint32_t mid = img.At((b.left + b.right) / 2, b.top + 6);
  EXPECT_GT((mid >> 16) & 0xFF, 150u) << std::hex << mid;
  EXPECT_GT((mid >> 16) & 0xFF, ((mid >> 8) & 0xFF) + 60) << std::hex << mid;
}

TEST_F(Win32Window, HoverPairFollowsThePointerAndBothLooksClick) {
  const ControlDef& b = Def(imgBtnInstall);
  const int dpi = win32::ViewDpi(*view_);
  auto s = [dpi](int v) { return MulDiv(v, dpi, 96); };
  MoveTo(s(20), s(400));
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));

  MoveTo(s(b.Left + b.Width / 2), s(b.Top + b.Height / 2));
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstallHg); }));
  EXPECT_FALSE(view_->Visible(imgBtnInstall));
  EXPECT_TRUE(listener_.Saw("enter imgBtnInstall"));
  HWND under = WindowFromPoint([&] {
    POINT p{s(b.Left + 10), s(b.Top + 10)};
    ClientToScreen(Main(), &p);
    return p;
  }());
  EXPECT_EQ(under, H(imgBtnInstallHg));
  // The hand cursor over the button.
  SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(HTCLIENT, 0));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
  Screenshot("win32-page-start-hover");

  Click();
  ASSERT_TRUE(PumpUntil([] { return listener_.Saw("click imgBtnInstallHg"); }));

  MoveTo(s(b.Left - 30), s(b.Top + b.Height + 20));
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));
  EXPECT_FALSE(view_->Visible(imgBtnInstallHg));
  EXPECT_TRUE(listener_.Saw("leave imgBtnInstallHg"));

  // The normal look under a pointer that has not moved since the page came back to front.
  MoveTo(s(b.Left + 10), s(b.Top + 10));
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstallHg); }));
  view_->BringToFront(paInstallError);
  view_->BringToFront(paStart);
  ASSERT_TRUE(view_->Visible(imgBtnInstall));
  Click();
  ASSERT_TRUE(PumpUntil([] { return listener_.Saw("click imgBtnInstall"); }));
  MoveTo(s(20), s(400));
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));
}

TEST_F(Win32Window, OnlyThePageInFrontCanBeClicked) {
  const int dpi = win32::ViewDpi(*view_);
  const ControlDef& cancel = Def(btnCancel);
  const int x = MulDiv(cancel.Left + cancel.Width / 2, dpi, 96);
  const int y = MulDiv(cancel.Top + cancel.Height / 2, dpi, 96);
  struct Case {
    ControlId page;
    std::vector<std::string> events;
  };
  const Case cases[] = {{paStart, {}}, {paFinish, {}}, {paInstalling, {"click btnCancel"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Def(c.page).Name);
    view_->BringToFront(c.page);
    listener_.events.clear();
    MoveTo(x, y);
    Click();
    DrainInput();
    EXPECT_EQ(listener_.events, c.events);
  }
  MoveTo(MulDiv(20, dpi, 96), MulDiv(400, dpi, 96));
}

TEST_F(Win32Window, EnterAndEscDoNothingOnTheStartPage) {
  ASSERT_EQ(GetFocus(), H(edInstallPath));
  PressThenMark({VK_RETURN, VK_ESCAPE, VK_RETURN, VK_ESCAPE}, edInstallPathChange);
  EXPECT_TRUE(listener_.events.empty()) << listener_.events.front();
  EXPECT_TRUE(IsWindowVisible(Main()));
  EXPECT_EQ(view_->FrontPage(), paStart);
  EXPECT_FALSE(app_->Terminated());
}

TEST_F(Win32Window, EnterAndEscActOnThePageInFront) {
  // Installing: Esc is the cancel button; the bar takes no focus.
  view_->BringToFront(paInstalling);
  ASSERT_EQ(GetFocus(), H(btnCancel));
  SendKeys({VK_ESCAPE});
  ASSERT_TRUE(PumpUntil([] { return !listener_.events.empty(); }));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"click btnCancel"});

  // Finish: the default button has the focus. Esc does nothing; Enter is the default button
  // also while the check box has the focus.
  listener_.events.clear();
  view_->BringToFront(paFinish);
  ASSERT_EQ(GetFocus(), H(btnInstalledFinish));
  SendKeys({VK_TAB}, true);
  ASSERT_TRUE(PumpUntil([] { return GetFocus() == H(chbStartVexlor); }));
  SendKeys({VK_ESCAPE, VK_RETURN});
  ASSERT_TRUE(PumpUntil([] { return !listener_.events.empty(); }));
  DrainInput();
  EXPECT_EQ(listener_.events, std::vector<std::string>{"click btnInstalledFinish"});
  EXPECT_TRUE(view_->Checked(chbStartVexlor));

  // Error: Enter is its Finish button.
  listener_.events.clear();
  view_->BringToFront(paInstallError);
  SendKeys({VK_ESCAPE, VK_RETURN});
  ASSERT_TRUE(PumpUntil([] { return !listener_.events.empty(); }));
  DrainInput();
  EXPECT_EQ(listener_.events, std::vector<std::string>{"click btnCancelledFinish"});
}

TEST_F(Win32Window, TabMovesInThePagesOrderAndWraps) {
  ASSERT_EQ(GetFocus(), H(edInstallPath));
  PressThenMark({}, edInstallPathChange);
  PressThenMark({}, chbCreateDesktopIcon);
  PressThenMark({}, edInstallPath);
  SendKeys({VK_TAB}, true);
  EXPECT_TRUE(PumpUntil([] { return GetFocus() == H(chbCreateDesktopIcon); }));
  // Space on the focused check box toggles it; nothing reaches the listener.
  SendKeys({VK_SPACE});
  EXPECT_TRUE(PumpUntil([] { return !view_->Checked(chbCreateDesktopIcon); }));
  SendKeys({VK_SPACE});
  EXPECT_TRUE(PumpUntil([] { return view_->Checked(chbCreateDesktopIcon); }));
  EXPECT_TRUE(listener_.events.empty());
}

TEST_F(Win32Window, PercentLabelKeepsItsRightEdgeAtTheBarsEnd) {
  view_->BringToFront(paInstalling);
  const int right = MulDiv(kProgressRightEdge, win32::ViewDpi(*view_), 96);
  EXPECT_EQ(ClientRect(H(ProgressBarDownloading)).right, right);
  int widths[3];
  int i = 0;
  for (const char16_t* t : {u"7%", u"42%", u"100%"}) {
    view_->SetText(lblProgressPercent, t);
    RECT r = ClientRect(H(lblProgressPercent));
    EXPECT_EQ(r.right, right) << text::ToUtf8(t);
    EXPECT_EQ(view_->Text(lblProgressPercent), t);
    widths[i++] = r.right - r.left;
  }
  EXPECT_LT(widths[0], widths[1]);
  EXPECT_LT(widths[1], widths[2]);
  view_->SetText(lblProgressPercent, u"0%");
}

// Progress texts change ten times a second during a download: each change repaints its label
// (over its own copy of the backdrop) and the strip it uncovered, never the rest of the page.
TEST_F(Win32Window, ATextChangeRepaintsOnlyItsLabel) {
  view_->BringToFront(paInstalling);
  view_->SetText(lblProgressPercent, u"100%");
  Settle();
  HWND page = H(paInstalling);
  HWND label = H(lblProgressPercent);
  RECT before = ClientRect(label);
  ASSERT_FALSE(GetUpdateRect(page, nullptr, FALSE));
  ASSERT_FALSE(GetUpdateRect(Main(), nullptr, FALSE));

  view_->SetText(lblProgressPercent, u"7%");
  RECT after = ClientRect(label);
  RECT dirty{};
  GetUpdateRect(page, &dirty, FALSE);
  RECT both;
  UnionRect(&both, &before, &after);
  RECT inside;
  IntersectRect(&inside, &dirty, &both);
  EXPECT_TRUE(EqualRect(&inside, &dirty))
      << dirty.left << "," << dirty.top << " " << dirty.right << "," << dirty.bottom;
  EXPECT_FALSE(GetUpdateRect(Main(), nullptr, FALSE));
  EXPECT_FALSE(GetUpdateRect(H(ProgressBarDownloading), nullptr, FALSE));
  EXPECT_FALSE(GetUpdateRect(H(lblProgressText), nullptr, FALSE));
  // The label itself is repainted whole, without erasing to anything first.
  RECT own{};
  EXPECT_TRUE(GetUpdateRect(label, &own, FALSE));
  EXPECT_EQ(own.right - own.left, after.right - after.left);
  Settle();
  // What is left where the wider text was is the backdrop again.
  Image img = Capture(Main());
  EXPECT_TRUE(
      Near(img.At(before.left + 1, before.top + 6), img.At(before.left - 3, before.top + 6), 10));
  view_->SetText(lblProgressPercent, u"0%");
}

TEST_F(Win32Window, MarqueeAnimatesUntilSwitchedBack) {
  view_->BringToFront(paInstalling);
  HWND bar = H(ProgressBarDownloading);
  view_->SetProgressStyle(ProgressBarDownloading, ProgressStyle::pbMarquee);
  EXPECT_TRUE(GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE);
  EXPECT_EQ(view_->GetProgressStyle(ProgressBarDownloading), ProgressStyle::pbMarquee);
  Settle();
  auto bar_pixels = [&] {
    Image img = Capture(bar);
    return img.px;
  };
  std::vector<std::uint32_t> first = bar_pixels();
  EXPECT_TRUE(PumpUntil([&] { return bar_pixels() != first; }));
  view_->SetProgressStyle(ProgressBarDownloading, ProgressStyle::pbNormal);
  EXPECT_FALSE(GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE);
  EXPECT_EQ(view_->GetProgressStyle(ProgressBarDownloading), ProgressStyle::pbNormal);
  view_->SetProgressPosition(ProgressBarDownloading, 150);
  EXPECT_EQ(view_->ProgressPosition(ProgressBarDownloading), 100);
  view_->SetProgressPosition(ProgressBarDownloading, 0);
}

TEST_F(Win32Window, ThreadMessagesAreDispatchedByTheLoopAndAWaitWakesOnWindowInput) {
  plat::WindowHandle probe = Probe::Create();
  ASSERT_NE(probe, 0u);
  ASSERT_TRUE(plat::PostMessage(probe, Probe::kMsg, 0, 0));
  app_->ProcessMessages();
  EXPECT_EQ(Probe::hits, 1);
  plat::DestroyWindow(probe);

  // A synchronous wait (a download) waits for the thread's queue: input for the window wakes
  // it as a posted message does.
  app_->ProcessMessages();
  ASSERT_FALSE(plat::WaitForInput(0));
  const int dpi = win32::ViewDpi(*view_);
  SendPointerTo(MulDiv(30, dpi, 96), MulDiv(300, dpi, 96));
  EXPECT_TRUE(plat::WaitForInput(8000));
  app_->ProcessMessages();
}

// The three message boxes of the installer, as the system shows them: owner, caption, exact
// text, icon and buttons. The answer comes from inside the box's own modal loop, which goes on
// dispatching the thread's posted messages.
TEST_F(Win32Window, MessageBoxesShowTheirTextAndButtonsAndDispatchTheThreadsMessages) {
  struct Case {
    MessageBoxRequest request;
    std::vector<int> buttons;
    int absent;
    int answer;
  };
  const Case cases[] = {
      {{MsgOwner::moNone,
        u"Vexlor must be closed during this installation.\r\nPlease close Vexlor now and press "
        u"\"Retry\" to continue, or press \"Cancel\" to abort the installation entirely.",
        u"Vexlor", MsgButtons::mbRetryCancel, MsgIcon::miInformation},
       {IDRETRY, IDCANCEL},
       IDYES,
       IDRETRY},
      {{MsgOwner::moWindow,
        u"Setup is not complete.If you exit now, the program will not be installed.\r\nYou may "
        u"run Setup again at another time to complete the installation.\r\n\r\nExit Setup?",
        u"Vexlor Installer", MsgButtons::mbYesNo, MsgIcon::miQuestion},
       {IDYES, IDNO},
       IDCANCEL,
       IDNO},
      {{MsgOwner::moWindow, u"Cancel installation?", u"Vexlor Installer", MsgButtons::mbYesNo,
        MsgIcon::miQuestion},
       {IDYES, IDNO},
       IDCANCEL,
       IDYES},
  };
  for (const Case& c : cases) {
    const std::wstring caption(reinterpret_cast<const wchar_t*>(c.request.Caption.c_str()));
    SCOPED_TRACE(text::ToUtf8(c.request.Text).substr(0, 30));
    HWND owner = reinterpret_cast<HWND>(-1);
    std::wstring shown_text;
    bool icon = false, has_buttons = true, absent = false;
    Repeater answer([&] {
      HWND box = FindDialog(caption);
      if (!box) return false;
      owner = GetWindow(box, GW_OWNER);
      shown_text = WindowText(GetDlgItem(box, 0xFFFF));
      icon = GetDlgItem(box, 0x0440) != nullptr || GetDlgItem(box, 0x14) != nullptr;
      for (int b : c.buttons)
        has_buttons = has_buttons && GetDlgItem(box, b) != nullptr;
      absent = GetDlgItem(box, c.absent) == nullptr;
      RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      SavePng(Capture(box),
              fs::path(ArtifactDir()) / ("win32-message-box-" + std::to_string(c.answer) + ".png"));
      PostMessageW(box, WM_COMMAND, c.answer, 0);
      return true;
    });
    MsgResult r = view_->MessageBox(c.request);
    EXPECT_TRUE(answer.Done());
    EXPECT_EQ(r, c.answer);
    EXPECT_EQ(owner, c.request.Owner == MsgOwner::moWindow ? Main() : nullptr);
    EXPECT_EQ(shown_text, std::wstring(reinterpret_cast<const wchar_t*>(c.request.Text.c_str())));
    EXPECT_TRUE(icon);
    EXPECT_TRUE(has_buttons);
    EXPECT_TRUE(absent);
  }
  EXPECT_TRUE(listener_.events.empty());
}

// The shell's folder browser, owned by the window and titled as asked. The test picks a folder
// with the browser's own selection message (Wine's browser does not take a path typed into its
// edit box) and presses OK; Cancel gives nothing.
TEST_F(Win32Window, FolderBrowserReturnsTheFolderChosenOrNothing) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  struct Case {
    bool choose;
    std::optional<String> expected;
  };
  const Case cases[] = {
      {true, String(reinterpret_cast<const char16_t*>(windows))},
      {false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.choose ? "choose" : "cancel");
    HWND owner = nullptr;
    bool titled = false;
    Repeater act([&] {
      HWND found = FindDialog(L"");
      if (!found) return false;
      owner = GetWindow(found, GW_OWNER);
      for (HWND child : ChildWindows(found))
        titled = titled || WindowText(child) == L"Destination folder:";
      if (c.choose) {
        SendMessageW(found, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(windows));
        RedrawWindow(found, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        SavePng(Capture(found), fs::path(ArtifactDir()) / "win32-folder-browser.png");
        PostMessageW(found, WM_COMMAND, IDOK, 0);
      } else {
        PostMessageW(found, WM_COMMAND, IDCANCEL, 0);
      }
      return true;
    });
    std::optional<String> chosen = view_->BrowseForFolder(u"Destination folder:");
    EXPECT_TRUE(act.Done());
    EXPECT_EQ(owner, Main());
    EXPECT_TRUE(titled);
    ASSERT_EQ(chosen.has_value(), c.expected.has_value());
    if (chosen) {
      EXPECT_EQ(text::LowerAscii(*chosen), text::LowerAscii(*c.expected));
    }
  }
}

// The licence page: the HTML dialog's library is loaded at run time and its ShowHTMLDialog
// called with no owner, a URL moniker of the page's address, an empty string argument and the
// options text. Wine here has no HTML engine, so the real dialog cannot show the page: a
// stand-in library records the call instead.
TEST_F(Win32Window, LicenceDialogCallsTheLibraryWithTheMonikerOfThePageAndTheOptions) {
  HMODULE fake = LoadLibraryW(Wide(VEXLOR_FAKE_MSHTML).c_str());
  ASSERT_NE(fake, nullptr) << VEXLOR_FAKE_MSHTML;
  using Record = const support::FakeHtmlDialogCall* (*)();
  auto record = reinterpret_cast<Record>(
      reinterpret_cast<void (*)()>(GetProcAddress(fake, support::kFakeHtmlDialogRecordExport)));
  ASSERT_NE(record, nullptr);
  win32::SetHtmlDialogLibrary(text::FromUtf8(VEXLOR_FAKE_MSHTML));

  HtmlDialogRequest request;
  request.Url = u"http://web.invalid/license.php";
  request.Resizable = true;
  request.Height = view_->ClientHeight() - 50;
  request.Width = view_->ClientWidth() - 50;
  request.Options = u"resizable:yes;dialogHeight:374 px;dialogWidth:544 px;";
  view_->ShowHtmlDialog(request);
  win32::SetHtmlDialogLibrary(u"");

  const support::FakeHtmlDialogCall& call = *record();
  EXPECT_EQ(call.calls, 1);
  EXPECT_EQ(call.parent, 0u);
  EXPECT_STREQ(call.page, L"http://web.invalid/license.php");
  EXPECT_EQ(call.argument_type, VT_BSTR);
  EXPECT_STREQ(call.argument, L"");
  EXPECT_STREQ(call.options, L"resizable:yes;dialogHeight:374 px;dialogWidth:544 px;");
  EXPECT_EQ(call.result_type, VT_EMPTY);
  EXPECT_TRUE(call.com_ready);
  // The window's library reference is gone again: only the test's own is left.
  EXPECT_TRUE(FreeLibrary(fake));
  EXPECT_EQ(GetModuleHandleW(Wide(VEXLOR_FAKE_MSHTML).c_str()), nullptr);
}

// The system's library, where it cannot be loaded: Wine here has no HTML engine, and the tests
// switch Wine's mshtml off so that Wine never offers to download one. The call returns at once,
// without a dialog and without a message.
TEST_F(Win32Window, LicenceDialogWithoutTheSystemsHtmlEngineReturnsAtOnce) {
  HMODULE system = LoadLibraryW(L"MSHTML.DLL");
  if (system != nullptr) {
    FreeLibrary(system);
    GTEST_SKIP() << "this system has an HTML engine; its dialog would wait for a user";
  }
  HtmlDialogRequest request;
  request.Url = u"http://web.invalid/license.php";
  request.Options = u"resizable:yes;dialogHeight:374 px;dialogWidth:544 px;";
  auto start = std::chrono::steady_clock::now();
  view_->ShowHtmlDialog(request);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(FindDialog(L"Vexlor Installer"), nullptr);
}

TEST_F(Win32Window, EndOfSessionGoesToTheListener) {
  EXPECT_EQ(SendMessageW(Main(), WM_QUERYENDSESSION, 0, 0), TRUE);
  EXPECT_EQ(listener_.events, std::vector<std::string>{"end session"});
}

// Last: closing asks, and a close that is allowed ends the application.
TEST_F(Win32Window, ZZClosingAsksThenEndsTheApplication) {
  listener_.allow_close = false;
  PostMessageW(Main(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(PumpUntil([] { return listener_.Saw("close query"); }));
  EXPECT_TRUE(IsWindowVisible(Main()));
  EXPECT_FALSE(app_->Terminated());

  listener_.allow_close = true;
  PostMessageW(Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_TRUE(PumpUntil([] { return app_->Terminated(); }));
  EXPECT_FALSE(IsWindowVisible(Main()));
  EXPECT_EQ(listener_.events, (std::vector<std::string>{"close query", "close query"}));
  EXPECT_TRUE(view_->Close());  // closed already: no further question
  EXPECT_EQ(listener_.events.size(), 2u);
}

}  // namespace
}  // namespace ui
