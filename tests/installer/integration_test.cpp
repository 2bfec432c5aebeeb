// The controller with the real HTTP client against a scripted loopback server: the download,
// its failures, Cancel and closing the window while the body arrives. The setup run itself is
// recorded instead of started; everything up to it is real.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "http/content_digest.h"
#include "http/httpcli.h"
#include "installer/main_form.h"
#include "platform/messages.h"
#include "tests/installer/held_file_probe.h"
#include "tests/installer/installer_test_support.h"
#include "tests/support/scripted_server.h"
#include "ui/fake_view.h"
#ifdef VEXLOR_WITH_DEMO_SERVER
#include <random>

#include "tools/demo-server/demo_server.h"
#endif

namespace {

using namespace installer;
using support::ScriptedServer;
using support::ServerScript;
using testing_support::PumpUntil;
using testing_support::RunOnFreshThread;
using testing_support::ScopedTempFolder;
using testing_support::TempDir;
using testing_support::Utf8;
using ui::ControlId;

const std::string kBody(48 * 1024, 'S');

std::string Header(int status, const char* reason, std::size_t length) {
  return "HTTP/1.0 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
         "\r\n\r\n";
}

// Runs `act` from the thread's message queue once `ready` holds: a window timer looks every
// 10 ms, so the action happens inside the client's synchronous wait as a user's click would.
class WhenReady {
 public:
  WhenReady(std::function<bool()> ready, std::function<void()> act)
      : ready_(std::move(ready)), act_(std::move(act)) {
    if (!plat::IsWindowClassRegistered(kClass)) plat::RegisterWindowClass(kClass, &Proc);
    window_ = plat::CreateHiddenWindow(kClass);
    plat::SetWindowSlot(window_, this);
    plat::SetTimer(window_, 1, 10);
  }
  ~WhenReady() {
    plat::KillTimer(window_, 1);
    plat::DestroyWindow(window_);
  }
  bool Fired() const { return fired_; }

 private:
  static constexpr const char* kClass = "VexlorTestWhenReady";
  static plat::LResult Proc(plat::WindowHandle w, std::uint32_t msg, plat::WParam wp,
                            plat::LParam lp) {
    auto* self = static_cast<WhenReady*>(plat::GetWindowSlot(w));
    if (msg != plat::kMsgTimer || self == nullptr) return plat::DefWindowProc(w, msg, wp, lp);
    if (!self->fired_ && self->ready_()) {
      self->fired_ = true;
      plat::KillTimer(w, 1);
      self->act_();
    }
    return 0;
  }
  std::function<bool()> ready_;
  std::function<void()> act_;
  plat::WindowHandle window_ = 0;
  bool fired_ = false;
};

struct RealWizard {
  TempDir temp;
  ScopedTempFolder temp_env{temp.Path()};
  ui::FakeView view;
  THttpCli http{nullptr};
  std::vector<std::string> payloads;
  std::vector<std::uint32_t> pauses;  // before each retry; they pass at once here
  std::vector<std::string> log;       // the log for support, kept here
  std::vector<bool> held_at_start;    // the runner got the file held, under its name
  std::vector<testing_support::HeldFileProbe> probes_at_start;
  std::unique_ptr<TfrmMain> form;

