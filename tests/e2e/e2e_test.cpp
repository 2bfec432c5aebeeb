// End to end: the real installer program on a private X display, driven as a user would with
// xdotool, against the demo download server (or nginx), downloading and running the demo setup
// program, which installs the demo product.
//
// Every scenario is written once and runs once per target (targets.h): the Linux program (FLTK
// window) and the Windows program (native window) under Wine. On this kind of machine Wine can
// run only 64-bit programs (the kernel executes no 32-bit code), so the Windows target is the
// 64-bit check build of the same sources; the shipped program is the 32-bit build. The tests of
// a target are named .../Linux or .../Windows (with the case after it, e.g. Windows_not_found).
//
// Each test works in its own folder under the build tree (registry or Wine prefix, temporary
// folder, mutexes, desktop, program folder) and keeps a screenshot of every page and question it
// sees in artefacts/<test>/. Every wait has a limit, so a stuck window fails the test instead of
// hanging it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "tests/e2e/targets.h"
#include "tools/demo-driver/wizard.h"
#include "tools/demo-server/demo_server.h"
#include "ui/layout.h"

namespace {

namespace fs = std::filesystem;
using drive::kWizardTitle;
using drive::Page;
using e2e::TargetKind;
using ui::ControlId;

// Limits. Generous for a loaded machine; a healthy run takes a fraction of each.
// (The installer's window has a limit per target: Wine first starts its services.)
constexpr int kPageMs = 30000;      // a page comes to the front
constexpr int kQuestionMs = 10000;  // a message box appears or goes
constexpr int kExitMs = 30000;      // a program ends, or shows that it runs
constexpr int kServerMs = 15000;    // the download reaches a given point

const char kProductRunningTitle[] = "Vexlor";
const char kLicenseTitle[] = "Vexlor End-User License Agreement";

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (true) {
    std::size_t tab = line.find('\t', pos);
    out.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
    if (tab == std::string::npos) break;
    pos = tab + 1;
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // The Windows programs end their lines with CR LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// The part of every scenario that does not depend on its parameters: the machine of one test,
// the demo server, the display, the user's hands, and the checks. Which target a test drives is
// its parameter (see the fixtures below).
class E2EBase : public ::testing::Test {
 protected:
  virtual TargetKind Kind() const = 0;

  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string suite = ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
    std::string id = suite + "." + name;
    for (char& c : id)
      if (c == '/') c = '_';
    target_ = e2e::MakeTarget(Kind());
    std::string why;
    if (!target_->Available(&why)) {
#ifdef VEXLOR_E2E_WINDOWS_TARGET
      FAIL() << why;
#else
      GTEST_SKIP() << why;
#endif
    }
    work_ = fs::path(VEXLOR_E2E_WORK_DIR) / id;
    shots_ = fs::path(VEXLOR_E2E_ARTEFACT_DIR) / id;
    fs::remove_all(work_);
    fs::remove_all(shots_);
    for (const char* sub : {"desktop", "product"})
      fs::create_directories(work_ / sub);
    fs::create_directories(shots_);
    wizard_.SetShotsDir(shots_.string());
    install_folder_ = work_ / "Program Files" / "Norvane Vexlor";
    prepared_ = true;
    ASSERT_TRUE(target_->Prepare(work_, &why)) << why;

    ASSERT_TRUE(display_.Start((work_ / "xvfb.log").string(), &why)) << why;
    StartDemoServer();
  }

  void TearDown() override {
    if (!prepared_) return;
    if (installer_.Running()) Shot("at-teardown");
    installer_.Stop();
    StopProduct();
    if (product_.Running()) {
      std::ofstream(work_ / "product" / "vexlor.quit") << "quit\n";
      product_.WaitExit(5000);
    }
    product_.Stop();
    target_->Shutdown();
    if (server_) server_->Stop();
    nginx_.Stop();
    display_.Stop();
  }

  void StartDemoServer() {
    demo::ServerOptions options;
    options.Address = target_->Host();
    options.Port = target_->Port();
    options.SetupFile = target_->SetupFile();
    options.LicenseFile = VEXLOR_E2E_LICENSE;
    auto log = std::make_shared<std::ofstream>(work_ / "server.log", std::ios::app);
    options.Log = [log](const std::string& line) { *log << line << std::endl; };
    // The TLS listener too (a port of its own), for the scenarios sent on to https.
    options.TlsCertFile = (e2e::DemoTlsFolder() / "server.pem").string();
    options.TlsKeyFile = (e2e::DemoTlsFolder() / "server.key").string();
    server_ = std::make_unique<demo::DemoServer>(options);
    std::string why;
    ASSERT_TRUE(server_->Start(&why)) << why;
  }

  std::int64_t SetupSize() {
    return static_cast<std::int64_t>(fs::file_size(target_->SetupFile()));
  }

  // The environment of the programs the test starts.
  e2e::Env ProgramEnv() {
    e2e::Env env = {
        {"DISPLAY", display_.Name()},
        {"XAUTHORITY", ""},
        {"VEXLOR_DESKTOP_DIR", target_->ProgramPath(work_ / "desktop")},
        {"VEXLOR_DEMO_SETUP_LOG", target_->ProgramPath(work_ / "setup.log")},
        {"VEXLOR_DEMO_PRODUCT_SECONDS", "60"},
    };
    // The programs follow the system's proxy settings: none from the machine running the tests
    // (an empty value removes the variable); a test sets its own.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"})
      env[name] = "";
    for (const auto& [k, v] : extra_env_)
      env[k] = v;
    return target_->ProgramEnv(env);
  }

  // Starts the installer and waits for its Start page.
  void LaunchInstaller() {
    std::string why;
    ASSERT_TRUE(installer_.Start(target_->Command(target_->Installer()), ProgramEnv(),
                                 (work_ / "installer.log").string(), &why))
        << why;
    ASSERT_TRUE(wizard_.Find(target_->WindowMs())) << "the installer's window did not appear";
    auto g = display_.Geometry(wizard_.Window());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->w, ui::kWindow.ClientWidth);
    EXPECT_EQ(g->h, ui::kWindow.ClientHeight);
    ExpectPage(Page::pgStart, "start");
  }

