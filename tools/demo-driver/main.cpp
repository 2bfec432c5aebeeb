// vexlor-demo-drive: clicks an installation through as a user would, on a private Xvfb display
// (or a given one), and saves a screenshot of every page it sees. The headless half of the demo
// command (scripts/demo); the installer must point at a running demo server.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/demo-driver/wizard.h"

namespace {

namespace fs = std::filesystem;
using drive::Page;
using ui::ControlId;

const char kUsage[] =
    "Usage: vexlor-demo-drive --installer PROGRAM --work DIR --shots DIR [--display NAME]\n"
    "                         [--wine LOADER]\n"
    "Starts PROGRAM (the installer, built for a running demo server) on a private Xvfb display\n"
    "(or on display NAME), opens the licence page, installs with the default choices, finishes\n"
    "with \"Start Vexlor\" and saves a screenshot of every page in the shots folder. The\n"
    "programs' logs go to the work folder. The installer gets this program's environment.\n"
    "With --wine, PROGRAM is a Windows program run by the Wine loader LOADER (the Wine prefix\n"
    "and settings come from the environment).\n";

constexpr int kWindowMs = 90000;  // Wine starts its services in a new prefix first
constexpr int kStepMs = 60000;

struct Failure {
  std::string what;
};

void Check(bool ok, const std::string& what) {
  if (!ok) throw Failure{what};
}

}  // namespace

int main(int argc, char** argv) {
  std::string installer, work, shots, display_name, wine;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= args.size()) {
      std::cerr << "vexlor-demo-drive: " << a << " needs a value\n\n" << kUsage;
      return 2;
    }
    const std::string& v = args[++i];
    if (a == "--installer") {
      installer = v;
    } else if (a == "--work") {
      work = v;
    } else if (a == "--shots") {
      shots = v;
    } else if (a == "--display") {
      display_name = v;
    } else if (a == "--wine") {
      wine = v;
    } else {
      std::cerr << "vexlor-demo-drive: unknown option " << a << "\n\n" << kUsage;
      return 2;
    }
  }
  if (installer.empty() || work.empty() || shots.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  fs::create_directories(work);
  fs::create_directories(shots);
  fs::path setup_log = fs::path(work) / "setup.log";
  fs::remove(setup_log);

  drive::XDisplay display;
  drive::Child program;
  std::string why;
  try {
    if (display_name.empty()) {
      Check(display.Start((fs::path(work) / "xvfb.log").string(), &why), why);
    } else {
      Check(display.Attach(display_name, &why), why);
    }
    std::map<std::string, std::string> env = display.ToolEnv();
    env["VEXLOR_DEMO_SETUP_LOG"] =
        wine.empty() ? setup_log.string() : drive::WinePath(setup_log.string());
    std::vector<std::string> command = {installer};
    if (!wine.empty()) command.insert(command.begin(), wine);
    Check(program.Start(command, env, (fs::path(work) / "installer.log").string(), &why), why);

    drive::Wizard wizard(display, shots);
    Check(wizard.Find(kWindowMs), "the installer's window did not appear");
    Check(wizard.WaitPage(Page::pgStart, kStepMs), "no Start page");
    wizard.Shot("start");

    std::cout << "demo: the licence agreement\n";
    Check(wizard.Click(ControlId::lblLicenseAgreement), "cannot click the licence link");
    Check(wizard.WaitQuestion("Vexlor End-User License Agreement", kStepMs),
          "the licence page did not come");
    wizard.Shot("licence");
    Check(wizard.CloseQuestion(kStepMs), "the licence window stayed");

    std::cout << "demo: install\n";
    Check(wizard.Click(ControlId::imgBtnInstall), "cannot click Install");
    Check(wizard.WaitPage(Page::pgInstalling, kStepMs), "no Installing page");
    // The demo server trickles the download; catch the bar on its way.
    if (drive::WaitUntil([&] { return wizard.ProgressBetween(0.45, 0.9); }, kStepMs, 100)) {
      wizard.Shot("installing-download");
    }
    Check(drive::WaitUntil([&] { return fs::exists(setup_log); }, kStepMs),
          "the setup program did not run");
    wizard.Shot("installing-setup");
    Check(wizard.WaitPage(Page::pgFinish, kStepMs), "no Finish page");
    wizard.Shot("finish");

    std::cout << "demo: finish, starting Vexlor\n";
    Check(wizard.Click(ControlId::btnInstalledFinish), "cannot click Finish");
    Check(display.WaitWindowGone(wizard.Window(), kStepMs), "the window stayed");
    auto code = program.WaitExit(kStepMs);
    Check(code.has_value(), "the installer did not end");
    Check(*code == 0, "the installer ended with " + std::to_string(*code));
  } catch (const Failure& f) {
    std::cerr << "vexlor-demo-drive: " << f.what << " (screenshots in " << shots << ")\n";
    program.Stop();
    return 1;
  }
  std::cout << "demo: done; screenshots in " << shots << "\n";
  return 0;
}
