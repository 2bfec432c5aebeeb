// The wizard's controller.
#include "installer/main_form.h"

#include "events/application.h"
#include "installer/addresses.h"
#include "installer/install_folder.h"
#include "installer/installer_record.h"
#include "installer/running_product.h"
#include "installer/support_log.h"
#include "http/retry_pause.h"
#include "platform/process.h"

namespace installer {

using ui::ControlId;

TInstallerServices TInstallerServices::System() {
  TInstallerServices s;
  s.IsProductRunning = installer::IsProductRunning;
  s.WriteInstallerRecord = installer::WriteInstallerRecord;
  s.RunSetup = SystemProcessRunner();
  s.VerifySetup = VerifySetupSignature;
  s.ShellOpen = plat::ShellOpen;
  s.Now = LocalDateTimeNow;
  s.DefaultInstallFolder = installer::DefaultInstallFolder;
  s.DownloadUrl = installer::DownloadUrl();
  s.LicenseUrl = installer::LicenseUrl();
  s.FirstRetryPauseMs = installer::RetryFirstPauseMs();
  // Not make_shared: see TNetTimer::FAlive (events/timers.h).
  std::shared_ptr<TSupportLog> log(new TSupportLog());
  s.Log = [log](const String& line) { log->Line(line); };
  s.PauseBeforeRetry = [](std::uint32_t ms, const std::function<bool()>& stop) {
    TRetryPause pause;
    return pause.Run(ms, stop);
  };
  return s;
}

TfrmMain::TfrmMain(ui::View& view, IDownloadClient& http_cli, TInstallerServices services)
    : view_(view), HttpCli(http_cli), services_(std::move(services)) {
  HttpCli.SetOnDocData([this](TObject* Sender, const void* Buffer, std::int32_t Len) {
    HttpCliDocData(Sender, Buffer, Len);
  });
  HttpCli.SetOnRequestDone([this](TObject* Sender, THttpRequest RqType, std::uint16_t ErrCode) {
    HttpCliRequestDone(Sender, RqType, ErrCode);
  });
  view_.SetListener(this);
  FormCreate();
}

TfrmMain::~TfrmMain() {
  view_.SetListener(nullptr);
  HttpCli.SetOnDocData(nullptr);
  HttpCli.SetOnRequestDone(nullptr);
  // A download still attached was abandoned with the window: its partial file goes.
  if (ReleaseDownloadStream()) plat::DeleteFile(FDownloadToFile);
  // A setup run still going on outlives the window; its completion has nobody to tell.
  if (InstallingProcessThread != nullptr) InstallingProcessThread->OnTerminate = nullptr;
}

void TfrmMain::Log(const String& line) {
  if (!services_.Log) return;
  try {
    services_.Log(line);
  } catch (const std::exception&) {
    // The log is for support only.
  }
}

void TfrmMain::ShowEndPage(ControlId page) {
  view_.BringToFront(page);
  Log(page == ControlId::paFinish ? u"page: Finish" : u"page: Error");
}

void TfrmMain::FormCreate() {
  Log(u"start: Vexlor Installer");
  FInstalling = false;
  view_.BringToFront(ControlId::paStart);
  if (services_.DefaultInstallFolder)
    view_.SetText(ControlId::edInstallPath, services_.DefaultInstallFolder());
}

void TfrmMain::imgBtnInstallClick() {
  if (download_started_) return;

  while (services_.IsProductRunning && services_.IsProductRunning()) {
    Log(u"product check: Vexlor is running; the user is asked to close it");
    ui::MessageBoxRequest box;
    box.Owner = ui::MsgOwner::moNone;
    box.Text = kProductRunningText;
    box.Caption = kProductRunningCaption;
    box.Buttons = ui::MsgButtons::mbRetryCancel;
    box.Icon = ui::MsgIcon::miInformation;
    if (view_.MessageBox(box) == ui::idCancel) return;
  }

  Log(u"product check: Vexlor is not running");
  download_started_ = true;
  view_.BringToFront(ControlId::paInstalling);
  FInstalling = true;
  FDownloadToFile = ChooseDownloadTarget();
  try {
    download_stream_ = CreateDownloadFile(FDownloadToFile);
  } catch (const std::exception& e) {
    // Nothing was created and nothing will be downloaded: say why, then end on the Error page
    // rather than leaving the Installing page standing with no download behind it.
    FInstalling = false;
    ui::MessageBoxRequest box;
    box.Owner = ui::MsgOwner::moWindow;
    box.Text = text::FromUtf8(e.what());
    box.Caption = view_.Caption();
    box.Buttons = ui::MsgButtons::mbOk;
    box.Icon = ui::MsgIcon::miError;
    Log(u"download file cannot be created: " + box.Text);
    view_.MessageBox(box);
    ShowEndPage(ControlId::paInstallError);
    return;
  }
  HttpCli.SetRcvdStream(download_stream_.get());
  attempts_ = std::make_unique<download_retry::TResumableDownload>(HttpCli, *download_stream_);
  attempts_->SetFirstPauseMs(services_.FirstRetryPauseMs);
  attempts_->SetHashReceived(true);  // the file is checked against it before it runs
  RunDownload();
}

void TfrmMain::RunDownload() {
  for (;;) {
    retry_due_ = false;
    attempt_running_ = true;
    try {
      attempts_->BeginAttempt();
    } catch (const std::exception&) {
      // The file cannot be cut back to what it trusts: nothing sound can be resumed.
      FInstalling = false;
      FailDownload();
      return;
    }
    if (services_.RouteRequest) {
      String route;
      bool usable = false;
      try {
        usable = services_.RouteRequest(services_.DownloadUrl, route);
      } catch (const std::exception& e) {
        route = text::FromUtf8(e.what());
      }
      // The log names the way a proxy setting chose once, and again only when it changes
      // between attempts; with no proxy set (empty) it stays as it always was.
      if (!route.empty() && (route != logged_route_ || !usable)) Log(u"proxy: " + route);
      logged_route_ = route;
      if (!usable) {
        // The user's settings ask for a proxy that cannot be used: going around it directly
        // would defeat the setting, so the download ends here.
        FInstalling = false;
        FailDownload();
        return;
      }
    }
    HttpCli.SetURL(services_.DownloadUrl);
    try {
      HttpCli.Get();
    } catch (const std::exception&) {
      // The outcome is decided by HttpCliRequestDone alone.
    }
    // After an idle time-out Get returns first; the attempt's end waits in the queue.
    if (attempt_running_ && download_stream_ != nullptr && !close_accepted_ &&
        !Application().Terminated())
      Application().ProcessMessages();
    if (download_stream_ == nullptr) return;  // ended, well or not
    // The window was closed during the download and the request ended without its request-done
    // handling: the partial file must not stay behind.
    if (close_accepted_ || Application().Terminated() || !retry_due_) {
      FInstalling = false;
      FailDownload();
      return;
    }
    pausing_ = true;
    pause_stopped_ = false;
    bool elapsed = false;
    try {
      elapsed = !services_.PauseBeforeRetry ||
                services_.PauseBeforeRetry(attempts_->PauseMs(), [this] { return pause_stopped_; });
    } catch (const std::exception&) {
      elapsed = false;  // no timer to wait with: the download cannot go on
    }
    pausing_ = false;
    if (download_stream_ == nullptr) return;  // Cancel gave it up
    if (!elapsed || close_accepted_ || Application().Terminated()) {
      FInstalling = false;
      FailDownload();
      return;
    }
  }
}

void TfrmMain::HttpCliDocData(TObject*, const void* Buffer, std::int32_t Len) {
  if (attempts_ == nullptr || download_stream_ == nullptr) return;
  if (!attempts_->BlockReceived(Buffer, Len)) {
    // An answer that cannot continue the file: the attempt ends, and the download with it.
    HttpCli.Abort();
    return;
  }
  std::int64_t received = attempts_->Received();
  if (received <= 2) return;
  double now = services_.Now ? services_.Now() : LocalDateTimeNow();
  if (!ProgressUpdateDue(now, FLastReceivedTime)) return;
  FLastReceivedTime = now;
  std::int64_t length = attempts_->Total();
  std::int32_t percent = ProgressPercent(received, length);
  if (percent != view_.ProgressPosition(ControlId::ProgressBarDownloading)) {
    view_.SetProgressPosition(ControlId::ProgressBarDownloading, percent);
    view_.SetText(ControlId::lblProgressPercent,
                  text::IntToStr(view_.ProgressPosition(ControlId::ProgressBarDownloading)) + u"%");
  }
  view_.SetText(ControlId::lblProgressText, ProgressText(received, length));
}

bool TfrmMain::ReleaseDownloadStream() {
  if (download_stream_ == nullptr) return false;
  if (HttpCli.RcvdStream() == download_stream_.get()) HttpCli.SetRcvdStream(nullptr);
  download_stream_.reset();
  return true;
}

void TfrmMain::FailDownload() {
  ReleaseDownloadStream();
  ShowEndPage(ControlId::paInstallError);
  if (plat::FileExists(FDownloadToFile)) plat::DeleteFile(FDownloadToFile);
}

void TfrmMain::HttpCliRequestDone(TObject* Sender, THttpRequest RqType, std::uint16_t ErrCode) {
  // Only the download's own request ends here; a further request-done (from a client that
  // reports one more after a failure) finds no download attached and changes nothing.
  if (download_stream_ == nullptr || held_completion_) return;
  // The user is being asked whether to give the download up: its end waits for the answer, so
  // the setup program never starts behind the question.
  if (open_questions_ > 0) {
    held_completion_ = THeldCompletion{Sender, RqType, ErrCode};
    return;
  }
  attempt_running_ = false;
  const download_retry::TAttemptVerdict verdict = attempts_->AttemptEnded(ErrCode);
  String line = attempts_->AttemptLine(ErrCode);
  if (verdict == download_retry::TAttemptVerdict::avRetry && !close_accepted_)
    line += u"; trying again in " + text::IntToStr(attempts_->PauseMs()) + u" ms";
  Log(line);
  if (verdict == download_retry::TAttemptVerdict::avComplete) {
    String verified = u"verification: the file holds the whole document, " +
                      text::IntToStr(attempts_->Received()) + u" bytes";
    const int digests = attempts_->DigestsChecked();
    if (digests > 0)
      verified += u"; its sha-256 matches " + text::IntToStr(digests) +
                  (digests == 1 ? u" digest" : u" digests") + u" the server sent";
    Log(verified);
  }
  if (verdict == download_retry::TAttemptVerdict::avRetry && !close_accepted_) {
    // The file stays open and attached; the attempt loop pauses and tries again.
    retry_due_ = true;
    return;
  }
  FInstalling = false;

  if (verdict != download_retry::TAttemptVerdict::avComplete || close_accepted_) {
    FailDownload();
    return;
  }

  // Only the file this installer downloaded, under a name nobody else took, is ever run. It
  // stays held from its creation until the setup program has been started: the client lets go
  // of it, the controller keeps it, renames it through the held handle and hands it to the run.
  if (HttpCli.RcvdStream() == download_stream_.get()) HttpCli.SetRcvdStream(nullptr);
  if (!RenameHeldDownloadToExe(FDownloadToFile, *download_stream_)) {
    Log(u"setup file cannot be prepared: " + plat::SystemErrorMessage(plat::LastFileError()));
    FailDownload();
    return;
  }
  if (!HeldFileMatches(*download_stream_, attempts_->Received(), attempts_->ReceivedSha256())) {
    Log(u"verification: the file no longer holds the bytes received");
    FailDownload();
    return;
  }

  // Only a setup program signed by the vendor, whole, runs (Windows; the Linux check answers
  // "not applicable").
  if (services_.VerifySetup) {
    plat::signature::TResult check;  // a check that raised has not passed
    try {
      check = services_.VerifySetup(FDownloadToFile);
    } catch (const std::exception& e) {
      check.Reason = e.what();
    }
    if (check.Verdict != plat::signature::TVerdict::vNotApplicable)
      Log(u"signature: " + text::FromUtf8(check.Reason));
    if (!check.Passed()) {
      FailDownload();
      return;
    }
  }

  view_.SetText(ControlId::lblProgressText, kInstallingText);
  view_.SetProgressStyle(ControlId::ProgressBarDownloading, ui::ProgressStyle::pbMarquee);
  view_.SetVisible(ControlId::lblProgressPercent, false);
  view_.SetEnabled(ControlId::btnCancel, false);

  try {
    if (services_.WriteInstallerRecord) services_.WriteInstallerRecord();
  } catch (const std::exception&) {
    FailDownload();
    return;
  }

  auto* thread = new TInstallingProcessThread(true, services_.RunSetup);
  InstallingProcessThread = thread;
  thread->SetApplicationName(FDownloadToFile);
  thread->SetHeldImage(std::move(download_stream_));
  const String command_line =
      BuildSetupCommandLine(FDownloadToFile, view_.Checked(ControlId::chbCreateDesktopIcon),
                            view_.Text(ControlId::edInstallPath));
  thread->SetCommandLine(command_line);
  Log(u"setup: " + command_line);
  thread->FreeOnTerminate = true;
  thread->OnTerminate = [this](TObject* Sender) { InstallingThreadComplete(Sender); };
  try {
    thread->Start();
  } catch (const std::exception&) {
    // No worker (the system has no thread to spare): the setup never runs, so this ends like
    // any other failure, on the Error page without the setup file.
    InstallingProcessThread = nullptr;
    delete thread;
    FailDownload();
  }
}

void TfrmMain::InstallingThreadComplete(TObject*) {
  FInstalling = false;
  plat::DeleteFile(FDownloadToFile);
  bool succeeded = InstallingProcessThread != nullptr &&
                   InstallingProcessThread->ProcessStarted() &&
                   InstallingProcessThread->InstallerExitCode() == 0;
  if (InstallingProcessThread != nullptr && InstallingProcessThread->ProcessStarted())
    Log(u"setup: exit code " + text::IntToStr(InstallingProcessThread->InstallerExitCode()));
  else
    Log(u"setup: could not be started");
  InstallingProcessThread = nullptr;
  ShowEndPage(succeeded ? ControlId::paFinish : ControlId::paInstallError);
}

void TfrmMain::btnCancelClick() {
  ui::MessageBoxRequest box;
  box.Owner = ui::MsgOwner::moWindow;
  box.Text = kCancelSetupText;
  box.Caption = view_.Caption();
  box.Buttons = ui::MsgButtons::mbYesNo;
  box.Icon = ui::MsgIcon::miQuestion;
  const bool yes = AskAboutDownload(box) == ui::idYes;
  if (terminating_) return;  // the program is ending; that path cleans up
  if (!yes) {
    ReleaseHeldCompletion();
    return;
  }
  if (held_completion_) {
    // The download ended while the question was open: it is given up all the same.
    DiscardHeldCompletion();
    return;
  }
  if (pausing_ && download_stream_ != nullptr) {
    // Between two attempts: nothing to abort; the pause ends at once.
    Log(u"cancelled by the user");
    pause_stopped_ = true;
    FInstalling = false;
    FailDownload();
    return;
  }
  // The download may have ended and been handled before the question (a second Cancel click
  // queued behind the first): then there is nothing to stop.
  if (HttpCli.RcvdStream() == nullptr) return;
  Log(u"cancelled by the user");
  HttpCli.Abort();
  view_.BringToFront(ControlId::paInstallError);
}

ui::MsgResult TfrmMain::AskAboutDownload(const ui::MessageBoxRequest& box) {
  struct Open {
    int& count;
    explicit Open(int& c) : count(c) { ++count; }
    ~Open() { --count; }
  } open(open_questions_);
  return view_.MessageBox(box);
}

void TfrmMain::ReleaseHeldCompletion() {
  if (open_questions_ > 0 || !held_completion_) return;
  THeldCompletion held = *held_completion_;
  held_completion_.reset();
  HttpCliRequestDone(held.Sender, held.RqType, held.ErrCode);
}

void TfrmMain::DiscardHeldCompletion() {
  if (!held_completion_) return;
  held_completion_.reset();
  FInstalling = false;
  FailDownload();
}

void TfrmMain::TerminateRequested() {
  if (terminating_) return;
  terminating_ = true;
  if (FInstalling) close_accepted_ = true;
  DiscardHeldCompletion();
  // Open dialogs end with the application; the download's wait ends the request as aborted.
  Application().Terminate();
  view_.Close();
}

void TfrmMain::FormCloseQuery(bool& CanClose) {
  if (!FInstalling || terminating_) return;
  ui::MessageBoxRequest box;
  box.Owner = ui::MsgOwner::moWindow;
  box.Text = kCancelInstallationText;
  box.Caption = view_.Caption();
  box.Buttons = ui::MsgButtons::mbYesNo;
  box.Icon = ui::MsgIcon::miQuestion;
  // Only the latest answer counts: an end of session asks twice, and a No after a Yes keeps the
  // download (and its outcome) as if nothing had been asked.
  const bool no = AskAboutDownload(box) == ui::idNo;
  if (terminating_) return;  // ending now, whatever was answered
  if (no) {
    CanClose = false;
    close_accepted_ = false;
    ReleaseHeldCompletion();
    return;
  }
  close_accepted_ = true;
  Log(u"window closed during the download");
  // A download that ended behind the question is given up with the window.
  DiscardHeldCompletion();
}

void TfrmMain::btnInstalledFinishClick() {
  if (view_.Checked(ControlId::chbStartVexlor) && services_.ShellOpen) {
    String folder = view_.Text(ControlId::edInstallPath);
    if (folder.empty() || folder.back() != plat::PathDelimiter())
      folder.push_back(plat::PathDelimiter());
    services_.ShellOpen(folder + kProductProgram);
  }
  view_.Close();
}

void TfrmMain::btnCancelledFinishClick() {
  view_.Close();
}

bool TfrmMain::QueryEndSession() {
  // The toolkit's own answer runs the close query; then the window is closed, which asks once
  // more. The session may end whatever was answered.
  bool can_close = true;
  FormCloseQuery(can_close);
  view_.Close();
  return true;
}

void TfrmMain::edInstallPathChangeClick() {
  std::optional<String> chosen = view_.BrowseForFolder(view_.Text(ControlId::lblDestinationFolder));
  // Cancelled, or an item without a file-system path: the folder stays as it is.
  if (!chosen || chosen->empty()) return;
  view_.SetText(ControlId::edInstallPath, BrowsedInstallFolder(*chosen, plat::PathDelimiter()));
}

void TfrmMain::lblLicenseAgreementClick() {
  int width = view_.ClientWidth();
  int height = view_.ClientHeight();
  ShowWebPageDialog(services_.LicenseUrl, true, height - 50, width - 50);
}

void TfrmMain::ShowWebPageDialog(const String& url, bool resizable, int height, int width) {
  ui::HtmlDialogRequest request;
  request.Url = url;
  request.Resizable = resizable;
  request.Height = height;
  request.Width = width;
  request.Options = HtmlDialogOptions(resizable, height, width);
  if (services_.MakePageClient) {
    auto make = services_.MakePageClient;
    request.Load = [make, url](std::string& html) {
      std::unique_ptr<IDownloadClient> client = make();
      if (!client) return false;
      TMemoryStream page;
      bool done = false;
      std::uint16_t error = 0;
      client->SetOnRequestDone([&](TObject*, THttpRequest, std::uint16_t ErrCode) {
        done = true;
        error = ErrCode;
      });
      client->SetURL(url);
      // A page past the limit fails the download (the stream refuses the write) rather than
      // filling memory and freezing the window while it is laid out.
      page.SetLimit(kMaxLicencePageBytes);
      client->SetRcvdStream(&page);
      try {
        client->Get();
      } catch (const std::exception&) {
      }
      client->SetRcvdStream(nullptr);
      client->SetOnRequestDone(nullptr);
      if (!done || error != 0 || client->StatusCode() != 200) return false;
      html.assign(page.View());
      return true;
    };
  }
  view_.ShowHtmlDialog(request);
}

void TfrmMain::OnClick(ControlId control) {
  switch (control) {
    case ControlId::imgBtnInstall:
    case ControlId::imgBtnInstallHg:
      imgBtnInstallClick();
      break;
    case ControlId::edInstallPathChange:
      edInstallPathChangeClick();
      break;
    case ControlId::lblLicenseAgreement:
      lblLicenseAgreementClick();
      break;
    case ControlId::btnCancel:
      btnCancelClick();
      break;
    case ControlId::btnInstalledFinish:
      btnInstalledFinishClick();
      break;
    case ControlId::btnCancelledFinish:
      btnCancelledFinishClick();
      break;
    default:
      break;
  }
}

// The View applies the hover pair itself; the controller has nothing to add.
void TfrmMain::OnMouseEnter(ControlId) {}
void TfrmMain::OnMouseLeave(ControlId) {}

}  // namespace installer