  explicit RealWizard(const String& url, const String& licence_url = u"") {
    http.SetAgent(u"Mozilla/4.0 (compatible; Vexlor)");
    TInstallerServices s = TInstallerServices::System();
    s.VerifySetup = nullptr;  // what is downloaded here is no signed program
    s.IsProductRunning = [] { return false; };
    s.WriteInstallerRecord = [] {};
    s.RunSetup = [this](const String& program, const String&, std::int32_t& code,
                        plat::TFileStream* held) {
      // The program comes held, under the name it is run by.
      held_at_start.push_back(held != nullptr && held->IsOpen() && held->FileName() == program);
      probes_at_start.push_back(testing_support::ProbeHeldFile(program));
      std::ifstream in(testing_support::ToPath(program), std::ios::binary);
      payloads.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      code = 0;
      return true;
    };
    s.DownloadUrl = url;
    s.LicenseUrl = licence_url;
    s.MakePageClient = [] { return std::unique_ptr<IDownloadClient>(new THttpCli(nullptr)); };
    s.PauseBeforeRetry = [this](std::uint32_t ms, const std::function<bool()>& stop) {
      pauses.push_back(ms);
      return !stop();
    };
    s.Log = [this](const String& line) { log.push_back(Utf8(line)); };
    form = std::make_unique<TfrmMain>(view, http, std::move(s));
  }

