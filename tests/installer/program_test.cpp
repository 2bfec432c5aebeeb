// vexlor-installer.exe as a file and as a running program under Wine, and the controller on the
// native window.
//
// The file: a GUI program for the target's processor whose manifest, version resource and icon
// are read back with the system's own resource functions, and whose imports name neither a
// socket library (loaded at run time) nor a runtime DLL (the runtime is static).
// The running program: started as a user would, it shows its window without any prompt (its
// manifest asks for administrator rights, which Wine grants silently), and ends when its window
// is closed or the session ends.
// The controller on the native window: the licence link and the Change button, clicked with the
// pointer, reach the HTML dialog's library and the folder browser with what they should.
#include "platform/win32/win.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "http/httpcli.h"
#include "installer/addresses.h"
#include "installer/install_folder.h"
#include "installer/main_form.h"
#include "platform/messages.h"
#include "tests/installer/installer_test_support.h"
#include "tests/support/fake_mshtml.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_thread.h"
#include "ui/layout.h"
#include "ui/toolkit.h"
#include "ui/win32/win32_view.h"

namespace {

using ui::ControlId;

constexpr int kDeadlineMs = 30000;

std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

const std::wstring kProgram = Wide(VEXLOR_INSTALLER_EXE);

// The text of a window, also of another process: GetWindowText reads only the title the
// system keeps for a window of another process, WM_GETTEXT asks the control itself.
std::wstring WindowText(HWND w) {
  wchar_t buf[1024] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000,
                      &ignored);
  return buf;
}

// --- The file --------------------------------------------------------------------------------

// The resource types as wide names (the system headers give them narrow without UNICODE).
const LPCWSTR kManifestType = MAKEINTRESOURCEW(24);
const LPCWSTR kIconGroupType = MAKEINTRESOURCEW(14);
const LPCWSTR kIconType = MAKEINTRESOURCEW(3);

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(kProgram.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << VEXLOR_INSTALLER_EXE << " " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  std::string Resource(LPCWSTR type, int id) const {
    HRSRC r = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
    if (!r) return {};
    HGLOBAL g = LoadResource(module_, r);
    auto* p = static_cast<const char*>(LockResource(g));
    return std::string(p, p + SizeofResource(module_, r));
  }

  HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, ManifestAsksForAdministratorRightsCommonControlsSixAndDpiAwareness) {
  std::string manifest = Resource(kManifestType, 1);
  ASSERT_FALSE(manifest.empty());
  for (
      const char* part : {
          R"(<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>)",
          R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
          R"(publicKeyToken="6595b64144ccf1df")",
          R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>)",
          // Windows Vista, 7, 8, 8.1, 10 and 11
          "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
          "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
          "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
          "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
      }) {
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  }
}

TEST_F(ProgramResources, VersionResourceNamesTheProductInUsEnglish) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(kProgram.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(kProgram.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &len));
  ASSERT_EQ(len, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1252);
  struct Field {
    const wchar_t* name;
    const wchar_t* value;
  };
  for (const Field& f :
       {Field{L"CompanyName", L"Norvane"}, Field{L"FileDescription", L"Vexlor Installer"},
        Field{L"ProductName", L"Vexlor Installer"}, Field{L"FileVersion", L"1.0.0.0"},
        Field{L"ProductVersion", L"1.0.0.0"}}) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904E4\\") + f.name;
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &len))
        << Wide("") << path.size();
    EXPECT_STREQ(value, f.value);
  }
}

