// vexlor-installer: the program entry. It takes no arguments.
//
// Start-up seeds the pseudo-random generator of the download names, creates the toolkit's
// application (FLTK's loop with the thread's message queue attached on Linux; on Windows the
// queue's own loop, with COM initialised for the thread), the wizard window, the HTTP client
// with the installer's settings and the controller, shows the window and runs the loop until
// the window closes. On Windows this is a GUI program (no console) with the same entry. A
// termination signal (Linux) closes the window without a question, the partial download
// removed, and ends the program by that signal.
#include <memory>

#include "http/httpcli.h"
#include "http/system_proxy.h"
#include "installer/download_target.h"
#include "installer/main_form.h"
#include "installer/termination_watch.h"
#include "platform/termination.h"
#include "ui/toolkit.h"

namespace {

// The settings the installer's form stores for its HTTP client; everything else keeps the
// client's own defaults (HTTP/1.0, relocations followed up to 5 times, 30 s idle time-out).
std::unique_ptr<THttpCli> MakeHttpCli() {
  auto client = std::make_unique<THttpCli>(nullptr);
  client->SetAgent(u"Mozilla/4.0 (compatible; Vexlor)");
  return client;
}

}  // namespace

int main() {
  installer::SeedRandomGenerator();
  std::unique_ptr<TApplicationBase> application = ui::CreateToolkitApplication();
  std::unique_ptr<ui::View> view = ui::CreateWizardView();
  std::unique_ptr<THttpCli> http_cli = MakeHttpCli();

  installer::TInstallerServices services = installer::TInstallerServices::System();
  // Both clients go the way the system's proxy settings name for their URL.
  services.RouteRequest = [cli = http_cli.get()](const String& url, String& route) {
    const plat::proxy::TProxyRoute chosen = system_proxy::UseSystemProxy(*cli, url);
    route = chosen.Configured() ? plat::proxy::DescribeRoute(chosen) : String();
    return chosen.Usable();
  };
  services.MakePageClient = [url = services.LicenseUrl]() -> std::unique_ptr<IDownloadClient> {
    std::unique_ptr<THttpCli> client = MakeHttpCli();
    // A page behind an unusable proxy setting is not loaded, as one that cannot be fetched.
    if (!system_proxy::UseSystemProxy(*client, url).Usable()) return nullptr;
    return client;
  };
  int ended_by_signal = 0;
  {
    installer::TfrmMain form(*view, *http_cli, std::move(services));
    // A termination signal closes the window as "Yes" to the close question would.
    installer::TTerminationWatch termination([&form] { form.TerminateRequested(); });
    view->Show();
    application->Run();
    ended_by_signal = termination.Signal();
  }
  if (ended_by_signal != 0) {
    // Everything is cleaned up; the parent learns that the signal ended the program.
    http_cli.reset();
    view.reset();
    application.reset();
    plat::RaiseTerminationSignal(ended_by_signal);
  }
  return 0;
}