  Page CurrentPage() {
    return wizard_.CurrentPage();
  }

  void ExpectPage(Page p, const std::string& shot) {
    bool ok = wizard_.WaitPage(p, kPageMs);
    Shot(shot);
    ASSERT_TRUE(ok) << "expected the " << drive::PageName(p) << " page, see " << shots_.string()
                    << " (now: " << drive::PageName(CurrentPage()) << ")";
  }

  void Shot(const std::string& what) {
    wizard_.Shot(what);
  }

  void Click(ControlId id) {
    ASSERT_TRUE(wizard_.Click(id));
  }
  void ClickCheckBox(ControlId id) {
    ASSERT_TRUE(wizard_.ClickCheckBox(id));
  }

  // Waits for a message box titled `title` (other than the wizard), screenshots it.
  void ExpectQuestion(const std::string& title, const std::string& shot) {
    ASSERT_TRUE(wizard_.WaitQuestion(title, kQuestionMs)) << "no window titled \"" << title << "\"";
    Shot(shot);
  }

  // Answers the open question with a key and waits until it is gone.
  void Answer(const std::string& key) {
    ASSERT_TRUE(wizard_.Answer(key, kQuestionMs)) << "the question stayed after \"" << key << "\"";
  }

  // The files in the temporary folder, but for the installer's log, which stays there.
  std::vector<fs::path> TempFiles() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(work_ / "tmp"))
      if (e.path().filename() != kLogName) out.push_back(e.path());
    return out;
  }
  static constexpr const char* kLogName = "Vexlor Installer.log";

  // The download file while it grows: one file with a random 8.3 name.
  fs::path DownloadFile() {
    auto files = TempFiles();
    if (files.size() != 1) return {};
    static const std::regex name("[0-9A-Za-z]{8}\\.[0-9A-Za-z]{3}");
    std::string n = files[0].filename().string();
    return std::regex_match(n, name) ? files[0] : fs::path();
  }

  std::vector<std::vector<std::string>> SetupRuns() {
    std::vector<std::vector<std::string>> runs;
    for (const std::string& line : Lines(ReadFile(work_ / "setup.log")))
      runs.push_back(SplitTabs(line));
    return runs;
  }

  // The product installed by the test quits when asked (it would within a minute anyway).
  void StopProduct() {
    fs::path running = install_folder_ / "vexlor.running";
    if (!fs::exists(running)) return;
    std::ofstream(install_folder_ / "vexlor.quit") << "quit\n";
    drive::WaitUntil([&] { return !fs::exists(running); }, 5000);
  }

  // Holds the setup's body at its middle until Release(), so the download can be seen and
  // interrupted while it runs. The first half comes in slices further apart than the progress
  // display's update interval, so the display follows it to the middle.
  std::int64_t HoldDownloadHalfway() {
    std::int64_t half = SetupSize() / 2;
    std::int64_t slice = half / 16 + 1;
    auto a = demo::ParseAnswer("hold=" + std::to_string(half) +
                               ",trickle=" + std::to_string(slice) + "/150");
    server_->SetAnswer("/download.php", *a);
    return half;
  }

  // Waits until the download stands at the hold point and shows its progress.
  void ExpectDownloadHeld(std::int64_t held_bytes) {
    ASSERT_TRUE(server_->WaitForHold(kServerMs)) << "the download did not start";
    fs::path file;
    ASSERT_TRUE(drive::WaitUntil(
        [&] {
          file = DownloadFile();
          std::error_code ec;
          return !file.empty() && static_cast<std::int64_t>(fs::file_size(file, ec)) == held_bytes;
        },
        kServerMs))
        << "the download file did not reach " << held_bytes << " bytes";
    EXPECT_EQ(CurrentPage(), Page::pgInstalling);
    // The bar stands at about half: filled at 40 % of its length, empty at 60 %.
    EXPECT_TRUE(drive::WaitUntil([&] { return wizard_.ProgressBetween(0.40, 0.60); }, 5000))
        << "the progress bar does not show the download halfway";
    Shot("installing-download-halfway");
  }

  bool TempFolderEmpties() {
    return drive::WaitUntil([&] { return TempFiles().empty(); }, 5000);
  }

  void ExpectNothingInstalled() {
    EXPECT_TRUE(TempFolderEmpties()) << "left in the temporary folder: " << TempFiles()[0];
    EXPECT_FALSE(fs::exists(install_folder_ / "vexlor.exe"));
  }

  void ExpectInstalled(bool desktop_icon) {
    auto runs = SetupRuns();
    ASSERT_EQ(runs.size(), 1u);
    const auto& run = runs[0];
    // The setup program ran from the temporary folder under its ".exe" name, with the switches
    // and the default folder (the registry's program folder and the product's folder), the
    // folder running to the end of the line.
    std::string temp = target_->ProgramPath(work_ / "tmp") + target_->Delimiter();
    static const std::regex name("[0-9A-Za-z]{8}\\.exe");
    EXPECT_TRUE(run[0].compare(0, temp.size(), temp) == 0 &&
                std::regex_match(run[0].substr(temp.size()), name))
        << run[0];
    std::vector<std::string> expected = {"/S"};
    if (desktop_icon) expected.push_back("/I");
    expected.push_back("/D=" + target_->ProgramPath(install_folder_) + target_->Delimiter());
    EXPECT_EQ(std::vector<std::string>(run.begin() + 1, run.end()), expected);

    EXPECT_TRUE(fs::exists(install_folder_ / "vexlor.exe"));
    EXPECT_EQ(fs::exists(work_ / "desktop" / target_->DesktopIconFile()), desktop_icon);
    EXPECT_EQ(target_->InstallerRecord(), target_->InstallerFileName());
    // The setup program is gone from the temporary folder.
    EXPECT_TRUE(TempFolderEmpties()) << "left in the temporary folder: " << TempFiles()[0];
  }

  void ExpectRequestLine(const std::string& line) {
    auto requests = server_->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].Raw.substr(0, requests[0].Raw.find("\r\n")), line);
  }

  void FinishAndExit(ControlId button) {
    Click(button);
    ASSERT_TRUE(display_.WaitWindowGone(wizard_.Window(), kExitMs)) << "the window stayed";
    auto code = installer_.WaitExit(kExitMs);
    ASSERT_TRUE(code.has_value()) << "the installer did not end";
    EXPECT_EQ(*code, 0);
  }

  // Closes the window as from its title bar: outside a download it closes without a question
  // and the program ends.
  void CloseWithoutQuestion() {
    ASSERT_TRUE(display_.RequestClose(wizard_.Window()));
    ASSERT_TRUE(display_.WaitWindowGone(wizard_.Window(), kExitMs)) << "the window stayed";
    EXPECT_TRUE(display_.Windows(kWizardTitle).empty()) << "a question was asked";
    auto code = installer_.WaitExit(kExitMs);
    ASSERT_TRUE(code.has_value()) << "the installer did not end";
    EXPECT_EQ(*code, 0);
  }

  std::unique_ptr<e2e::Target> target_;
  bool prepared_ = false;
  fs::path work_, shots_, install_folder_;
  std::map<std::string, std::string> extra_env_;
  drive::XDisplay display_;
  std::unique_ptr<demo::DemoServer> server_;
  drive::Child installer_, product_, nginx_;
  drive::Wizard wizard_{display_, ""};
};

