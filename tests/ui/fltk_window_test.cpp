// The real FLTK wizard window on a virtual X display: every page drawn and kept as a
// screenshot, the hover pair under a real pointer, Enter and Esc on the Start page, the
// percent label's right edge, the marquee, and the application loop dispatching the thread's
// messages in FLTK's loop and inside a modal dialog.
//
// The program runs itself again under xvfb-run (a display of its own, never the user's), and
// drives the window with xdotool and ImageMagick's import, as a user and a screen would.
// Every wait has its own deadline.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "events/application.h"
#include "events/timers.h"
#include "platform/messages.h"
#include "tests/ui/window_test_support.h"
#include "ui/fltk/fltk_view.h"
#include "ui/layout.h"
#include "ui/toolkit.h"
#include "tests/timers/manual_clock.h"

namespace ui {
namespace {

using enum ControlId;
namespace fs = std::filesystem;

constexpr auto kDeadline = std::chrono::seconds(10);

// Runs a shell command; true when it exited with 0.
bool Shell(const std::string& cmd) {
  return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a command and returns what it printed.
std::string Capture(const std::string& cmd) {
  fs::create_directories(ArtifactDir());
  fs::path out = fs::path(ArtifactDir()) / "capture.txt";
  std::system((cmd + " >" + out.string() + " 2>/dev/null").c_str());
  std::ifstream f(out);
  std::stringstream ss;
  ss << f.rdbuf();
  fs::remove(out);
  return ss.str();
}

class FltkWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    app_ = CreateToolkitApplication().release();
    view_ = CreateWizardView().release();
    view_->SetListener(&listener_);
    view_->Show();
    ASSERT_TRUE(PumpUntil([] { return fltk::WindowId(*view_) != 0 && Mapped(); }));
    fs::create_directories(ArtifactDir());
  }

  static void TearDownTestSuite() {
    view_->SetListener(nullptr);
    delete view_;
    delete app_;
  }

  void SetUp() override {
    listener_.events.clear();
    listener_.allow_close = true;
  }

  // Runs FLTK's loop until the condition holds or the deadline passes.
  static bool PumpUntil(const std::function<bool()>& cond) {
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!cond()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Fl::wait(0.02);
    }
    return true;
  }

  // Nothing waits: neither in the thread's queue nor among the display's events.
  static bool Settle() {
    return PumpUntil([] {
      app_->ProcessMessages();
      return !plat::WaitForInput(0);
    });
  }

  // Reads the display's events into Xlib's queue without handling them.
  static bool PumpUntilQueued() {
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (fltk::QueuedDisplayEvents() == 0) {
      if (std::chrono::steady_clock::now() > end) return false;
      fltk::ReadDisplayEventsAhead();
    }
    return true;
  }

  // The window is on the screen. An id of 0 never reaches xwininfo, which would wait for a
  // window to be picked with the mouse.
  static bool Mapped(unsigned long id = fltk::WindowId(*view_)) {
    return id != 0 &&
           Shell("xwininfo -id " + std::to_string(id) + " | grep -q 'Map State: IsViewable'");
  }

  static std::string Win() { return std::to_string(fltk::WindowId(*view_)); }

  // Moves the real pointer to a point of the window's client area.
  static void MoveTo(int x, int y) {
    ASSERT_TRUE(Shell("xdotool mousemove --sync --window " + Win() + " " + std::to_string(x) + " " +
                      std::to_string(y)));
  }

  // Presses keys with the window focused; then Tab as a marker. Once the Tab has moved the
  // focus, every key before it has been handled.
  static void PressThenMark(const std::string& keys, ControlId focus_after_tab) {
    ASSERT_TRUE(Shell("xdotool windowfocus --sync " + Win() + " key --delay 20 " + keys + " Tab"));
    ASSERT_TRUE(PumpUntil([&] { return fltk::HasFocus(*view_, focus_after_tab); }))
        << "the keys never reached the window";
  }