TEST_F(ProgramResources, IconHoldsSixtyFourFortyEightThirtyTwoAndSixteenPixelsAtThirtyTwoBits) {
  // The icon group: a header of three words, then 14-byte entries naming each image's id.
  std::string group = Resource(kIconGroupType, 1);
  ASSERT_GE(group.size(), 6u);
  auto u16 = [&](const std::string& s, std::size_t o) {
    return static_cast<unsigned>(static_cast<unsigned char>(s[o]) |
                                 (static_cast<unsigned char>(s[o + 1]) << 8));
  };
  ASSERT_EQ(u16(group, 2), 1u);
  ASSERT_EQ(u16(group, 4), 4u);
  ASSERT_GE(group.size(), 6u + 4 * 14);
  std::vector<unsigned> sizes;
  for (int i = 0; i < 4; ++i) {
    std::size_t e = 6 + 14 * i;
    unsigned size = static_cast<unsigned char>(group[e]);
    sizes.push_back(size == 0 ? 256 : size);
    EXPECT_EQ(u16(group, e + 6), 32u) << size;
    // The image itself: PNG-compressed, of that size, 8 bits per channel, RGBA (32 bits per
    // pixel); and the system makes an icon of that size from it.
    std::string image = Resource(kIconType, static_cast<int>(u16(group, e + 12)));
    ASSERT_GE(image.size(), 33u) << size;
    auto be32 = [&](std::size_t o) {
      return static_cast<unsigned>(static_cast<unsigned char>(image[o]) << 24 |
                                   static_cast<unsigned char>(image[o + 1]) << 16 |
                                   static_cast<unsigned char>(image[o + 2]) << 8 |
                                   static_cast<unsigned char>(image[o + 3]));
    };
    EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << size;
    EXPECT_EQ(image.substr(12, 4), "IHDR") << size;
    EXPECT_EQ(be32(16), size);
    EXPECT_EQ(be32(20), size);
    EXPECT_EQ(image[24], 8) << size;  // bits per channel
    EXPECT_EQ(image[25], 6) << size;  // colour type: RGBA
    HICON icon = CreateIconFromResourceEx(
        reinterpret_cast<BYTE*>(image.data()), static_cast<DWORD>(image.size()), TRUE, 0x00030000,
        static_cast<int>(size), static_cast<int>(size), LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info)) << size;
    BITMAP bitmap{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, static_cast<LONG>(size));
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  EXPECT_EQ(sizes, (std::vector<unsigned>{64, 48, 32, 16}));
}

// The headers and the import table, read from the file.
struct PeFacts {
  WORD machine = 0;
  WORD subsystem = 0;
  std::vector<std::string> imports;
};

PeFacts ReadPe(const std::wstring& file) {
  PeFacts facts;
  std::ifstream in(file.c_str(), std::ios::binary);
  std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u16 = [&](std::size_t o) -> std::uint32_t {
    return o + 2 <= d.size()
               ? static_cast<unsigned char>(d[o]) | (static_cast<unsigned char>(d[o + 1]) << 8)
               : 0;
  };
  auto u32 = [&](std::size_t o) { return u16(o) | (u16(o + 2) << 16); };
  std::size_t pe = u32(0x3C);
  if (d.size() < pe + 24 || d.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return facts;
  facts.machine = static_cast<WORD>(u16(pe + 4));
  std::size_t sections = u16(pe + 6), optional = pe + 24, optional_size = u16(pe + 20);
  bool pe32plus = u16(optional) == 0x20B;
  facts.subsystem = static_cast<WORD>(u16(optional + 68));
  std::size_t directories = optional + (pe32plus ? 112 : 96);
  std::uint32_t import_rva = u32(directories + 8);
  std::size_t table = optional + optional_size;
  auto to_offset = [&](std::uint32_t rva) -> std::size_t {
    for (std::size_t i = 0; i < sections; ++i) {
      std::size_t s = table + 40 * i;
      std::uint32_t va = u32(s + 12), size = u32(s + 8), raw = u32(s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    return 0;
  };
  for (std::size_t entry = to_offset(import_rva); entry && entry + 20 <= d.size(); entry += 20) {
    std::uint32_t name = u32(entry + 12);
    if (name == 0) break;
    std::size_t at = to_offset(name);
    std::string dll;
    while (at < d.size() && d[at] != '\0')
      dll.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(d[at++]))));
    facts.imports.push_back(dll);
  }
  return facts;
}

TEST(ProgramFile, IsAGuiProgramForThisProcessorWithAStaticRuntimeAndNoSocketLibraryLinked) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  PeFacts own = ReadPe(self);
  PeFacts program = ReadPe(kProgram);
  EXPECT_EQ(program.machine, own.machine);
  EXPECT_EQ(program.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  ASSERT_FALSE(program.imports.empty());
  for (const std::string& dll : program.imports) {
    EXPECT_EQ(dll.find("ws2_32"), std::string::npos);
    EXPECT_EQ(dll.find("wsock32"), std::string::npos);
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libwinpthread"), std::string::npos) << dll;
  }
}

// --- The running program ---------------------------------------------------------------------