// The scenarios that take no parameter of their own run once per target.
class InstallerE2E : public E2EBase, public ::testing::WithParamInterface<TargetKind> {
 protected:
  TargetKind Kind() const override { return GetParam(); }
};

const auto kTargets = ::testing::Values(TargetKind::tkLinux, TargetKind::tkWindows);

std::string TargetParamName(const ::testing::TestParamInfo<TargetKind>& info) {
  return e2e::TargetName(info.param);
}

// The whole road: install clicked, the download's progress shown, the setup run with the right
// command line, the product in its folder, the registry value written, the setup file gone, the
// Finish page; Finish with "Start Vexlor" checked starts the product.
TEST_P(InstallerE2E, InstallsAndStartsTheProduct) {
  extra_env_["VEXLOR_DEMO_SETUP_DELAY_MS"] = "1500";
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  server_->Release();

  // The setup program runs (it logs its start, then takes its time): the install look.
  ASSERT_TRUE(drive::WaitUntil([&] { return SetupRuns().size() == 1; }, kPageMs));
  EXPECT_EQ(CurrentPage(), Page::pgInstalling);
  Shot("installing-setup-running");

  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectRequestLine("GET /download.php HTTP/1.0");
  ExpectInstalled(true);
  EXPECT_FALSE(fs::exists(install_folder_ / "vexlor.log")) << "the product ran before Finish";

  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  ASSERT_TRUE(
      drive::WaitUntil([&] { return fs::exists(install_folder_ / "vexlor.running"); }, kExitMs))
      << "the product was not started";
  // The product started from the Finish page holds the running-product mutex.
  EXPECT_TRUE(target_->ProductRunning());
  StopProduct();
  EXPECT_FALSE(target_->ProductRunning());
}

// The user's choices reach the setup program: no desktop icon, and no product start at Finish.
TEST_P(InstallerE2E, HonoursUncheckedBoxes) {
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  ClickCheckBox(ControlId::chbCreateDesktopIcon);
  Shot("start-icon-unchecked");
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(false);

  ClickCheckBox(ControlId::chbStartVexlor);
  Shot("finish-start-unchecked");
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  // Nothing was started: give a wrongly started product a moment to show itself.
  drive::WaitUntil([] { return false; }, 1000);
  EXPECT_FALSE(fs::exists(install_folder_ / "vexlor.log"));
}

// Cancel during a slow download, answered Yes: the Error page, the partial file gone.
TEST_P(InstallerE2E, CancelDuringDownloadYes) {
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  Click(ControlId::btnCancel);
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-exit-setup"));
  ASSERT_NO_FATAL_FAILURE(Answer("y"));
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgError, "error"));
  ExpectNothingInstalled();
  EXPECT_TRUE(SetupRuns().empty());
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnCancelledFinish));
}