  // Draws everything and saves the window as it is on the screen.
  static fs::path Screenshot(const std::string& name) {
    Fl::flush();
    PumpUntil([] { return !Fl::damage(); });
    fs::path file = fs::path(ArtifactDir()) / (name + ".png");
    EXPECT_TRUE(Shell("import -window " + Win() + " " + file.string())) << file;
    return file;
  }

  // The colour of one pixel of a screenshot, as ImageMagick prints it ("srgb(...)").
  static std::string PixelAt(const fs::path& file, int x, int y) {
    return Capture("convert " + file.string() + " -format '%[pixel:p{" + std::to_string(x) + "," +
                   std::to_string(y) + "}]' info:");
  }

  static TApplicationBase* app_;
  static View* view_;
  static RecordingListener listener_;
};

TApplicationBase* FltkWindow::app_ = nullptr;
View* FltkWindow::view_ = nullptr;
RecordingListener FltkWindow::listener_;

TEST_F(FltkWindow, FixedClientAreaStartPageInFrontAndInstalledAsTheApplication) {
  EXPECT_EQ(view_->ClientWidth(), 594);
  EXPECT_EQ(view_->ClientHeight(), 424);
  EXPECT_EQ(view_->Caption(), u"Vexlor Installer");
  EXPECT_EQ(view_->FrontPage(), paStart);
  EXPECT_EQ(&Application(), app_);
  std::string geometry = Capture("xwininfo -id " + Win());
  EXPECT_NE(geometry.find("Width: 594"), std::string::npos) << geometry;
  EXPECT_NE(geometry.find("Height: 424"), std::string::npos) << geometry;
  // Only the page in front is shown.
  EXPECT_TRUE(fltk::ControlShown(*view_, edInstallPath));
  EXPECT_FALSE(fltk::ControlShown(*view_, btnCancel));
  EXPECT_FALSE(fltk::ControlShown(*view_, btnInstalledFinish));
}

TEST_F(FltkWindow, LicenceSentenceAndLinkShareTheLineWithoutOverlapping) {
  fltk::Bounds sentence = fltk::ControlBounds(*view_, lblLicenseAgreementCapt);
  fltk::Bounds link = fltk::ControlBounds(*view_, lblLicenseAgreement);
  EXPECT_EQ(sentence.y, link.y);
  EXPECT_LE(sentence.x + sentence.w, link.x);
  EXPECT_LE(link.x + link.w, kWindow.ClientWidth);
}

TEST_F(FltkWindow, ScreenshotOfEveryPage) {
  for (const PageShot& s : kPageShots) {
    view_->BringToFront(s.page);
    if (s.prepare) s.prepare(*view_);
    fs::path file = Screenshot(s.name);
    ASSERT_TRUE(fs::exists(file)) << s.name;
    EXPECT_GT(fs::file_size(file), 10000u) << s.name;
    // The background shows through the page: light blue at the top, white at the bottom.
    std::string top = PixelAt(file, 560, 8);
    std::string bottom = PixelAt(file, 560, 415);
    EXPECT_NE(top, bottom) << s.name << ": " << top;
  }
  // Back to the state the other tests expect.
  ResetPageShots(*view_);
}

TEST_F(FltkWindow, HoverPairFollowsThePointerAndBothLooksClick) {
  view_->BringToFront(paStart);
  const ControlDef& b = Def(imgBtnInstall);
  MoveTo(20, 400);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));

  MoveTo(b.Left + b.Width / 2, b.Top + b.Height / 2);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstallHg); }));
  EXPECT_FALSE(view_->Visible(imgBtnInstall));
  EXPECT_TRUE(listener_.Saw("enter imgBtnInstall"));
  Screenshot("page-start-hover");

  ASSERT_TRUE(Shell("xdotool click 1"));
  ASSERT_TRUE(PumpUntil([] { return listener_.Saw("click imgBtnInstallHg"); }));

  MoveTo(b.Left - 30, b.Top + b.Height + 20);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));
  EXPECT_FALSE(view_->Visible(imgBtnInstallHg));
  EXPECT_TRUE(listener_.Saw("leave imgBtnInstallHg"));

  // The normal look under a pointer that has not moved since the page came back to front.
  MoveTo(b.Left + 10, b.Top + 10);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstallHg); }));
  view_->BringToFront(paInstallError);
  view_->BringToFront(paStart);
  ASSERT_TRUE(view_->Visible(imgBtnInstall));
  ASSERT_TRUE(Shell("xdotool click 1"));
  ASSERT_TRUE(PumpUntil([] { return listener_.Saw("click imgBtnInstall"); }));
  MoveTo(20, 400);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));
}

