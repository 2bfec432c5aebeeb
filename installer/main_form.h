// TfrmMain: the wizard's controller. It holds the state of the installation, decides which of
// the four pages is in front and reacts to the user (through the View), to the download client
// and to the end of the setup run.
//
// The flow: the install click checks that the product is not running, creates the download
// file exclusively in the temporary folder and runs the client's synchronous Get, inside which
// every other handler runs (progress, Cancel, the close question, the request's end). A
// successful request (whose document matched every sha-256 digest its answers carried) renames
// the file to ".exe", checks its code signature (Windows), switches the Installing page to its
// install look, writes the installer record and starts TInstallingProcessThread; its completion
// deletes the setup file and shows the Finish page (exit code 0) or the Error page.
//
// The download is tried again after a failure that may pass (a cut, a reset, the idle time-out,
// a failed lookup, a 5xx answer), up to five times with growing pauses, and resumes where the
// file ends when the server can prove it is the same document (download_retry.h). The file stays
// open and attached throughout; the Installing page keeps its texts, and its figures continue.
// Cancel and closing the window work during a pause as during an attempt.
//
// Failures always end on the Error page with nothing left in the temporary folder: a download
// that failed, was cancelled or was abandoned by closing the window; a download file that cannot
// be created; a rename that failed or found a file in the way; a setup program whose signature
// is missing, broken or not the vendor's (it is deleted unrun); an installer record that cannot
// be written; a setup program that cannot be started or exits with a code other than 0.
//
// The questions about the download (Cancel's "Exit Setup?" and the close question) leave the
// download running. A download that ends while one of them is open is held until the user has
// answered: "Yes" deletes the file and runs nothing (Error page, or the window closes, as the
// question said); "No" handles the held end then, exactly as if it had just arrived.
//
// A termination request from the system (TerminateRequested) ends the program as closing the
// window with "Yes" does, without a question: a download in progress is given up and its file
// removed; a question that is open counts as answered "Yes".
//
// Threads: the user-interface thread only. Handlers may run nested inside the client's Get and
// inside the View's modal dialogs; each reads the state afresh.
//
// The download file is held from its creation until the setup program has been started: others
// may read it but not write, rename or delete it (TFileMode::fmCreateHeld). The stream stays
// open across retries, renames the file to ".exe" through its own handle, gives up its write
// access and goes to the setup-runner thread, whose start of the program closes it.
//
// Ownership: borrows the View and the client, which must outlive it; owns the download file's
// stream while a download runs, until it hands it to the setup-runner thread. The setup-runner
// thread frees itself; the controller keeps a pointer to it only until its completion handler has
// run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "http/download_client.h"
#include "http/download_retry.h"
#include "installer/download_target.h"
#include "installer/setup_runner.h"
#include "installer/setup_signature.h"
#include "platform/files.h"
#include "ui/view.h"

namespace installer {

// The operations of the steps that reach the system, replaceable for tests. The defaults are
// the real ones.
struct TInstallerServices {
  std::function<bool()> IsProductRunning;
  std::function<void()> WriteInstallerRecord;  // raises on failure
  TProcessRunner RunSetup;
  // The check of the downloaded setup program before it runs (default: VerifySetupSignature);
  // empty: none.
  std::function<plat::signature::TResult(const String& file)> VerifySetup;
  std::function<void(const String& file)> ShellOpen;
  TDateTimeClock Now;
  std::function<String()> DefaultInstallFolder;
  // A fresh client for the licence page; empty: the page is not fetched.
  std::function<std::unique_ptr<IDownloadClient>()> MakePageClient;
  String DownloadUrl;
  String LicenseUrl;
  // The pause before a retry of the download: waits `ms` on the timers' clock while the
  // thread's messages are dispatched; false when `stop` read true or the application is ending.
  std::function<bool(std::uint32_t ms, const std::function<bool()>& stop)> PauseBeforeRetry;
  // The first of those pauses; the later ones double it, up to eight times.
  std::uint32_t FirstRetryPauseMs = 1000;
  // One line of the log for support (support_log.h); may be empty. Failures are ignored.
  std::function<void(const String& line)> Log;
  // Chooses the way to the download's URL before each attempt (the system's proxy settings:
  // http/system_proxy.h) and describes it in `route`, without credentials (empty when no proxy
  // is set at all: nothing is logged then); false when the setting cannot be used, which fails
  // the download. Empty function: the client's settings stay.
  std::function<bool(const String& url, String& route)> RouteRequest;