// ... answered No: the download goes on and completes.
TEST_P(InstallerE2E, CancelDuringDownloadNo) {
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  Click(ControlId::btnCancel);
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-exit-setup"));
  ASSERT_NO_FATAL_FAILURE(Answer("n"));
  EXPECT_EQ(CurrentPage(), Page::pgInstalling);
  server_->Release();
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

// Closing the window during the download asks first; No keeps downloading.
TEST_P(InstallerE2E, CloseDuringDownloadNoKeepsDownloading) {
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  ASSERT_TRUE(display_.RequestClose(wizard_.Window()));
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-cancel-installation"));
  ASSERT_NO_FATAL_FAILURE(Answer("n"));
  EXPECT_TRUE(display_.IsMapped(wizard_.Window()));
  server_->Release();
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

// ... Yes ends the program, with no partial file left.
TEST_P(InstallerE2E, CloseDuringDownloadYesEndsTheProgram) {
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  ASSERT_TRUE(display_.RequestClose(wizard_.Window()));
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-cancel-installation"));
  ASSERT_NO_FATAL_FAILURE(Answer("y"));
  auto code = installer_.WaitExit(kExitMs);
  ASSERT_TRUE(code.has_value()) << "the installer did not end";
  EXPECT_EQ(*code, 0);
  EXPECT_FALSE(display_.IsMapped(wizard_.Window()));
  ExpectNothingInstalled();
  EXPECT_TRUE(SetupRuns().empty());
}

// The licence link shows the licence page from the server in a modal window a little smaller
// than the wizard's client area, and the Start page is back when it is closed.
//
// Linux: the window is the program's own. Windows: the program calls the system's HTML dialog,
// which Wine here cannot show (it has no HTML engine); the test's stand-in for the dialog's
// library (html_dialog_standin.cpp) takes the call. What the test sees there is the program's
// own call (the page's address in the URL moniker, the options string, the argument) and the
// page read through that moniker from the server, shown as plain text in a window of the size
// the options ask for. What Wine cannot show is the page rendered as HTML by the system's engine.
TEST_P(InstallerE2E, LicenceLinkShowsThePage) {
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::lblLicenseAgreement);
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kLicenseTitle, "licence"));
  ASSERT_TRUE(server_->WaitForRequests(1, kServerMs));
  auto requests = server_->Requests();
  EXPECT_EQ(requests[0].Path, "/license.php");
  auto g = display_.Geometry(wizard_.Question());
  ASSERT_TRUE(g);
  const int height = ui::kWindow.ClientHeight - 50, width = ui::kWindow.ClientWidth - 50;
  EXPECT_EQ(g->w, width);
  EXPECT_EQ(g->h, height);
  ASSERT_TRUE(wizard_.CloseQuestion(kQuestionMs));
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgStart, "start-after-licence"));
  EXPECT_TRUE(TempFiles().empty());
  if (auto record = target_->HtmlDialogRecord()) {
    std::string address = "http://" + target_->Host() + ":" + std::to_string(target_->Port());
    EXPECT_EQ(*record,
              "parent=0\n"
              "page=" +
                  address +
                  "/license.php\n"
                  "argument=8 ''\n"  // VT_BSTR, empty
                  "options=resizable:yes;dialogHeight:" +
                  std::to_string(height) + " px;dialogWidth:" + std::to_string(width) +
                  " px;\n"
                  "result_type=0\n"  // VT_EMPTY
                  "bytes=" +
                  std::to_string(fs::file_size(VEXLOR_E2E_LICENSE)) +
                  "\n"
                  "title=" +
                  kLicenseTitle + "\n");
  }
  ASSERT_NO_FATAL_FAILURE(CloseWithoutQuestion());
}