// A synchronous wait (a download) waits on the thread's queue only; input on the window must
// end that wait at once, as on Windows, not at its time limit.
TEST_F(FltkWindow, UserInputEndsAWaitOnTheThreadsQueue) {
  ASSERT_TRUE(Settle());
  ASSERT_FALSE(plat::WaitForInput(0));
  ASSERT_TRUE(Shell("xdotool mousemove --window " + Win() + " 30 30 mousemove --window " + Win() +
                    " 40 300"));
  EXPECT_TRUE(plat::WaitForInput(8000));
  app_->ProcessMessages();
}

// Xlib keeps the events it reads while it waits for a reply (a repaint's round trip); they
// never show on the descriptor again. A wait must not sleep on them: a click whose release
// lay there once stayed unanswered for as long as no other input came.
TEST_F(FltkWindow, EventsXlibHasAlreadyReadEndAWaitOnTheThreadsQueue) {
  ASSERT_TRUE(Settle());
  ASSERT_TRUE(Shell("xdotool mousemove --sync --window " + Win() +
                    " 30 30 mousemove --sync --window " + Win() + " 40 300"));
  // A round trip reads what has arrived into Xlib's queue.
  ASSERT_TRUE(PumpUntilQueued());
  // The thread's queue takes the descriptor's last notice and forgets it; the descriptor is
  // quiet now, while the events wait in Xlib.
  plat::Message m;
  while (plat::PeekMessage(m))
    plat::DispatchMessage(m);
  ASSERT_GT(fltk::QueuedDisplayEvents(), 0);
  EXPECT_TRUE(plat::WaitForInput(0));
  app_->ProcessMessages();
  EXPECT_EQ(fltk::QueuedDisplayEvents(), 0);
}

// A message that posts itself again, like the continuation of a readable notice, until the
// pointer has entered the install button (or a limit); every delivery takes 4 ms of the
// manual clock, and the first moves the pointer onto the button.
struct Stream {
  static plat::LResult Proc(plat::WindowHandle w, std::uint32_t, plat::WParam, plat::LParam) {
    ++count;
    clock->Advance(4);
    if (count == 1) {
      const ControlDef& b = Def(imgBtnInstall);
      Shell("xdotool mousemove --sync --window " + std::to_string(fltk::WindowId(*view)) + " " +
            std::to_string(b.Left + b.Width / 2) + " " + std::to_string(b.Top + b.Height / 2));
    }
    if (!view->Visible(imgBtnInstallHg) && count < kLimit)
      plat::PostMessage(w, plat::kMsgUser, 0, 0);
    return 0;
  }
  static constexpr int kLimit = 5000;
  static int count;
  static TManualClockSource* clock;
  static View* view;
};
int Stream::count = 0;
TManualClockSource* Stream::clock = nullptr;
View* Stream::view = nullptr;