  static TInstallerServices System();
};

// The message box texts.
inline const String kProductRunningText =
    u"Vexlor must be closed during this installation.\r\nPlease close Vexlor now and press "
    u"\"Retry\" to continue, or press \"Cancel\" to abort the installation entirely.";
inline const String kProductRunningCaption = u"Vexlor";
inline const String kCancelSetupText =
    u"Setup is not complete.If you exit now, the program will not be installed.\r\nYou may run "
    u"Setup again at another time to complete the installation.\r\n\r\nExit Setup?";
inline const String kCancelInstallationText = u"Cancel installation?";
inline const String kInstallingText = u"Installing Vexlor...";
inline const String kProductProgram = u"vexlor.exe";
// The largest licence page the installer fetches for a toolkit without a browser; a larger one
// counts as not loaded.
constexpr std::int64_t kMaxLicencePageBytes = 1024 * 1024;

class TfrmMain : public ui::ViewListener {
 public:
  TfrmMain(ui::View& view, IDownloadClient& http_cli,
           TInstallerServices services = TInstallerServices::System());
  ~TfrmMain() override;
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  // Handlers.
  void FormCreate();
  void imgBtnInstallClick();
  void edInstallPathChangeClick();
  void lblLicenseAgreementClick();
  void btnCancelClick();
  void FormCloseQuery(bool& CanClose);
  void btnInstalledFinishClick();
  void btnCancelledFinishClick();
  void HttpCliDocData(TObject* Sender, const void* Buffer, std::int32_t Len);
  void HttpCliRequestDone(TObject* Sender, THttpRequest RqType, std::uint16_t ErrCode);
  void InstallingThreadComplete(TObject* Sender);
  bool QueryEndSession();
  // The system asks the program to end (a termination signal): the window closes without a
  // question and a download in progress is given up, its file removed.
  void TerminateRequested();

  // ViewListener.
  void OnClick(ui::ControlId control) override;
  void OnMouseEnter(ui::ControlId control) override;
  void OnMouseLeave(ui::ControlId control) override;
  void OnCloseQuery(bool& can_close) override { FormCloseQuery(can_close); }
  bool OnQueryEndSession() override { return QueryEndSession(); }

  // State, for the program entry and for tests.
  const String& DownloadToFile() const { return FDownloadToFile; }
  bool Installing() const { return FInstalling; }
  double LastReceivedTime() const { return FLastReceivedTime; }
  // A setup run has started and its completion has not been handled yet.
  bool SetupRunning() const { return InstallingProcessThread != nullptr; }

 private:
  // Ends a download that failed or was given up: the file is closed and deleted, the Error page
  // comes to the front.
  void FailDownload();
  // Detaches and closes the download file; false when none was attached.
  bool ReleaseDownloadStream();
  // Shows a question about the download in progress; while it is open, the download's end is
  // held.
  ui::MsgResult AskAboutDownload(const ui::MessageBoxRequest& box);
  // After a question was answered "No": once no question is open any more, a held end of the
  // download is handled as if it had just arrived.
  void ReleaseHeldCompletion();
  // After a question was answered "Yes" (or the program is ending): a held end of the download
  // is dropped, with the file.
  void DiscardHeldCompletion();
  void ShowWebPageDialog(const String& url, bool resizable, int height, int width);
  // The attempts of the download, with the pauses between them; returns when it has ended or
  // was given up.
  void RunDownload();
  // Writes one line to the log; nothing it does can fail the installation.
  void Log(const String& line);
  // Brings the Finish or the Error page to the front, and says so in the log.
  void ShowEndPage(ui::ControlId page);

  ui::View& view_;
  IDownloadClient& HttpCli;
  TInstallerServices services_;

  String FDownloadToFile;
  double FLastReceivedTime = 0;
  bool FInstalling = false;
  TInstallingProcessThread* InstallingProcessThread = nullptr;

  std::unique_ptr<plat::TFileStream> download_stream_;
  std::unique_ptr<download_retry::TResumableDownload> attempts_;
  bool attempt_running_ = false;   // the current attempt has not reported its end
  bool retry_due_ = false;         // the attempt that ended is to be tried again
  bool pausing_ = false;           // between two attempts
  bool pause_stopped_ = false;     // Cancel ended the pause
  bool download_started_ = false;  // one download per run
  bool close_accepted_ = false;    // the user agreed to cancel by closing the window
  bool terminating_ = false;       // the system asked the program to end
  String logged_route_;            // the way to the server the log named last

  // The questions about the download that are open (a close question may open over Cancel's).
  int open_questions_ = 0;
  // The end of the download that arrived while a question was open.
  struct THeldCompletion {
    TObject* Sender;
    THttpRequest RqType;
    std::uint16_t ErrCode;
  };
  std::optional<THeldCompletion> held_completion_;
};

}  // namespace installer