// As a vendor's download server does, the http address sends the download on to https: the
// setup program comes over TLS (the certificate checked against the test root the target's
// programs trust), is checked and runs.
TEST_P(InstallerE2E, InstallsThroughARelocationToHttps) {
  server_->SetAnswer("/download.php", *demo::ParseAnswer("tlsredirect=/download.php"));
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  auto requests = server_->Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_FALSE(requests[0].Tls);
  EXPECT_EQ(requests[0].Path, "/download.php");
  EXPECT_TRUE(requests.back().Tls) << "the setup program did not come over TLS";
  EXPECT_EQ(requests.back().Path, "/download.php");
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

// The vendor's kind of server: nginx with the generated site delivers the setup program.
TEST_P(InstallerE2E, InstallsFromNginx) {
  server_->Stop();
  server_.reset();
  fs::path site = work_ / "nginx";
  const std::string host = target_->Host();
  const int port = target_->Port();
  std::string why;
  ASSERT_TRUE(demo::WriteNginxSite(site.string(), host, port, target_->SetupFile(),
                                   VEXLOR_E2E_LICENSE, &why))
      << why;
  ASSERT_TRUE(nginx_.Start({VEXLOR_E2E_NGINX, "-p", site.string(), "-c",
                            (site / "nginx.conf").string(), "-e", (site / "error.log").string()},
                           {}, (work_ / "nginx.out").string(), &why))
      << why;
  ASSERT_TRUE(drive::WaitUntil([&] { return drive::CanConnect(host, port); }, kServerMs))
      << "nginx did not come up: " << ReadFile(site / "error.log");

  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  EXPECT_NE(ReadFile(site / "access.log").find("\"GET /download.php HTTP/1.0\" 200"),
            std::string::npos);
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

// The download is cut once at half: the installer asks for the rest of that version, and the
// setup program it runs (and the product it installs) is whole.
TEST_P(InstallerE2E, ResumesADownloadCutAtHalf) {
  const std::int64_t half = SetupSize() / 2;
  server_->SetAnswer("/download.php",
                     *demo::ParseAnswer("cut=" + std::to_string(half) + ",times=1"));
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  std::vector<demo::Request> downloads;
  for (const demo::Request& r : server_->Requests())
    if (r.Path == "/download.php") downloads.push_back(r);
  ASSERT_EQ(downloads.size(), 2u);
  EXPECT_NE(downloads[1].Raw.find("\r\nRange: bytes=" + std::to_string(half) + "-\r\n"),
            std::string::npos)
      << downloads[1].Raw;
  EXPECT_NE(downloads[1].Raw.find("\r\nIf-Range: \""), std::string::npos) << downloads[1].Raw;
  // Each byte of the setup program crossed the network once.
  EXPECT_EQ(server_->BodyBytesSent(), SetupSize());
  // The log for support tells of both attempts and of the end.
  const std::string log = ReadFile(work_ / "tmp" / kLogName);
  EXPECT_NE(log.find(" error 10 (answer cut short); trying again in 100 ms\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("attempt 2: GET "), std::string::npos) << log;
  EXPECT_NE(log.find(" page: Finish\n"), std::string::npos) << log;
  // Every digest was checked: the whole document by three (both of the 200, the 206's Repr-Digest),
  // the 206's part by its Content-Digest.
  EXPECT_NE(log.find("its sha-256 matches 4 digests the server sent"), std::string::npos) << log;
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

// The server's digest names other bytes than it sends: the Error page, the file gone, nothing
// run, one request only (a failed check is not tried again), and the log says why. A resumed
// download with the right digests installs (ResumesADownloadCutAtHalf: the demo server sends
// Repr-Digest and Content-Digest on every answer).
TEST_P(InstallerE2E, AWrongDigestRunsNothing) {
  server_->SetAnswer("/download.php", *demo::ParseAnswer("wrongdigest"));
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgError, "error"));
  ExpectNothingInstalled();
  EXPECT_TRUE(SetupRuns().empty());
  std::size_t downloads = 0;
  for (const demo::Request& r : server_->Requests())
    if (r.Path == "/download.php") ++downloads;
  EXPECT_EQ(downloads, 1u);
  const std::string log = ReadFile(work_ / "tmp" / kLogName);
  EXPECT_NE(log.find(" error 19 (digest check failed), the document's sha-256 does not match the "
                     "answer's Repr-Digest\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" page: Error\n"), std::string::npos) << log;
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnCancelledFinish));
}

INSTANTIATE_TEST_SUITE_P(E2E, InstallerE2E, kTargets, TargetParamName);

class ProductRunningTest : public InstallerE2E {
 protected:
  // Runs the demo product from a folder of its own; it holds the mutex until told to quit.
  void StartProduct() {
    fs::path copy = work_ / "product" / "vexlor.exe";
    fs::copy_file(target_->Product(), copy, fs::copy_options::overwrite_existing);
    std::string why;
    ASSERT_TRUE(product_.Start(target_->Command(copy.string()), ProgramEnv(),
                               (work_ / "product.log").string(), &why))
        << why;
    ASSERT_TRUE(drive::WaitUntil([&] { return fs::exists(work_ / "product" / "vexlor.running"); },
                                 kExitMs));
    ASSERT_TRUE(target_->ProductRunning());
  }

  void QuitProduct() {
    std::ofstream(work_ / "product" / "vexlor.quit") << "quit\n";
    ASSERT_TRUE(product_.WaitExit(kExitMs).has_value());
    ASSERT_FALSE(target_->ProductRunning());
  }
};

// The Retry question while the product runs, Retry while it still runs (asked again), then
// Retry after it has quit: the installation goes on.
TEST_P(ProductRunningTest, RetryAfterTheProductQuits) {
  ASSERT_NO_FATAL_FAILURE(StartProduct());
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kProductRunningTitle, "question-product-running"));
  ASSERT_NO_FATAL_FAILURE(Answer("r"));
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kProductRunningTitle, "question-asked-again"));
  EXPECT_TRUE(server_->Requests().empty());
  EXPECT_TRUE(TempFiles().empty());
  ASSERT_NO_FATAL_FAILURE(QuitProduct());
  ASSERT_NO_FATAL_FAILURE(Answer("r"));
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

// Cancel leaves the Start page in front and creates no file.
TEST_P(ProductRunningTest, CancelKeepsTheStartPage) {
  ASSERT_NO_FATAL_FAILURE(StartProduct());
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kProductRunningTitle, "question-product-running"));
  ASSERT_NO_FATAL_FAILURE(Answer("Escape"));
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgStart, "start-after-cancel"));
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_TRUE(server_->Requests().empty());
  ASSERT_NO_FATAL_FAILURE(QuitProduct());
  ASSERT_NO_FATAL_FAILURE(CloseWithoutQuestion());
}

INSTANTIATE_TEST_SUITE_P(E2E, ProductRunningTest, kTargets, TargetParamName);

// A case of a table, run once per target: named <target>_<case>.
template <typename Case>
class TargetCaseTest : public E2EBase,
                       public ::testing::WithParamInterface<std::tuple<TargetKind, Case>> {
 protected:
  TargetKind Kind() const override { return std::get<0>(this->GetParam()); }
  const Case& TheCase() const { return std::get<1>(this->GetParam()); }
};