// A fast download keeps the thread's queue full (each readable notice posts its own
// continuation). The pump of a synchronous wait still gives FLTK's events their turn: the
// pointer entering the install button is seen while the stream goes on, which then stops,
// and the pump returns once the queue is empty. Turns are timed on a manual clock.
TEST_F(FltkWindow, ProcessMessagesGivesTheWindowATurnWhileTheQueueStaysFull) {
  view_->BringToFront(paStart);
  MoveTo(20, 400);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));
  ASSERT_TRUE(Settle());
  listener_.events.clear();

  TManualClockSource clock(100);
  SetNetTimerClockSource(&clock);
  Stream::clock = &clock;
  Stream::count = 0;
  Stream::view = view_;
  ASSERT_TRUE(plat::IsWindowClassRegistered("VexlorUiTestStream") ||
              plat::RegisterWindowClass("VexlorUiTestStream", &Stream::Proc));
  plat::WindowHandle stream = plat::CreateHiddenWindow("VexlorUiTestStream");
  ASSERT_TRUE(plat::PostMessage(stream, plat::kMsgUser, 0, 0));
  app_->ProcessMessages();
  EXPECT_TRUE(listener_.Saw("enter imgBtnInstall"));
  EXPECT_LT(Stream::count, Stream::kLimit) << "the window had no turn while the queue was full";
  plat::DestroyWindow(stream);
  SetNetTimerClockSource(nullptr);
  MoveTo(20, 400);
  ASSERT_TRUE(PumpUntil([] { return view_->Visible(imgBtnInstall); }));
}

TEST_F(FltkWindow, EnterAndEscDoNothingOnTheStartPage) {
  view_->BringToFront(paStart);
  ASSERT_TRUE(fltk::HasFocus(*view_, edInstallPath));
  PressThenMark("Return Escape KP_Enter Escape", edInstallPathChange);
  EXPECT_TRUE(listener_.events.empty()) << listener_.events.front();
  EXPECT_TRUE(Mapped());
  EXPECT_EQ(view_->FrontPage(), paStart);
  EXPECT_FALSE(app_->Terminated());
}

TEST_F(FltkWindow, EnterAndEscActOnThePageInFront) {
  // Installing: Esc is the cancel button.
  view_->BringToFront(paInstalling);
  ASSERT_TRUE(fltk::HasFocus(*view_, btnCancel));  // the bar takes no focus
  ASSERT_TRUE(Shell("xdotool windowfocus --sync " + Win() + " key Escape"));
  ASSERT_TRUE(PumpUntil([] { return !listener_.events.empty(); }));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"click btnCancel"});

  // Finish: the default button has the focus. Esc does nothing; Enter is the default button
  // also while the check box has the focus.
  listener_.events.clear();
  view_->BringToFront(paFinish);
  ASSERT_TRUE(fltk::HasFocus(*view_, btnInstalledFinish));
  ASSERT_TRUE(Shell("xdotool windowfocus --sync " + Win() + " key shift+Tab"));
  ASSERT_TRUE(PumpUntil([] { return fltk::HasFocus(*view_, chbStartVexlor); }));
  ASSERT_TRUE(Shell("xdotool windowfocus --sync " + Win() + " key --delay 20 Escape Return"));
  ASSERT_TRUE(PumpUntil([] { return !listener_.events.empty(); }));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"click btnInstalledFinish"});
  view_->BringToFront(paStart);
}

TEST_F(FltkWindow, TabMovesInThePagesOrderAndWraps) {
  view_->BringToFront(paStart);
  ASSERT_TRUE(fltk::HasFocus(*view_, edInstallPath));
  PressThenMark("", edInstallPathChange);
  PressThenMark("", chbCreateDesktopIcon);
  PressThenMark("", edInstallPath);
  ASSERT_TRUE(Shell("xdotool windowfocus --sync " + Win() + " key shift+Tab"));
  EXPECT_TRUE(PumpUntil([] { return fltk::HasFocus(*view_, chbCreateDesktopIcon); }));
  EXPECT_TRUE(listener_.events.empty());
  view_->BringToFront(paStart);
}

