// The recording fake view: it must behave like the real window where the controller's tests
// rely on it (what the user can reach, Enter and Esc, the hover pair, closing) and answer its
// dialogs from the scripts.
#include <gtest/gtest.h>

#include "events/application.h"
#include "platform/messages.h"
#include "ui/fake_view.h"

namespace ui {
namespace {

using enum ControlId;

class RecordingListener : public ViewListener {
 public:
  void OnClick(ControlId c) override { events.push_back(std::string("click ") + NameOf(c)); }
  void OnMouseEnter(ControlId c) override { events.push_back(std::string("enter ") + NameOf(c)); }
  void OnMouseLeave(ControlId c) override { events.push_back(std::string("leave ") + NameOf(c)); }
  void OnCloseQuery(bool& can_close) override {
    events.push_back("close query");
    can_close = allow_close;
  }
  bool OnQueryEndSession() override {
    events.push_back("end session");
    return end_session_answer;
  }
  std::vector<std::string> events;
  bool allow_close = true;
  bool end_session_answer = true;
};

class FakeViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.SetListener(&listener);
    // Nothing of an earlier test may linger in this thread's queue.
    plat::Message m;
    while (plat::PeekMessage(m)) {
    }
  }
  FakeView view;
  RecordingListener listener;
};

TEST_F(FakeViewTest, StartsAsTheLayoutSays) {
  EXPECT_EQ(view.FrontPage(), paStart);
  EXPECT_EQ(view.Text(edInstallPath), u"C:\\Program Files\\Norvane Vexlor\\");
  EXPECT_EQ(view.Text(lblProgressPercent), u"0%");
  EXPECT_TRUE(view.Checked(chbCreateDesktopIcon));
  EXPECT_TRUE(view.Checked(chbStartVexlor));
  EXPECT_TRUE(view.Visible(imgBtnInstall));
  EXPECT_FALSE(view.Visible(imgBtnInstallHg));
  EXPECT_TRUE(view.Enabled(btnCancel));
  EXPECT_EQ(view.ProgressPosition(ProgressBarDownloading), 0);
  EXPECT_EQ(view.GetProgressStyle(ProgressBarDownloading), ProgressStyle::pbNormal);
  EXPECT_EQ(view.Caption(), u"Vexlor Installer");
  EXPECT_EQ(view.ClientWidth(), 594);
  EXPECT_EQ(view.ClientHeight(), 424);
}

struct ClickCase {
  const char* name;
  ControlId front;
  std::function<void(FakeView&)> prepare;
  ControlId control;
  bool reaches_listener;
};

class FakeViewClick : public FakeViewTest, public ::testing::WithParamInterface<ClickCase> {};