template <typename Case>
std::string TargetCaseName(const ::testing::TestParamInfo<std::tuple<TargetKind, Case>>& info) {
  return std::string(e2e::TargetName(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
}

// Answers that still deliver the setup program: every one ends on the Finish page.
struct Delivery {
  const char* name;
  const char* answer;  // of /download.php
  const char* extra_path;
  const char* extra_answer;
};

using DeliveryTest = TargetCaseTest<Delivery>;

TEST_P(DeliveryTest, EndsOnTheFinishPage) {
  const Delivery& d = TheCase();
  server_->SetAnswer("/download.php", *demo::ParseAnswer(d.answer));
  if (d.extra_path) server_->SetAnswer(d.extra_path, *demo::ParseAnswer(d.extra_answer));
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
  ExpectInstalled(true);
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
  StopProduct();
}

INSTANTIATE_TEST_SUITE_P(
    E2E, DeliveryTest,
    ::testing::Combine(
        kTargets, ::testing::Values(Delivery{"chunked", "chunked", nullptr, nullptr},
                                    Delivery{"no_length", "nolength", nullptr, nullptr},
                                    Delivery{"trickled", "trickle=262144/20", nullptr, nullptr},
                                    Delivery{"relocated", "redirect=/mirror/setup.exe",
                                             "/mirror/setup.exe", "setup"})),
    TargetCaseName<Delivery>);

// Answers and setups that fail: the Error page, and nothing left behind.
struct Failure {
  const char* name;
  const char* answer;           // of /download.php
  const char* setup_exit_code;  // the setup's exit code, or null
};

using FailureTest = TargetCaseTest<Failure>;

TEST_P(FailureTest, EndsOnTheErrorPage) {
  const Failure& f = TheCase();
  std::string answer = f.answer;
  server_->SetAnswer("/download.php", *demo::ParseAnswer(answer));
  if (f.setup_exit_code) extra_env_["VEXLOR_DEMO_SETUP_EXIT_CODE"] = f.setup_exit_code;
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgError, "error"));
  ExpectNothingInstalled();
  EXPECT_EQ(SetupRuns().size(), f.setup_exit_code ? 1u : 0u);
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnCancelledFinish));
}

INSTANTIATE_TEST_SUITE_P(
    E2E, FailureTest,
    ::testing::Combine(
        kTargets, ::testing::Values(Failure{"not_found", "status=404", nullptr},
                                    Failure{"cut_before_any_byte", "cut=0", nullptr},
                                    Failure{"relocated_to_nothing", "redirect=/gone.php", nullptr},
                                    Failure{"closed_without_answer", "close", nullptr},
                                    Failure{"setup_fails", "setup", "1"})),
    TargetCaseName<Failure>);

// The Windows program runs only a setup program signed by the vendor, whole. A setup program
// changed after signing, or signed under a root the machine does not trust (Wine's WinVerifyTrust
// alone would accept that one), ends on the Error page: the file is deleted, nothing runs, and
// the log for support says why. Every other Windows case installs the setup signed by the
// vendor's test certificate, whose root only that test's Wine prefix trusts.
struct BadSignature {
  const char* name;
  const char* variant;  // tools/test-signing/sign-setups.sh
  const char* log_line;
};

class SignatureTest : public E2EBase, public ::testing::WithParamInterface<BadSignature> {
 protected:
  TargetKind Kind() const override { return TargetKind::tkWindows; }
};

TEST_P(SignatureTest, NothingRunsAndTheFileIsGone) {
  const BadSignature& b = GetParam();
  std::optional<std::string> file = target_->SetupVariant(b.variant);
  ASSERT_TRUE(file.has_value());
  server_->SetAnswer("/download.php", *demo::ParseAnswer("file=" + *file));
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgError, "error"));
  ExpectNothingInstalled();
  EXPECT_TRUE(SetupRuns().empty());
  EXPECT_EQ(target_->InstallerRecord(), "<no key>");
  const std::string log = ReadFile(work_ / "tmp" / kLogName);
  EXPECT_NE(log.find(std::string(" signature: ") + b.log_line), std::string::npos) << log;
  EXPECT_EQ(log.find(" setup: "), std::string::npos) << log;
  ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnCancelledFinish));
}

INSTANTIATE_TEST_SUITE_P(
    E2E, SignatureTest,
    ::testing::Values(
        BadSignature{"tampered", "tampered.exe",
                     "the file was changed after it was signed (bad digest) (0x80096010)"},
        BadSignature{"untrusted_root", "untrusted-root.exe",
                     // The chain ends at the signer (0x800B010A: the signature does not carry
                     // the root) or at the root (0x800B0109).
                     "the signer's certificate does not chain to a trusted root (0x800B01"}),
    [](const auto& info) { return std::string("Windows_") + info.param.name; });

// The installer follows the system's proxy settings, on each target as its system keeps them:
// Linux the environment as curl reads it, Windows the user's Internet settings in the test's Wine
// prefix (the binary DefaultConnectionSettings that WinHTTP reads). The proxy is a real
// tinyproxy on the demo server's address and port + 1. A bypassed server is reached directly, and
// a setting that cannot be used ends on the Error page with nothing sent, never directly. A
// download sent on to https goes through the same proxy, in a tunnel (CONNECT).
struct ProxySetting {
  const char* name;
  enum Way { kThroughTheProxy, kThroughTheProxyToHttps, kBypassed, kUnusable } way;
};