TEST_F(FltkWindow, PercentLabelKeepsItsRightEdgeAtTheBarsEnd) {
  view_->BringToFront(paInstalling);
  int widths[3];
  int i = 0;
  for (const char16_t* t : {u"7%", u"42%", u"100%"}) {
    view_->SetText(lblProgressPercent, t);
    fltk::Bounds r = fltk::ControlBounds(*view_, lblProgressPercent);
    EXPECT_EQ(r.x + r.w, kProgressRightEdge) << text::ToUtf8(t);
    widths[i++] = r.w;
  }
  EXPECT_LT(widths[0], widths[1]);
  EXPECT_LT(widths[1], widths[2]);
  view_->SetText(lblProgressPercent, u"0%");
  view_->BringToFront(paStart);
}

TEST_F(FltkWindow, MarqueeAnimatesUntilSwitchedBack) {
  view_->BringToFront(paInstalling);
  view_->SetProgressStyle(ProgressBarDownloading, ProgressStyle::pbMarquee);
  double start = fltk::MarqueePhase(*view_);
  EXPECT_TRUE(PumpUntil([&] { return fltk::MarqueePhase(*view_) != start; }));
  view_->SetProgressStyle(ProgressBarDownloading, ProgressStyle::pbNormal);
  EXPECT_EQ(view_->GetProgressStyle(ProgressBarDownloading), ProgressStyle::pbNormal);
  view_->BringToFront(paStart);
}

// A hidden window of this thread that records what reaches it and, when a modal window is
// open at that moment, hands it to the test.
struct Probe {
  static constexpr std::uint32_t kMsg = plat::kMsgUser + 7;
  static inline int hits = 0;
  static inline bool during_modal = false;
  static inline std::function<void(Fl_Window*)> on_modal;
  static plat::LResult Proc(plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                            plat::LParam lp) {
    if (msg != kMsg) return plat::DefWindowProc(w, msg, wp, lp);
    ++hits;
    during_modal = Fl::modal() != nullptr;
    if (Fl::modal() && on_modal) on_modal(Fl::modal());
    return 0;
  }
  static plat::WindowHandle Create() {
    if (!plat::IsWindowClassRegistered("VexlorUiTestProbe"))
      plat::RegisterWindowClass("VexlorUiTestProbe", &Probe::Proc);
    hits = 0;
    during_modal = false;
    on_modal = nullptr;
    return plat::CreateHiddenWindow("VexlorUiTestProbe");
  }
};

TEST_F(FltkWindow, PostedMessagesAreDispatchedByFltksLoopAndInsideAModalBox) {
  plat::WindowHandle probe = Probe::Create();
  ASSERT_NE(probe, 0u);
  ASSERT_TRUE(plat::PostMessage(probe, Probe::kMsg, 0, 0));
  EXPECT_TRUE(PumpUntil([] { return Probe::hits == 1; }));  // by Fl::wait alone
  EXPECT_FALSE(Probe::during_modal);

  // The message arrives while the question is open; the user then answers with the keyboard.
  Probe::on_modal = [](Fl_Window*) {
    std::string id = std::to_string(fltk::ModalWindowId());
    Shell("import -window " + id + " " + (fs::path(ArtifactDir()) / "message-box.png").string());
    Shell("xdotool windowfocus --sync " + id + " key --delay 20 Tab Return");
  };
  ASSERT_TRUE(plat::PostMessage(probe, Probe::kMsg, 0, 0));
  MsgResult r = view_->MessageBox(
      {MsgOwner::moWindow,
       u"Setup is not complete.If you exit now, the program will not be installed.\r\nYou may "
       u"run Setup again at another time to complete the installation.\r\n\r\nExit Setup?",
       u"Vexlor Installer", MsgButtons::mbYesNo, MsgIcon::miQuestion});
  EXPECT_EQ(Probe::hits, 2);
  EXPECT_TRUE(Probe::during_modal);
  EXPECT_EQ(r, idNo);  // Tab from Yes to No, then Enter
  EXPECT_TRUE(fs::exists(fs::path(ArtifactDir()) / "message-box.png"));
  Probe::on_modal = nullptr;
  plat::DestroyWindow(probe);
}