  void Install() {
    view.Click(ControlId::imgBtnInstall);
    PumpUntil([this] { return !form->SetupRunning() && !form->Installing(); }, 15000);
  }
};

String Url(const ScriptedServer& server) {
  return u"http://127.0.0.1:" + text::IntToStr(server.Port()) + u"/download.php";
}

TEST(ControllerWithHttpClient, DownloadsTheSetupProgramAndRunsIt) {
  RunOnFreshThread([] {
    ScriptedServer server({ServerScript()
                               .ReadUntil("\r\n\r\n")
                               .Send(Header(200, "OK", kBody.size()))
                               .Send(kBody.substr(0, 20000))
                               .Pause(50)
                               .Send(kBody.substr(20000))
                               .Close()});
    RealWizard w(Url(server));
    // While the body arrives, the file is held: others may read it, not write, rename or
    // delete it.
    std::optional<testing_support::HeldFileProbe> during;
    WhenReady probe(
        [&] {
          return w.form->Installing() && !w.form->DownloadToFile().empty() &&
                 plat::FileExists(w.form->DownloadToFile());
        },
        [&] { during = testing_support::ProbeHeldFile(w.form->DownloadToFile()); });
    w.Install();
    EXPECT_EQ(w.view.FrontPage(), ControlId::paFinish);
    ASSERT_EQ(w.payloads.size(), 1u);
    EXPECT_EQ(w.payloads[0], kBody);
    ASSERT_TRUE(during.has_value());
    ASSERT_EQ(w.held_at_start, std::vector<bool>{true});
    for (const testing_support::HeldFileProbe& p : {*during, w.probes_at_start[0]}) {
      EXPECT_TRUE(p.Read);
#ifdef _WIN32
      EXPECT_FALSE(p.Write);
      EXPECT_FALSE(p.Rename);
      EXPECT_FALSE(p.Delete);
#else
      // No share modes: the mode refuses writers that do not override permissions.
      if (!testing_support::OverridesFilePermissions()) {
        EXPECT_FALSE(p.Write);
      }
#endif
    }
    ASSERT_TRUE(server.WaitFinished(5000));
    std::string request = server.Received(0);
    EXPECT_EQ(request.rfind("GET /download.php HTTP/1.0\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("User-Agent: Mozilla/4.0 (compatible; Vexlor)\r\n"), std::string::npos);
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

struct FailureCase {
  const char* name;
  std::string answer;  // what the server sends after reading the request; then it closes
};

class ControllerWithFailingServer : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ControllerWithFailingServer, EndsOnTheErrorPageWithNothingLeft) {
  const FailureCase c = GetParam();
  RunOnFreshThread([&c] {
    ScriptedServer server({ServerScript().ReadUntil("\r\n\r\n").Send(c.answer).Close()});
    RealWizard w(Url(server));
    w.Install();
    EXPECT_EQ(w.view.FrontPage(), ControlId::paInstallError);
    EXPECT_TRUE(w.payloads.empty());
    EXPECT_TRUE(w.temp.Files().empty());
    EXPECT_TRUE(w.view.MessageBoxes.empty());
  });
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControllerWithFailingServer,
    ::testing::Values(FailureCase{"NotFound", Header(404, "Not Found", 9) + "not found"},
                      FailureCase{"BodyCutShort", Header(200, "OK", 1000) + std::string(500, 'S')},
                      FailureCase{"NoStatusLine", ""}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// A body cut at half: the second connection asks for the rest of that version and gets it.
TEST(ControllerWithHttpClient, ACutDownloadResumesWithRangeAndIfRange) {
  RunOnFreshThread([] {
    const std::size_t half = kBody.size() / 2;
    const std::string etag = "\"setup-1\"";
    ScriptedServer server(
        {ServerScript()
             .ReadUntil("\r\n\r\n")
             .Send("HTTP/1.0 200 OK\r\nETag: " + etag +
                   "\r\nContent-Length: " + std::to_string(kBody.size()) + "\r\n\r\n")
             .Send(kBody.substr(0, half))
             .Close(),
         ServerScript()
             .ReadUntil("\r\n\r\n")
             .Send("HTTP/1.0 206 Partial Content\r\nETag: " + etag + "\r\nContent-Range: bytes " +
                   std::to_string(half) + "-" + std::to_string(kBody.size() - 1) + "/" +
                   std::to_string(kBody.size()) +
                   "\r\nContent-Length: " + std::to_string(kBody.size() - half) + "\r\n\r\n")
             .Send(kBody.substr(half))
             .Close()});
    RealWizard w(Url(server));
    w.Install();
    EXPECT_EQ(w.view.FrontPage(), ControlId::paFinish);
    ASSERT_EQ(w.payloads.size(), 1u);
    EXPECT_TRUE(w.payloads[0] == kBody);
    EXPECT_EQ(w.pauses, std::vector<std::uint32_t>{1000});
    ASSERT_TRUE(server.WaitFinished(5000));
    const std::string second = server.Received(1);
    EXPECT_NE(second.find("\r\nRange: bytes=" + std::to_string(half) + "-\r\n"), std::string::npos)
        << second;
    EXPECT_NE(second.find("\r\nIf-Range: " + etag + "\r\n"), std::string::npos) << second;
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

TEST(ControllerWithHttpClient, RefusedConnectionEndsOnTheErrorPage) {
  RunOnFreshThread([] {
    RealWizard w(u"http://127.0.0.1:" + text::IntToStr(support::UnusedLoopbackPort()) +
                 u"/download.php");
    w.Install();
    EXPECT_EQ(w.view.FrontPage(), ControlId::paInstallError);
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

TEST(ControllerWithHttpClient, CancelDuringTheBodyAbortsAndDeletesThePartialFile) {
  RunOnFreshThread([] {
    ScriptedServer server({ServerScript()
                               .ReadUntil("\r\n\r\n")
                               .Send(Header(200, "OK", kBody.size()))
                               .Send(kBody.substr(0, 1000))
                               .WaitSignal()
                               .Close()});
    RealWizard w(Url(server));
    w.view.ScriptMessageBox(ui::idYes);
    WhenReady cancel([&w] { return w.http.RcvdCount() >= 1000; },
                     [&w] { EXPECT_TRUE(w.view.Click(ControlId::btnCancel)); });
    w.Install();
    server.Signal();
    EXPECT_TRUE(cancel.Fired());
    EXPECT_EQ(w.view.FrontPage(), ControlId::paInstallError);
    EXPECT_TRUE(w.payloads.empty());
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

TEST(ControllerWithHttpClient, ClosingTheWindowDuringTheBodyDeletesThePartialFile) {
  RunOnFreshThread([] {
    ScriptedServer server({ServerScript()
                               .ReadUntil("\r\n\r\n")
                               .Send(Header(200, "OK", kBody.size()))
                               .Send(kBody.substr(0, 1000))
                               .WaitSignal()
                               .Close()});
    RealWizard w(Url(server));
    w.view.ScriptMessageBox(ui::idYes);
    WhenReady close([&w] { return w.http.RcvdCount() >= 1000; },
                    [&w] { EXPECT_TRUE(w.view.RequestClose()); });
    w.Install();
    server.Signal();
    EXPECT_TRUE(close.Fired());
    EXPECT_TRUE(w.view.Closed());
    EXPECT_TRUE(w.payloads.empty());
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

// The download ends while Cancel's question is open: its end is held until the answer.
struct HeldCase {
  const char* name;
  ui::MsgResult answer;
  ControlId page;
  bool setup_ran;
};

class ControllerWithHeldEnd : public ::testing::TestWithParam<HeldCase> {};

TEST_P(ControllerWithHeldEnd, TheAnswerDecides) {
  const HeldCase c = GetParam();
  RunOnFreshThread([&c] {
    ScriptedServer server({ServerScript()
                               .ReadUntil("\r\n\r\n")
                               .Send(Header(200, "OK", kBody.size()))
                               .Send(kBody.substr(0, 1000))
                               .WaitSignal()
                               .Send(kBody.substr(1000))
                               .Close()});
    RealWizard w(Url(server));
    bool ran_behind_the_question = true;
    w.view.ScriptMessageBox([&](const ui::MessageBoxRequest&) {
      // The rest arrives and the request ends while the question is open.
      server.Signal();
      EXPECT_TRUE(PumpUntil([&w] { return w.http.State() == httpReady; }));
      EXPECT_TRUE(PumpUntil([] { return !plat::WaitForInput(0); }));
      ran_behind_the_question = !w.payloads.empty() || w.form->SetupRunning();
      return c.answer;
    });
    WhenReady cancel([&w] { return w.http.RcvdCount() >= 1000; },
                     [&w] { EXPECT_TRUE(w.view.Click(ControlId::btnCancel)); });
    w.Install();
    EXPECT_TRUE(cancel.Fired());
    EXPECT_FALSE(ran_behind_the_question);
    EXPECT_EQ(w.view.FrontPage(), c.page);
    ASSERT_EQ(w.payloads.size(), c.setup_ran ? 1u : 0u);
    if (c.setup_ran) {
      EXPECT_EQ(w.payloads[0], kBody);
    }
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControllerWithHeldEnd,
    ::testing::Values(HeldCase{"Yes", ui::idYes, ControlId::paInstallError, false},
                      HeldCase{"No", ui::idNo, ControlId::paFinish, true}),
    [](const ::testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

TEST(ControllerWithHttpClient, TheLicencePageIsFetchedForTheDialog) {
  RunOnFreshThread([] {
    const std::string page = "<html><body><h1>End-User License Agreement</h1></body></html>";
    ScriptedServer server(
        {ServerScript().ReadUntil("\r\n\r\n").Send(Header(200, "OK", page.size()) + page).Close(),
         ServerScript().ReadUntil("\r\n\r\n").Send(Header(404, "Not Found", 4) + "gone").Close()});
    String licence = u"http://127.0.0.1:" + text::IntToStr(server.Port()) + u"/license.php";
    RealWizard w(Url(server), licence);
    EXPECT_TRUE(w.view.Click(ControlId::lblLicenseAgreement));
    EXPECT_TRUE(w.view.Click(ControlId::lblLicenseAgreement));
    ASSERT_EQ(w.view.HtmlLoaded.size(), 2u);
    EXPECT_EQ(w.view.HtmlLoaded[0], page);
    EXPECT_EQ(w.view.HtmlLoaded[1], "");  // a page that cannot be had
    ASSERT_TRUE(server.WaitFinished(5000));
    EXPECT_EQ(server.Received(0).rfind("GET /license.php HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(w.view.FrontPage(), ControlId::paStart);
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

// A page up to the limit is shown; a larger one (announced or not) is not read into memory
// beyond the limit and counts as a page that cannot be had.
TEST(ControllerWithHttpClient, ALicencePageBeyondTheLimitIsNotLoaded) {
  RunOnFreshThread([] {
    const std::string fits(static_cast<std::size_t>(kMaxLicencePageBytes), 'a');
    const std::string too_big(static_cast<std::size_t>(kMaxLicencePageBytes) + 1, 'b');
    ScriptedServer server(
        {ServerScript().ReadUntil("\r\n\r\n").Send(Header(200, "OK", fits.size()) + fits).Close(),
         ServerScript()
             .ReadUntil("\r\n\r\n")
             .Send(Header(200, "OK", too_big.size()) + too_big)
             .Close(),
         ServerScript().ReadUntil("\r\n\r\n").Send("HTTP/1.0 200 OK\r\n\r\n" + too_big).Close()});
    String licence = u"http://127.0.0.1:" + text::IntToStr(server.Port()) + u"/license.php";
    RealWizard w(Url(server), licence);
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(w.view.Click(ControlId::lblLicenseAgreement));
    ASSERT_EQ(w.view.HtmlLoaded.size(), 3u);
    EXPECT_EQ(w.view.HtmlLoaded[0].size(), fits.size());
    EXPECT_EQ(w.view.HtmlLoaded[1], "");
    EXPECT_EQ(w.view.HtmlLoaded[2], "");
    server.WaitFinished(5000);
  });
}

// "sha-256=:BASE64:" of the bytes.
std::string Sha256Field(const std::string& bytes) {
  const plat::TSha256Digest d = plat::Sha256(bytes);
  return "sha-256=:" + http_digest::Base64(d.data(), d.size()) + ":";
}

// The document's digests, on a whole answer and on a resumed one. The second answer (if any)
// is a 206 with the rest from `half`; `tamper` changes one byte of what it sends.
struct DigestCase {
  const char* name;
  std::string first_fields;   // of the 200
  bool cut;                   // the 200 is cut at half, a 206 brings the rest
  std::string second_fields;  // of the 206
  bool tamper;                // one byte of the 206's body differs from the document
  bool installs;
  const char* log;  // a part of the attempt's log line
};

class ControllerWithDigest : public ::testing::TestWithParam<DigestCase> {};

const std::size_t kHalf = kBody.size() / 2;
std::string BodyWithByte() {
  std::string body = kBody;
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>('A' + i % 23);
  return body;
}
const std::string kDoc = BodyWithByte();
const std::string kPart = kDoc.substr(kHalf);
std::string Tampered(std::string s) {
  s[s.size() / 3] ^= 0x20;
  return s;
}

TEST_P(ControllerWithDigest, TheFileMatchesOrNothingRuns) {
  const DigestCase c = GetParam();
  RunOnFreshThread([&c] {
    const std::string etag = "\"setup-7\"";
    std::vector<ServerScript> scripts;
    scripts.push_back(ServerScript()
                          .ReadUntil("\r\n\r\n")
                          .Send("HTTP/1.0 200 OK\r\nETag: " + etag + "\r\n" + c.first_fields +
                                "Content-Length: " + std::to_string(kDoc.size()) + "\r\n\r\n")
                          .Send(c.cut ? kDoc.substr(0, kHalf) : kDoc)
                          .Close());
    if (c.cut)
      scripts.push_back(ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.0 206 Partial Content\r\nETag: " + etag +
                                  "\r\nContent-Range: bytes " + std::to_string(kHalf) + "-" +
                                  std::to_string(kDoc.size() - 1) + "/" +
                                  std::to_string(kDoc.size()) + "\r\n" + c.second_fields +
                                  "Content-Length: " + std::to_string(kPart.size()) + "\r\n\r\n")
                            .Send(c.tamper ? Tampered(kPart) : kPart)
                            .Close());
    ScriptedServer server(scripts);
    RealWizard w(Url(server));
    w.Install();
    EXPECT_EQ(w.view.FrontPage(), c.installs ? ControlId::paFinish : ControlId::paInstallError);
    if (c.installs) {
      ASSERT_EQ(w.payloads.size(), 1u);
      EXPECT_TRUE(w.payloads[0] == kDoc);
    } else {
      EXPECT_TRUE(w.payloads.empty());
    }
    // A failed check is final: no attempt after it.
    EXPECT_EQ(w.pauses.size(), c.cut ? 1u : 0u);
    EXPECT_TRUE(w.temp.Files().empty());
    std::string all;
    for (const std::string& line : w.log)
      all += line + "\n";
    EXPECT_NE(all.find(c.log), std::string::npos) << all;
    ASSERT_TRUE(server.WaitFinished(5000));
  });
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControllerWithDigest,
    ::testing::Values(
        DigestCase{"ReprDigestMatches", "Repr-Digest: " + Sha256Field(kDoc) + "\r\n", false, "",
                   false, true, "sha-256 matches 1 digest"},
        DigestCase{"BothMatch",
                   "Content-Digest: " + Sha256Field(kDoc) +
                       "\r\nRepr-Digest: " + Sha256Field(kDoc) + "\r\n",
                   false, "", false, true, "sha-256 matches 2 digests"},
        // Each field line of a field counts; other algorithms are ignored.
        DigestCase{"SplitOverTwoLines",
                   "Repr-Digest: sha-512=:AAAA:\r\nRepr-Digest: " + Sha256Field(kDoc) + "\r\n",
                   false, "", false, true, "sha-256 matches 1 digest"},
        DigestCase{"OtherAlgorithmOnly", "Repr-Digest: sha-512=:AAAA:\r\n", false, "", false, true,
                   "holds the whole document"},
        DigestCase{"ReprDigestOfOtherBytes", "Repr-Digest: " + Sha256Field(Tampered(kDoc)) + "\r\n",
                   false, "", false, false,
                   "error 19 (digest check failed), the document's sha-256 does not match "
                   "the answer's Repr-Digest"},
        DigestCase{"ContentDigestOfOtherBytes",
                   "Repr-Digest: " + Sha256Field(kDoc) +
                       "\r\nContent-Digest: " + Sha256Field(Tampered(kDoc)) + "\r\n",
                   false, "", false, false, "does not match the answer's Content-Digest"},
        DigestCase{"MalformedField", "Repr-Digest: sha-256=" + Sha256Field(kDoc) + "\r\n", false,
                   "", false, false, "the answer's Repr-Digest field cannot be read"},
        // Resumed: Content-Digest of the 206 is of its part, Repr-Digest of the whole document,
        // which the part already held counts for.
        DigestCase{"ResumedBothMatch", "Repr-Digest: " + Sha256Field(kDoc) + "\r\n", true,
                   "Repr-Digest: " + Sha256Field(kDoc) +
                       "\r\nContent-Digest: " + Sha256Field(kPart) + "\r\n",
                   false, true, "sha-256 matches 3 digests"},
        DigestCase{"ResumedContentDigestOfTheWhole", "", true,
                   "Content-Digest: " + Sha256Field(kDoc) + "\r\n", false, false,
                   "the partial answer's sha-256 does not match its Content-Digest"},
        // The part is changed and its own digest agrees with the change: the whole does not.
        DigestCase{"ResumedPartChangedWithItsDigest", "", true,
                   "Repr-Digest: " + Sha256Field(kDoc) +
                       "\r\nContent-Digest: " + Sha256Field(Tampered(kPart)) + "\r\n",
                   true, false, "does not match the answer's Repr-Digest"},
        // The first answer's Repr-Digest still counts when the 206 carries none.
        DigestCase{"ResumedWithoutDigestAfterOne", "Repr-Digest: " + Sha256Field(kDoc) + "\r\n",
                   true, "", true, false, "does not match the answer's Repr-Digest"}),
    [](const ::testing::TestParamInfo<DigestCase>& info) { return std::string(info.param.name); });

#ifdef VEXLOR_WITH_DEMO_SERVER
// The demo server misbehaving in each of its ways: the installed setup program is
// byte-identical to the served one, or the download ends on the Error page with no file left.
struct DemoMode {
  const char* name;
  const char* answer;  // of /download.php
  bool installs;
  std::size_t requests;
};

class ControllerWithDemoServer : public ::testing::TestWithParam<DemoMode> {};

TEST_P(ControllerWithDemoServer, InstallsTheWholeFileOrNothing) {
  const DemoMode m = GetParam();
  RunOnFreshThread([&m] {
    TempDir docs;
    std::string setup(300 * 1000, '\0');
    std::mt19937 gen(11);
    for (char& c : setup)
      c = static_cast<char>(gen());
    const std::string setup_path = (docs.Path() / "setup.exe").string();
    std::ofstream(setup_path, std::ios::binary) << setup;
    demo::ServerOptions options;
    options.SetupFile = setup_path;
    demo::DemoServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    auto answer = demo::ParseAnswer(m.answer, &error);
    ASSERT_TRUE(answer) << error;
    server.SetAnswer("/download.php", *answer);

    RealWizard w(text::FromUtf8(server.BaseUrl() + "/download.php"));
    w.Install();
    EXPECT_EQ(w.view.FrontPage(), m.installs ? ControlId::paFinish : ControlId::paInstallError);
    if (m.installs) {
      ASSERT_EQ(w.payloads.size(), 1u);
      EXPECT_TRUE(w.payloads[0] == setup)
          << w.payloads[0].size() << " " << w.payloads[0].substr(0, 120);
    } else {
      EXPECT_TRUE(w.payloads.empty());
    }
    EXPECT_EQ(server.Requests().size(), m.requests);
    // Every request after the first asks for the rest of what the file holds, of that version.
    const auto requests = server.Requests();
    // (A cut before any byte leaves nothing to resume: the whole document is asked for again.)
    const bool cut = std::string(m.answer).find("cut=") != std::string::npos &&
                     std::string(m.answer).find("cut=0") == std::string::npos;
    for (std::size_t i = 1; cut && i < requests.size(); ++i)
      EXPECT_NE(requests[i].Raw.find("\r\nIf-Range: \""), std::string::npos) << requests[i].Raw;
    EXPECT_TRUE(w.temp.Files().empty());
  });
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ControllerWithDemoServer,
    ::testing::Values(DemoMode{"CutOnce", "cut=100000,times=1", true, 2},
                      DemoMode{"CutFiveTimes", "cut=50000,times=5", true, 6},
                      // Each cut answer brings more of the file: a cut every time still ends whole.
                      DemoMode{"CutEveryTimeAfterProgress", "cut=100000", true, 3},
                      DemoMode{"CutEveryTimeBeforeAnyByte", "cut=0", false, 6},
                      DemoMode{"ResetOnce", "reset=150000,times=1", true, 2},
                      DemoMode{"ClosedTwice", "close,times=2", true, 3},
                      DemoMode{"UnavailableOnce", "status=503,times=1", true, 2},
                      DemoMode{"UnavailableEveryTime", "status=503", false, 6},
                      DemoMode{"RangeIgnored", "ignorerange,cut=100000,times=1", true, 2},
                      DemoMode{"NewVersionEachTime", "newetag,cut=100000,times=2", true, 3},
                      DemoMode{"WrongDigest", "wrongdigest", false, 1},
                      DemoMode{"WrongDigestAfterACut", "wrongdigest,cut=100000,times=1", false, 2},
                      DemoMode{"NoDigest", "nodigest,cut=100000,times=1", true, 2},
                      DemoMode{"NotFound", "status=404", false, 1}),
    [](const ::testing::TestParamInfo<DemoMode>& info) { return std::string(info.param.name); });
#endif

}  // namespace