using SystemProxyTest = TargetCaseTest<ProxySetting>;

TEST_P(SystemProxyTest, TheInstallerGoesTheWayTheSettingSays) {
  const ProxySetting& c = TheCase();
  const std::string host = target_->Host();
  const std::string port = std::to_string(target_->Port() + 1);
  const fs::path dir = work_ / "tinyproxy";
  fs::create_directories(dir);
  std::ofstream(dir / "tinyproxy.conf") << "Port " << port << "\nListen " << host
                                        << "\nAllow 127.0.0.0/8\nTimeout 60\nMaxClients 10\n"
                                        << "DisableViaHeader Yes\nLogLevel Info\nLogFile \""
                                        << (dir / "tinyproxy.log").string() << "\"\n";
  drive::Child proxy;
  std::string why;
  ASSERT_TRUE(proxy.Start({VEXLOR_E2E_TINYPROXY, "-d", "-c", (dir / "tinyproxy.conf").string()}, {},
                          (dir / "tinyproxy.out").string(), &why))
      << why;
  ASSERT_TRUE(drive::WaitUntil([&] { return drive::CanConnect(host, std::stoi(port)); }, kServerMs))
      << "tinyproxy did not come up: " << ReadFile(dir / "tinyproxy.out");

  const std::string proxy_port = c.way == ProxySetting::kUnusable ? "99999" : port;
  std::string source;
  if (Kind() == TargetKind::tkLinux) {
    source = "http_proxy";
    extra_env_["http_proxy"] = "http://" + host + ":" + proxy_port;
    if (c.way == ProxySetting::kBypassed) extra_env_["no_proxy"] = host;
  } else {
    source = "Internet settings";
    // Loopback addresses go directly unless the bypass list says "<-loopback>".
    std::string bypass = "<-loopback>";
    if (c.way == ProxySetting::kBypassed) bypass += ";" + host;
    const std::string list = host + ":" + proxy_port;
    // The layout's version, a change counter, the flags (direct allowed, manual proxy), the
    // proxy list, the bypass list, no configuration script.
    std::string value;
    auto dword = [&value](std::uint32_t v) {
      for (int i = 0; i < 4; ++i)
        value.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    dword(0x46);
    dword(1);
    dword(3);
    dword(static_cast<std::uint32_t>(list.size()));
    value += list;
    dword(static_cast<std::uint32_t>(bypass.size()));
    value += bypass;
    dword(0);
    value.append(32, '\0');
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : value) {
      hex += kHex[b >> 4];
      hex += kHex[b & 15];
    }
    std::vector<std::string> reg = target_->Command(
        "reg", {"add",
                "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\"
                "Connections",
                "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", hex, "/f"});
    // The output to a file: Wine's services, which reg may start, keep a pipe open.
    reg.insert(reg.begin(), {"/bin/sh", "-c", "out=$1; shift; exec \"$@\" >>\"$out\" 2>&1", "sh",
                             (work_ / "reg-add.txt").string()});
    ASSERT_EQ(drive::RunTool(reg, 60000, nullptr, ProgramEnv()), 0)
        << ReadFile(work_ / "reg-add.txt");
  }

  if (c.way == ProxySetting::kThroughTheProxyToHttps)
    server_->SetAnswer("/download.php", *demo::ParseAnswer("tlsredirect=/download.php"));
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  const bool installs = c.way != ProxySetting::kUnusable;
  ASSERT_NO_FATAL_FAILURE(
      ExpectPage(installs ? Page::pgFinish : Page::pgError, installs ? "finish" : "error"));
  const std::string log = ReadFile(work_ / "tmp" / kLogName);
  const std::string proxied = ReadFile(dir / "tinyproxy.log");
  const std::string request =
      "GET http://" + host + ":" + std::to_string(target_->Port()) + "/download.php HTTP/1.0";
  std::size_t downloads = 0;
  for (const demo::Request& r : server_->Requests())
    if (r.Path == "/download.php") ++downloads;
  switch (c.way) {
    case ProxySetting::kThroughTheProxy:
      ExpectInstalled(true);
      EXPECT_NE(proxied.find(request), std::string::npos) << proxied;
      EXPECT_EQ(downloads, 1u);
      EXPECT_NE(log.find(" proxy: HTTP proxy " + host + ":" + port + " (" + source + ")\n"),
                std::string::npos)
          << log;
      break;
    case ProxySetting::kThroughTheProxyToHttps: {
      ExpectInstalled(true);
      EXPECT_NE(proxied.find(request), std::string::npos) << proxied;
      const std::string tunnel = "CONNECT localhost:" + std::to_string(server_->TlsPort());
      EXPECT_NE(proxied.find(tunnel), std::string::npos) << proxied;
      ASSERT_EQ(downloads, 2u);
      EXPECT_TRUE(server_->Requests().back().Tls);
      break;
    }
    case ProxySetting::kBypassed:
      ExpectInstalled(true);
      EXPECT_EQ(proxied.find("GET http://"), std::string::npos) << proxied;
      EXPECT_EQ(downloads, 1u);
      EXPECT_NE(log.find(" proxy: direct ("), std::string::npos) << log;
      break;
    case ProxySetting::kUnusable:
      ExpectNothingInstalled();
      EXPECT_EQ(proxied.find("GET http://"), std::string::npos) << proxied;
      EXPECT_EQ(downloads, 0u);
      EXPECT_NE(log.find(" proxy: unusable proxy setting: the proxy address is unusable: the port "
                         "is not a number from 1 to 65535 (" +
                         source + ")\n"),
                std::string::npos)
          << log;
      break;
  }
  ASSERT_NO_FATAL_FAILURE(
      FinishAndExit(installs ? ControlId::btnInstalledFinish : ControlId::btnCancelledFinish));
  StopProduct();
  proxy.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    E2E, SystemProxyTest,
    ::testing::Combine(kTargets,
                       ::testing::Values(ProxySetting{"through_the_proxy",
                                                      ProxySetting::kThroughTheProxy},
                                         ProxySetting{"through_the_proxy_to_https",
                                                      ProxySetting::kThroughTheProxyToHttps},
                                         ProxySetting{"bypassed", ProxySetting::kBypassed},
                                         ProxySetting{"unusable", ProxySetting::kUnusable})),
    TargetCaseName<ProxySetting>);