TEST_P(FakeViewClick, OnlyReachableControlsReport) {
  const ClickCase& c = GetParam();
  view.BringToFront(c.front);
  if (c.prepare) c.prepare(view);
  listener.events.clear();
  view.Click(c.control);
  std::vector<std::string> expected;
  if (c.reaches_listener) expected.push_back(std::string("click ") + NameOf(c.control));
  EXPECT_EQ(listener.events, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FakeViewClick,
    ::testing::Values(
        ClickCase{"InstallImage", paStart, nullptr, imgBtnInstall, true},
        ClickCase{"LicenceLink", paStart, nullptr, lblLicenseAgreement, true},
        ClickCase{"ChangeButton", paStart, nullptr, edInstallPathChange, true},
        ClickCase{"HiddenHoverTwin", paStart, nullptr, imgBtnInstallHg, false},
        ClickCase{"PlainLabel", paStart, nullptr, lblWelcome, false},
        ClickCase{"ButtonOfAPageBehind", paStart, nullptr, btnCancel, false},
        ClickCase{"InstallImageFromAnotherPage", paInstalling, nullptr, imgBtnInstall, false},
        ClickCase{"Cancel", paInstalling, nullptr, btnCancel, true},
        ClickCase{"DisabledCancel", paInstalling,
                  [](FakeView& v) { v.SetEnabled(btnCancel, false); }, btnCancel, false},
        ClickCase{"FinishOfFinishPage", paFinish, nullptr, btnInstalledFinish, true},
        ClickCase{"FinishOfErrorPage", paInstallError, nullptr, btnCancelledFinish, true},
        ClickCase{"AfterClose", paFinish, [](FakeView& v) { v.Close(); }, btnInstalledFinish,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
  ControlId front;
  bool enter;         // else Esc
  ControlId clicked;  // frmMain: nothing
};

class FakeViewKeys : public FakeViewTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(FakeViewKeys, EnterAndEscActOnThePageInFrontOnly) {
  const KeyCase& k = GetParam();
  view.BringToFront(k.front);
  bool acted = k.enter ? view.PressEnter() : view.PressEscape();
  EXPECT_EQ(acted, k.clicked != frmMain);
  std::vector<std::string> expected;
  if (k.clicked != frmMain) expected.push_back(std::string("click ") + NameOf(k.clicked));
  EXPECT_EQ(listener.events, expected);
  EXPECT_FALSE(view.Closed());
}

INSTANTIATE_TEST_SUITE_P(Cases, FakeViewKeys,
                         ::testing::Values(KeyCase{paStart, true, frmMain},
                                           KeyCase{paStart, false, frmMain},
                                           KeyCase{paInstalling, true, frmMain},
                                           KeyCase{paInstalling, false, btnCancel},
                                           KeyCase{paFinish, true, btnInstalledFinish},
                                           KeyCase{paFinish, false, frmMain},
                                           KeyCase{paInstallError, true, btnCancelledFinish},
                                           KeyCase{paInstallError, false, frmMain}));

TEST_F(FakeViewTest, EscDoesNothingOnceCancelIsDisabled) {
  view.BringToFront(paInstalling);
  view.SetEnabled(btnCancel, false);
  EXPECT_FALSE(view.PressEscape());
  EXPECT_TRUE(listener.events.empty());
}

TEST_F(FakeViewTest, HoverPairSwapsAndBothLooksClick) {
  ASSERT_TRUE(view.MouseEnter(imgBtnInstall));
  EXPECT_FALSE(view.Visible(imgBtnInstall));
  EXPECT_TRUE(view.Visible(imgBtnInstallHg));
  EXPECT_TRUE(view.Click(imgBtnInstallHg));
  EXPECT_FALSE(view.Click(imgBtnInstall));  // hidden now
  ASSERT_TRUE(view.MouseLeave(imgBtnInstallHg));
  EXPECT_TRUE(view.Visible(imgBtnInstall));
  EXPECT_FALSE(view.Visible(imgBtnInstallHg));
  EXPECT_TRUE(view.Click(imgBtnInstall));
  EXPECT_EQ(listener.events,
            (std::vector<std::string>{"enter imgBtnInstall", "click imgBtnInstallHg",
                                      "leave imgBtnInstallHg", "click imgBtnInstall"}));
  // Pictures that do not report the event: nothing happens.
  EXPECT_FALSE(view.MouseEnter(imgNorvaneLogo));
  EXPECT_FALSE(view.MouseLeave(imgBtnInstallHg));  // hidden
}

TEST_F(FakeViewTest, MessageBoxesTakeScriptedAnswersInOrder) {
  int inside = 0;
  view.ScriptMessageBox(idRetry);
  view.ScriptMessageBox([&](const MessageBoxRequest& r) {
    ++inside;
    EXPECT_EQ(r.Caption, u"Vexlor");
    return idCancel;
  });
  MessageBoxRequest req{MsgOwner::moNone, u"line 1\r\nline 2", u"Vexlor", MsgButtons::mbRetryCancel,
                        MsgIcon::miInformation};
  EXPECT_EQ(view.MessageBox(req), idRetry);
  EXPECT_EQ(view.MessageBox(req), idCancel);
  EXPECT_EQ(inside, 1);
  ASSERT_EQ(view.MessageBoxes.size(), 2u);
  EXPECT_EQ(view.MessageBoxes[0].Text, u"line 1\r\nline 2");
  EXPECT_EQ(view.MessageBoxes[0].Owner, MsgOwner::moNone);
  EXPECT_TRUE(view.Unscripted.empty());
  EXPECT_EQ(view.PendingMessageBoxAnswers(), 0u);
}

TEST_F(FakeViewTest, UnscriptedDialogsAreRecordedAndDeclined) {
  MessageBoxRequest req{MsgOwner::moWindow, u"Cancel installation?", u"Vexlor Installer",
                        MsgButtons::mbYesNo, MsgIcon::miQuestion};
  view.UnscriptedMessageBoxAnswer = idNo;
  EXPECT_EQ(view.MessageBox(req), idNo);
  EXPECT_EQ(view.BrowseForFolder(u"Destination folder:"), std::nullopt);
  EXPECT_EQ(view.Unscripted.size(), 2u);
}

TEST_F(FakeViewTest, FolderBrowserTakesScriptedAnswers) {
  view.ScriptFolder(String(u"D:\\Apps"));
  view.ScriptFolder(std::nullopt);
  EXPECT_EQ(view.BrowseForFolder(u"Destination folder:"), String(u"D:\\Apps"));
  EXPECT_EQ(view.BrowseForFolder(u"Destination folder:"), std::nullopt);
  EXPECT_EQ(view.FolderBrowserTitles,
            (std::vector<String>{u"Destination folder:", u"Destination folder:"}));
  EXPECT_TRUE(view.Unscripted.empty());
}

TEST_F(FakeViewTest, CloseAsksAndRefusalKeepsTheWindow) {
  listener.allow_close = false;
  EXPECT_FALSE(view.RequestClose());
  EXPECT_FALSE(view.Closed());
  listener.allow_close = true;
  EXPECT_TRUE(view.Close());
  EXPECT_TRUE(view.Closed());
  EXPECT_EQ(view.CloseQueries(), 2);
  // Closed for good: no more questions.
  EXPECT_TRUE(view.Close());
  EXPECT_EQ(view.CloseQueries(), 2);
}

TEST_F(FakeViewTest, ClosingPostsTheQuitRequestThatEndsTheApplication) {
  THeadlessApplication app;
  view.Close();
  app.ProcessMessages();
  EXPECT_TRUE(app.Terminated());
}

TEST_F(FakeViewTest, RefusedCloseLeavesTheApplicationRunning) {
  THeadlessApplication app;
  listener.allow_close = false;
  view.RequestClose();
  app.ProcessMessages();
  EXPECT_FALSE(app.Terminated());
}

TEST_F(FakeViewTest, EndSessionReturnsTheListenersAnswer) {
  listener.end_session_answer = false;
  EXPECT_FALSE(view.EndSession());
  listener.end_session_answer = true;
  EXPECT_TRUE(view.EndSession());
}

TEST_F(FakeViewTest, HtmlDialogLoadsThePageThroughTheRequest) {
  HtmlDialogRequest ok{
      u"http://web.invalid/license.php", true, 374, 544, u"opts", [](std::string& html) {
        html = "<p>EULA</p>";
        return true;
      }};
  HtmlDialogRequest failing = ok;
  failing.Load = [](std::string& html) {
    html = "partial";
    return false;
  };
  view.ShowHtmlDialog(ok);
  view.ShowHtmlDialog(failing);
  EXPECT_EQ(view.HtmlLoaded, (std::vector<std::string>{"<p>EULA</p>", ""}));
  ASSERT_EQ(view.HtmlDialogs.size(), 2u);
  EXPECT_EQ(view.HtmlDialogs[0].Height, 374);
  EXPECT_EQ(view.HtmlDialogs[0].Width, 544);
}

TEST_F(FakeViewTest, UserInputOnlyOnThePageInFront) {
  EXPECT_TRUE(view.TypeText(edInstallPath, u"D:\\Tools"));
  EXPECT_EQ(view.Text(edInstallPath), u"D:\\Tools");
  EXPECT_TRUE(view.SetChecked(chbCreateDesktopIcon, false));
  EXPECT_FALSE(view.Checked(chbCreateDesktopIcon));
  EXPECT_FALSE(view.SetChecked(chbStartVexlor, false));  // Finish page is behind
  EXPECT_TRUE(view.Checked(chbStartVexlor));
}

TEST_F(FakeViewTest, ProgressPositionStaysInRange) {
  view.SetProgressPosition(ProgressBarDownloading, 140);
  EXPECT_EQ(view.ProgressPosition(ProgressBarDownloading), 100);
  view.SetProgressPosition(ProgressBarDownloading, -3);
  EXPECT_EQ(view.ProgressPosition(ProgressBarDownloading), 0);
}

}  // namespace
}  // namespace ui