BOOL CALLBACK CollectWindow(HWND w, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(w);
  return TRUE;
}

// The visible top-level windows of a process.
std::vector<HWND> WindowsOf(DWORD pid) {
  std::vector<HWND> all, found;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
  for (HWND w : all) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == pid && IsWindowVisible(w)) found.push_back(w);
  }
  return found;
}

bool WaitFor(const std::function<bool()>& cond, int deadline_ms = kDeadlineMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(50);
  }
  return true;
}

class RunningProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring line = L"\"" + kProgram + L"\"";
    ASSERT_TRUE(CreateProcessW(kProgram.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi_))
        << GetLastError();
    ASSERT_TRUE(WaitFor([&] {
      for (HWND w : WindowsOf(pi_.dwProcessId)) {
        wchar_t cls[64] = {};
        GetClassNameW(w, cls, 64);
        if (std::wstring(cls) == ui::win32::kMainWindowClass) main_ = w;
      }
      return main_ != nullptr;
    })) << "the program showed no window";
  }

  void TearDown() override {
    if (pi_.hProcess) {
      if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 1);
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
  }

  // A control of the running program, found as a driver finds it.
  HWND Control(ControlId id) const {
    HWND page = GetDlgItem(main_, ui::win32::kControlIdBase + ui::Index(ui::PageOf(id)));
    return GetDlgItem(page, ui::win32::kControlIdBase + ui::Index(id));
  }

  DWORD EndsWith() {
    if (WaitForSingleObject(pi_.hProcess, kDeadlineMs) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
  }

  PROCESS_INFORMATION pi_{};
  HWND main_ = nullptr;
};

TEST_F(RunningProgram, ShowsTheStartPageWithoutAnyPromptAndEndsWhenItsWindowCloses) {
  EXPECT_EQ(WindowText(main_), L"Vexlor Installer");
  // Nothing else of the program is on the screen: no elevation or other prompt.
  EXPECT_EQ(WindowsOf(pi_.dwProcessId), std::vector<HWND>{main_});
  EXPECT_TRUE(IsWindowVisible(Control(ControlId::edInstallPath)));
  EXPECT_FALSE(IsWindowVisible(Control(ControlId::btnCancel)));
  String folder = installer::DefaultInstallFolder();
  EXPECT_EQ(WindowText(Control(ControlId::edInstallPath)),
            std::wstring(reinterpret_cast<const wchar_t*>(folder.c_str())));
  EXPECT_EQ(WindowText(Control(ControlId::lblWelcome)), L"Welcome to the Vexlor Setup Wizard");

  PostMessageW(main_, WM_CLOSE, 0, 0);
  EXPECT_EQ(EndsWith(), 0u);
}

TEST_F(RunningProgram, EndsWhenTheSessionEnds) {
  DWORD_PTR answer = 0;
  ASSERT_TRUE(
      SendMessageTimeoutW(main_, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer));
  EXPECT_EQ(answer, TRUE);
  EXPECT_EQ(EndsWith(), 0u);
}

// --- The controller on the native window -----------------------------------------------------

class ControllerOnTheWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    installer::TInstallerServices services = installer::TInstallerServices::System();
    services.MakePageClient = nullptr;
    services.VerifySetup = nullptr;  // the tests' downloads are no signed programs
    Start(std::move(services));
  }

  // The application, the native window and the controller with these services; the window on
  // the screen.
  void Start(installer::TInstallerServices services) {
    TearDown();
    app_ = ui::CreateToolkitApplication();
    view_ = ui::CreateWizardView();
    client_ = std::make_unique<THttpCli>(nullptr);
    form_ = std::make_unique<installer::TfrmMain>(*view_, *client_, std::move(services));
    view_->Show();
    ASSERT_TRUE(Pump([&] { return IsWindowVisible(Main()) != 0; }));
  }

  void TearDown() override {
    form_.reset();
    client_.reset();
    view_.reset();
    app_.reset();
  }

  HWND Main() const { return H(ControlId::frmMain); }
  HWND H(ControlId id) const {
    return reinterpret_cast<HWND>(ui::win32::ControlWindow(*view_, id));
  }

  bool Pump(const std::function<bool()>& cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (true) {
      app_->ProcessMessages();
      if (cond()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      plat::WaitForInput(20);
    }
  }

  // Clicks the middle of a control with the pointer.
  void ClickOn(ControlId id) {
    RECT r;
    GetWindowRect(H(id), &r);
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    INPUT in[3] = {};
    in[0].type = in[1].type = in[2].type = INPUT_MOUSE;
    in[0].mi.dx = (((r.left + r.right) / 2) * 65536 + sw - 1) / sw;
    in[0].mi.dy = (((r.top + r.bottom) / 2) * 65536 + sh - 1) / sh;
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(3, in, sizeof(INPUT));
  }

  std::unique_ptr<TApplicationBase> app_;
  std::unique_ptr<ui::View> view_;
  std::unique_ptr<THttpCli> client_;
  std::unique_ptr<installer::TfrmMain> form_;
};