// The download ends while a question about it is open: nothing runs behind the question, and
// the answer decides. "Yes" leaves nothing behind (the Error page, or the program ends, as the
// question said); "No" goes on with the installation as if the download had just ended.
struct HeldEnd {
  const char* name;
  bool close_question;  // the close question instead of Cancel's
  const char* key;
  bool installs;
};

using HeldEndTest = TargetCaseTest<HeldEnd>;

TEST_P(HeldEndTest, TheAnswerDecides) {
  const HeldEnd& h = TheCase();
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  fs::path file = DownloadFile();
  if (h.close_question) {
    ASSERT_TRUE(display_.RequestClose(wizard_.Window()));
    ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-cancel-installation"));
  } else {
    Click(ControlId::btnCancel);
    ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-exit-setup"));
  }
  server_->Release();
  // Complete: at its full size, or already renamed for its run.
  fs::path exe = fs::path(file).replace_extension(".exe");
  ASSERT_TRUE(drive::WaitUntil(
      [&] {
        std::error_code ec;
        return static_cast<std::int64_t>(fs::file_size(file, ec)) == SetupSize() ||
               fs::exists(exe) || !SetupRuns().empty();
      },
      kServerMs))
      << "the download did not complete behind the question";
  // Give a setup that would start behind the question the time to show itself.
  EXPECT_FALSE(drive::WaitUntil([&] { return !SetupRuns().empty(); }, 1500))
      << "the setup program ran behind the open question";
  Shot("question-download-complete");
  ASSERT_NO_FATAL_FAILURE(Answer(h.key));
  if (h.installs) {
    ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgFinish, "finish"));
    ExpectInstalled(true);
    ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnInstalledFinish));
    StopProduct();
    return;
  }
  if (h.close_question) {
    auto code = installer_.WaitExit(kExitMs);
    ASSERT_TRUE(code.has_value()) << "the installer did not end";
    EXPECT_EQ(*code, 0);
  } else {
    ASSERT_NO_FATAL_FAILURE(ExpectPage(Page::pgError, "error"));
  }
  ExpectNothingInstalled();
  EXPECT_TRUE(SetupRuns().empty());
  if (!h.close_question) {
    ASSERT_NO_FATAL_FAILURE(FinishAndExit(ControlId::btnCancelledFinish));
  }
}

INSTANTIATE_TEST_SUITE_P(
    E2E, HeldEndTest,
    ::testing::Combine(kTargets, ::testing::Values(HeldEnd{"cancel_yes", false, "y", false},
                                                   HeldEnd{"cancel_no", false, "n", true},
                                                   HeldEnd{"close_yes", true, "y", false},
                                                   HeldEnd{"close_no", true, "n", true})),
    TargetCaseName<HeldEnd>);

// A termination signal in the middle of the download ends the program as closing the window
// with "Yes" does, without a question: the partial download is removed. The program ends by
// the signal, so its parent sees why.
struct Termination {
  const char* name;
  int signal;
  bool question_open;  // Cancel's question is open when the signal comes
};

// Signals are the Linux program's own: these cases run on the Linux target only.
class TerminationTest : public E2EBase, public ::testing::WithParamInterface<Termination> {
 protected:
  TargetKind Kind() const override { return TargetKind::tkLinux; }
};

TEST_P(TerminationTest, RemovesThePartialDownload) {
  const Termination& t = GetParam();
  std::int64_t half = HoldDownloadHalfway();
  ASSERT_NO_FATAL_FAILURE(LaunchInstaller());
  Click(ControlId::imgBtnInstall);
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadHeld(half));
  if (t.question_open) {
    Click(ControlId::btnCancel);
    ASSERT_NO_FATAL_FAILURE(ExpectQuestion(kWizardTitle, "question-exit-setup"));
  }
  ASSERT_EQ(kill(installer_.Pid(), t.signal), 0);
  auto code = installer_.WaitExit(kExitMs);
  ASSERT_TRUE(code.has_value()) << "the installer did not end";
  EXPECT_EQ(*code, 128 + t.signal);
  ExpectNothingInstalled();
  EXPECT_TRUE(SetupRuns().empty());
}

INSTANTIATE_TEST_SUITE_P(E2E, TerminationTest,
                         ::testing::Values(Termination{"sigterm", SIGTERM, false},
                                           Termination{"sigint", SIGINT, false},
                                           Termination{"sighup", SIGHUP, false},
                                           Termination{"sigterm_during_question", SIGTERM, true}),
                         [](const auto& info) { return std::string("Linux_") + info.param.name; });

}  // namespace
