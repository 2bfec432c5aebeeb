// vexlor.exe: the demo product. While it runs it holds the running-product mutex of the machine,
// named by the installer's own RunningProductKey, so the installer's Retry question can be seen.
//
//   vexlor.exe [--seconds N]
//   vexlor.exe --running
//
// It runs for N seconds (default: VEXLOR_DEMO_PRODUCT_SECONDS, else 30, at most one hour) or
// until a file "vexlor.quit" appears beside it, whichever comes first. Beside itself it keeps
// "vexlor.running" while it runs and appends "started" and "stopped" lines to "vexlor.log", so
// a test or a user can see that it was started. A second copy started while one runs finds the
// mutex taken and ends at once; a copy that cannot hold the mutex at all ends at once with exit
// status 1.
//
// With --running it only asks, as the installer does, whether the product runs: exit code 0
// when the running-product mutex exists, 1 when not. Tests use it to look at the mutexes of a
// system they cannot reach themselves (a Wine prefix's).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "installer/running_product.h"
#include "platform/files.h"
#include "platform/named_mutex.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultSeconds = 30;
constexpr int kMaxSeconds = 3600;

int ParseSeconds(const String& s, int fallback) {
  if (s.empty() || s.size() > 6) return fallback;
  int n = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return fallback;
    n = n * 10 + (c - u'0');
  }
  return std::min(n, kMaxSeconds);
}

void AppendLine(const fs::path& file, const std::string& line) {
  std::ofstream(file, std::ios::app) << line << "\n";
}

}  // namespace

int main() {
  std::vector<String> args = plat::ProgramArguments();
  int seconds = ParseSeconds(plat::GetEnvVar(u"VEXLOR_DEMO_PRODUCT_SECONDS"), kDefaultSeconds);
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == u"--running") return installer::IsProductRunning() ? 0 : 1;
    if (args[i] == u"--seconds" && i + 1 < args.size())
      seconds = ParseSeconds(args[i + 1], seconds);
  }

  fs::path self(plat::ModuleFileName());
  fs::path folder = self.parent_path();
  fs::path running = folder / "vexlor.running";
  fs::path quit = folder / "vexlor.quit";
  fs::path log = folder / "vexlor.log";

  String key = installer::RunningProductKey();
  plat::TNamedMutex mutex(key);
  if (mutex.AlreadyExisted()) {
    AppendLine(log, "already running");
    return 0;
  }
  // Running without the mutex would let the installer believe the product is not running.
  if (!mutex.Valid()) {
    AppendLine(log, "cannot hold the running-product mutex");
    return 1;
  }
  std::error_code ec;
  fs::remove(quit, ec);
  AppendLine(log, "started " + text::ToUtf8(key));
  std::ofstream(running) << text::ToUtf8(key) << "\n";

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline && !fs::exists(quit, ec)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  fs::remove(running, ec);
  fs::remove(quit, ec);
  mutex.Close();
  AppendLine(log, "stopped");
  return 0;
}