// The dialog asks for the client area less 50 pixels each way: 374 x 544 at 96 dpi.
TEST_F(ControllerOnTheWindow, LicenceLinkCallsTheHtmlDialogWithTheLicencePageAndItsSize) {
  HMODULE fake = LoadLibraryW(Wide(VEXLOR_FAKE_MSHTML).c_str());
  ASSERT_NE(fake, nullptr);
  using Record = const support::FakeHtmlDialogCall* (*)();
  auto record = reinterpret_cast<Record>(
      reinterpret_cast<void (*)()>(GetProcAddress(fake, support::kFakeHtmlDialogRecordExport)));
  ASSERT_NE(record, nullptr);
  ui::win32::SetHtmlDialogLibrary(text::FromUtf8(VEXLOR_FAKE_MSHTML));

  ClickOn(ControlId::lblLicenseAgreement);
  EXPECT_TRUE(Pump([&] { return record()->calls == 1; }));
  ui::win32::SetHtmlDialogLibrary(u"");

  RECT client;
  GetClientRect(Main(), &client);
  std::wstring options = L"resizable:yes;dialogHeight:" + std::to_wstring(client.bottom - 50) +
                         L" px;dialogWidth:" + std::to_wstring(client.right - 50) + L" px;";
  if (ui::win32::ViewDpi(*view_) == 96) {
    EXPECT_EQ(options, L"resizable:yes;dialogHeight:374 px;dialogWidth:544 px;");
  }
  EXPECT_EQ(std::wstring(record()->options), options);
  String url = installer::LicenseUrl();
  EXPECT_EQ(std::wstring(record()->page),
            std::wstring(reinterpret_cast<const wchar_t*>(url.c_str())));
  EXPECT_EQ(record()->parent, 0u);
  FreeLibrary(fake);
}

// The browser returns D:\Apps-like folders; the product folder is appended to what it returns.
TEST_F(ControllerOnTheWindow, ChangeButtonPutsTheBrowsedFolderWithTheProductFolderInTheEditBox) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::atomic<bool> stop{false};
  plat::WindowHandle probe = 0;
  // Picks the folder from inside the browser's modal loop, as its own selection message does.
  static HWND owner = nullptr;
  static const wchar_t* folder = nullptr;
  owner = nullptr;
  folder = windows;
  if (!plat::IsWindowClassRegistered("VexlorProgramTestProbe")) {
    plat::RegisterWindowClass("VexlorProgramTestProbe",
                              [](plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                                 plat::LParam lp) -> plat::LResult {
                                if (msg != plat::kMsgUser)
                                  return plat::DefWindowProc(w, msg, wp, lp);
                                HWND found = nullptr;
                                for (HWND w : WindowsOf(GetCurrentProcessId())) {
                                  wchar_t cls[16] = {};
                                  GetClassNameW(w, cls, 16);
                                  if (std::wstring(cls) == L"#32770") found = w;
                                }
                                if (found && owner == nullptr) {
                                  owner = GetWindow(found, GW_OWNER);
                                  SendMessageW(found, BFFM_SETSELECTIONW, TRUE,
                                               reinterpret_cast<LPARAM>(folder));
                                  PostMessageW(found, WM_COMMAND, IDOK, 0);
                                }
                                return 0;
                              });
  }
  probe = plat::CreateHiddenWindow("VexlorProgramTestProbe");
  support::TestThread ticker([&] {
    for (int i = 0; i < kDeadlineMs / 50 && !stop; ++i) {
      plat::PostMessage(probe, plat::kMsgUser, 0, 0);
      Sleep(50);
    }
  });
  ClickOn(ControlId::edInstallPathChange);
  bool changed = Pump([&] {
    return owner != nullptr &&
           view_->Text(ControlId::edInstallPath) != installer::DefaultInstallFolder();
  });
  stop = true;
  ticker.join();
  plat::DestroyWindow(probe);
  ASSERT_TRUE(changed);
  EXPECT_EQ(owner, Main());
  String expected =
      installer::BrowsedInstallFolder(String(reinterpret_cast<const char16_t*>(windows)), u'\\');
  EXPECT_EQ(text::LowerAscii(view_->Text(ControlId::edInstallPath)), text::LowerAscii(expected));
}