TEST_F(FltkWindow, LicenceWindowShowsTheLoadedPageAtTheAskedSize) {
  plat::WindowHandle probe = Probe::Create();
  ASSERT_NE(probe, 0u);
  int w = 0, h = 0;
  std::string title;
  Probe::on_modal = [&](Fl_Window* dlg) {
    w = dlg->w();
    h = dlg->h();
    title = dlg->label() ? dlg->label() : "";
    Fl::flush();
    Shell("import -window " + std::to_string(fltk::ModalWindowId()) + " " +
          (fs::path(ArtifactDir()) / "licence-window.png").string());
    dlg->hide();
  };
  bool loaded = false;
  HtmlDialogRequest req;
  req.Url = u"http://web.invalid/license.php";
  req.Resizable = true;
  req.Height = view_->ClientHeight() - 50;
  req.Width = view_->ClientWidth() - 50;
  req.Load = [&](std::string& html) {
    loaded = true;
    html =
        "<html><head><title>End-User License Agreement</title></head><body>"
        "<h2>Vexlor End-User License Agreement</h2><img src=\"/etc/hostname\">"
        "<p>Test text of the agreement.</p></body></html>";
    // Closes the window once it shows the page.
    return plat::PostMessage(probe, Probe::kMsg, 0, 0);
  };
  view_->ShowHtmlDialog(req);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(Probe::hits, 1);
  EXPECT_EQ(w, 544);
  EXPECT_EQ(h, 374);
  EXPECT_EQ(title, "End-User License Agreement");
  Probe::on_modal = nullptr;
  plat::DestroyWindow(probe);
}

TEST_F(FltkWindow, ProcessMessagesDispatchesAndTakesTheQuitRequest) {
  bool ran = false;
  ASSERT_FALSE(app_->Terminated());
  static bool* flag = nullptr;
  flag = &ran;
  ASSERT_TRUE(plat::RegisterWindowClass("VexlorUiTestFlag",
                                        [](plat::WindowHandle, std::uint32_t, plat::WParam,
                                           plat::LParam) -> plat::LResult {
                                          *flag = true;
                                          return 0;
                                        }) ||
              plat::IsWindowClassRegistered("VexlorUiTestFlag"));
  plat::WindowHandle w = plat::CreateHiddenWindow("VexlorUiTestFlag");
  ASSERT_TRUE(plat::PostMessage(w, plat::kMsgUser, 0, 0));
  app_->ProcessMessages();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(app_->Terminated());
  plat::DestroyWindow(w);
}

// Last: closing ends the application.
TEST_F(FltkWindow, ZZClosingAsksThenEndsTheApplication) {
  const unsigned long id = fltk::WindowId(*view_);
  listener_.allow_close = false;
  EXPECT_FALSE(view_->Close());
  app_->ProcessMessages();
  EXPECT_FALSE(app_->Terminated());
  EXPECT_TRUE(Mapped());

  listener_.allow_close = true;
  EXPECT_TRUE(view_->Close());
  app_->ProcessMessages();
  EXPECT_TRUE(app_->Terminated());
  EXPECT_EQ(listener_.events, (std::vector<std::string>{"close query", "close query"}));
  EXPECT_TRUE(PumpUntil([&] { return !Mapped(id); }));
}

}  // namespace
}  // namespace ui

// Runs the tests on a virtual display of their own: the program starts itself again under
// xvfb-run, so it never draws on or moves the pointer of a user's screen.
int main(int argc, char** argv) {
  if (std::getenv("VEXLOR_UI_ON_XVFB") == nullptr) {
    std::string cmd = "VEXLOR_UI_ON_XVFB=1 xvfb-run -a -s '-screen 0 1024x768x24 -nolisten tcp' '" +
                      std::string(argv[0]) + "'";
    for (int i = 1; i < argc; ++i)
      cmd += " '" + std::string(argv[i]) + "'";
    int status = std::system(cmd.c_str());
    return status == 0 ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