// A click on the install button runs the whole download inside the window's loop: the
// client's socket and its hidden window get their notices from the same queue as the window,
// the progress reaches the Installing page, and the setup program (recorded here, not run)
// gets the downloaded bytes before the Finish page comes.
TEST_F(ControllerOnTheWindow, InstallClickDownloadsThroughTheWindowsLoopToTheFinishPage) {
  const std::string body(300 * 1024, 'S');
  support::ScriptedServer server(
      {support::ServerScript()
           .ReadUntil("\r\n\r\n")
           .Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n")
           .Send(body.substr(0, body.size() / 2))
           .Pause(300)
           .Send(body.substr(body.size() / 2))
           .Close()});
  testing_support::TempDir temp;
  testing_support::ScopedTempFolder temp_env(temp.Path());
  std::string payload;
  installer::TInstallerServices s = installer::TInstallerServices::System();
  s.VerifySetup = nullptr;  // the download is no signed program
  s.IsProductRunning = [] { return false; };
  s.WriteInstallerRecord = [] {};
  s.RunSetup = [&](const String& program, const String&, std::int32_t& code, plat::TFileStream*) {
    std::ifstream in(testing_support::ToPath(program), std::ios::binary);
    payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    code = 0;
    return true;
  };
  s.DownloadUrl = u"http://127.0.0.1:" + text::IntToStr(server.Port()) + u"/download.php";
  s.MakePageClient = nullptr;
  Start(std::move(s));

  // The download runs inside the click's handler; a window timer of the same thread samples the
  // progress text meanwhile.
  static std::wstring progress;
  static HWND label = nullptr;
  progress.clear();
  label = H(ControlId::lblProgressText);
  if (!plat::IsWindowClassRegistered("VexlorProgramTestSampler")) {
    plat::RegisterWindowClass("VexlorProgramTestSampler",
                              [](plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                                 plat::LParam lp) -> plat::LResult {
                                if (msg != plat::kMsgTimer)
                                  return plat::DefWindowProc(w, msg, wp, lp);
                                std::wstring t = WindowText(label);
                                if (t.find(L" KB") != std::wstring::npos) progress = t;
                                return 0;
                              });
  }
  plat::WindowHandle sampler = plat::CreateHiddenWindow("VexlorProgramTestSampler");
  plat::SetTimer(sampler, 1, 10);
  ClickOn(ControlId::imgBtnInstall);
  ASSERT_TRUE(Pump([&] { return IsWindowVisible(H(ControlId::paFinish)) != 0; }));
  plat::KillTimer(sampler, 1);
  plat::DestroyWindow(sampler);
  EXPECT_EQ(payload, body);
  EXPECT_NE(progress.find(L"Downloading installer"), std::wstring::npos)
      << "no progress text was shown during the download";
  EXPECT_TRUE(server.WaitFinished(5000));
  // Only the log for support stays, and its last line names the page shown.
  EXPECT_EQ(temp.Files(), std::vector<std::string>{"Vexlor Installer.log"});
  const std::string log = temp.ReadFile("Vexlor Installer.log");
  EXPECT_EQ(log.substr(log.size() - std::min<std::size_t>(log.size(), 14)), " page: Finish\n")
      << log;
  TearDown();  // the controller's services refer to this test's locals
}

TEST_F(ControllerOnTheWindow, EndOfSessionClosesTheWindowAndEndsTheApplication) {
  EXPECT_EQ(SendMessageW(Main(), WM_QUERYENDSESSION, 0, 0), TRUE);
  EXPECT_TRUE(Pump([&] { return app_->Terminated(); }));
  EXPECT_FALSE(IsWindowVisible(Main()));
}

}  // namespace
