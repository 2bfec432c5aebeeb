// The two targets of the end-to-end scenarios.
#include "tests/e2e/targets.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "installer/running_product.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace e2e {

namespace {

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool AppendText(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::app);
  out << text;
  return static_cast<bool>(out);
}

bool WriteText(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// Runs a program to its end with its output appended to the file `out`. Wine's service processes,
// which a Wine program may start and which outlive it, inherit the output: in a file it keeps
// nobody waiting, where a pipe would stay open as long as they run.
int RunToFile(const std::vector<std::string>& argv, int timeout_ms, const Env& env,
              const fs::path& out) {
  std::vector<std::string> sh = {"/bin/sh", "-c", "out=$1; shift; exec \"$@\" >>\"$out\" 2>&1",
                                 "sh", out.string()};
  sh.insert(sh.end(), argv.begin(), argv.end());
  return drive::RunTool(sh, timeout_ms, nullptr, env);
}

// Runs `argv` (which makes `folder`) once per run of this test program, under a lock on the
// folder: the test programs of a run may start side by side. `done` remembers the success.
bool MakeOncePerRun(bool& done, const fs::path& folder, const std::vector<std::string>& argv,
                    const std::string& what, std::string* why) {
  if (done) return true;
  fs::create_directories(folder.parent_path());
  int lock = open((folder.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) close(lock);
    *why = "cannot lock " + folder.string();
    return false;
  }
  done = RunToFile(argv, 120000, {}, folder.string() + ".log") == 0;
  flock(lock, LOCK_UN);
  close(lock);
  if (!done) *why = "cannot " + what + ", see " + folder.string() + ".log";
  return done;
}

// The Linux program: its registry is a folder tree and its mutexes are locks in a runtime
// folder, both moved into the test's folder through the environment, which the test process
// shares so that it reads what the programs write.
class LinuxTarget : public Target {
 public:
  bool Available(std::string*) const override { return true; }
  std::string Host() const override { return VEXLOR_E2E_HOST; }
  int Port() const override { return VEXLOR_E2E_PORT; }
  std::string SetupFile() const override { return VEXLOR_E2E_SETUP; }
  std::optional<std::string> SetupVariant(const std::string&) const override {
    return std::nullopt;
  }
  int WindowMs() const override { return 20000; }

  bool Prepare(const fs::path& work, std::string* why) override {
    work_ = work;
    if (!MakeDemoTls(why)) return false;
    for (const char* sub : {"registry", "tmp", "home", "Program Files"})
      fs::create_directories(work / sub);
    fs::create_directories(work / "run");
    fs::permissions(work / "run", fs::perms::owner_all);
    plat::SetEnvVar(u"VEXLOR_REGISTRY_ROOT", text::FromUtf8((work / "registry").string()));
    plat::SetEnvVar(u"XDG_RUNTIME_DIR", text::FromUtf8((work / "run").string()));
    plat::TRegistryKey key;
    if (!key.Open(plat::TRegistryRoot::rkLocalMachine,
                  u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", plat::kKeyWrite, true) ||
        !key.WriteString(u"ProgramFilesDir", text::FromUtf8((work / "Program Files").string()))) {
      *why = "cannot write the test's registry";
      return false;
    }
    return true;
  }

  Env ProgramEnv(const Env& env) const override {
    Env out = env;
    out["HOME"] = (work_ / "home").string();
    out["TMPDIR"] = (work_ / "tmp").string();
    out["VEXLOR_REGISTRY_ROOT"] = (work_ / "registry").string();
    out["XDG_RUNTIME_DIR"] = (work_ / "run").string();
    // OpenSSL's default roots: the demo server's test root alone.
    out["SSL_CERT_FILE"] = (DemoTlsFolder() / "root.pem").string();
    // Under the sanitizers, the programs' leak check knows the toolkit's own leaks.
    out["LSAN_OPTIONS"] = "suppressions=" VEXLOR_E2E_LSAN_SUPPRESSIONS;
    return out;
  }

  std::vector<std::string> Command(const std::string& program,
                                   const std::vector<std::string>& args) const override {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  std::string Installer() const override { return VEXLOR_E2E_INSTALLER; }
  std::string Product() const override { return VEXLOR_E2E_PRODUCT; }
  void Shutdown() override {}

  std::string ProgramPath(const fs::path& path) const override { return path.string(); }
  char Delimiter() const override { return '/'; }
  std::string InstallerFileName() const override { return "vexlor-installer"; }
  std::string DesktopIconFile() const override { return "Vexlor.desktop"; }

  std::string InstallerRecord() override {
    plat::TRegistryKey key;
    if (!key.Open(plat::TRegistryRoot::rkLocalMachine, u"Software\\Norvane\\Vexlor", plat::kKeyRead,
                  false)) {
      return "<no key>";
    }
    String value;
    if (!key.ReadString(u"InstallerFileName", value)) return "<no value>";
    return text::ToUtf8(value);
  }

  bool ProductRunning() override { return installer::IsProductRunning(); }
  std::optional<std::string> HtmlDialogRecord() const override { return std::nullopt; }

 private:
  fs::path work_;
};

// The Windows program under Wine. Each test gets a Wine prefix of its own (so its own
// wineserver, registry and mutexes), copied from a template prefix that is made once per build
// folder: the system files are hard links to the template's, the registry files real copies,
// edited before the prefix first runs so that the temporary folder (TEMP and TMP of the user's
// environment) and "ProgramFilesDir" lie in the test's folder, reached through Wine's drive Z:.
//
// The Windows program runs only a setup program signed by the vendor: at the first test of a run
// the demo setup is signed with a test certificate made then (tools/test-signing/sign-setups.sh,
// once per run under a lock), and each test's prefix trusts that test's root: its key in the
// machine's ROOT store is added to the prefix's system.reg with the other edits.
//
// No Wine prompt can stop a test: the .NET runtime and the desktop integration are switched
// off, and the HTML dialog library is taken only from the installer's folder, where the tests'
// stand-in lies (Wine here has no HTML engine, and its own library would offer to download one).
//
// The build that made the programs describes them in tests/e2e/e2e-target.txt of its folder
// ("name=value" lines: host, port, installer, setup, product, wine); this test program is
// given that file through VEXLOR_E2E_WINDOWS_TARGET (environment, else build setting).
class WineTarget : public Target {
 public:
  WineTarget() {
    std::string file;
    if (const char* env = std::getenv("VEXLOR_E2E_WINDOWS_TARGET"); env && *env) file = env;
#ifdef VEXLOR_E2E_WINDOWS_TARGET
    if (file.empty()) file = VEXLOR_E2E_WINDOWS_TARGET;
#endif
    if (file.empty()) {
      missing_ = "no Windows build named (VEXLOR_E2E_WINDOWS_TARGET)";
      return;
    }
    std::istringstream in(ReadText(file));
    std::string line;
    while (std::getline(in, line)) {
      std::size_t eq = line.find('=');
      if (eq != std::string::npos) facts_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (const char* key : {"host", "port", "installer", "setup", "product", "wine"}) {
      if (facts_[key].empty()) {
        missing_ = file + " names no " + key + " (is the Windows build configured?)";
        return;
      }
    }
    for (const char* key : {"installer", "setup", "product", "wine"}) {
      if (!fs::exists(facts_[key])) {
        missing_ = facts_[key] + " is missing (build the target vexlor-e2e-windows)";
        return;
      }
    }
    wineserver_ = (fs::path(facts_["wine"]).parent_path() / "wineserver").string();
    if (!fs::exists(wineserver_)) wineserver_ = "/usr/lib/wine/wineserver";
  }

  bool Available(std::string* why) const override {
    if (missing_.empty()) return true;
    *why = missing_;
    return false;
  }
  std::string Host() const override {
    return facts_.at("host");
  }
  int Port() const override {
    return std::stoi(facts_.at("port"));
  }
  std::string SetupFile() const override {
    return (Signing() / "signed.exe").string();
  }
  std::optional<std::string> SetupVariant(const std::string& name) const override {
    return (Signing() / name).string();
  }
  int WindowMs() const override {
    return 90000;
  }

  bool Prepare(const fs::path& work, std::string* why) override {
    work_ = work;
    for (const char* sub : {"tmp", "home", "Program Files"})
      fs::create_directories(work / sub);
    fs::path tpl = fs::path(VEXLOR_E2E_WORK_DIR) / "wine-template";
    if (!MakeTemplate(tpl, why)) return false;
    if (!SignSetup(why) || !MakeDemoTls(why)) return false;
    prefix_ = work / "prefix";
    if (!CopyPrefix(tpl, prefix_, why)) return false;
    // The roots of the signed setup and of the demo server's TLS certificate.
    for (const fs::path& reg : {Signing() / "root-wine.reg", DemoTlsFolder() / "root-wine.reg"}) {
      std::string root = ReadText(reg);
      if (root.empty() || !AppendText(prefix_ / "system.reg", root)) {
        *why = "cannot add the test root " + reg.string() + " to the prefix's registry";
        return false;
      }
    }
    if (!SetRegistryValue(prefix_ / "user.reg", "[Environment]", "TEMP",
                          ProgramPath(work / "tmp")) ||
        !SetRegistryValue(prefix_ / "user.reg", "[Environment]", "TMP",
                          ProgramPath(work / "tmp")) ||
        !SetRegistryValue(prefix_ / "system.reg",
                          "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion]", "ProgramFilesDir",
                          ProgramPath(work / "Program Files"))) {
      *why = "cannot set the temporary and program folders in the prefix's registry";
      return false;
    }
    // The prefix's server stays until Shutdown, so the programs of a test do not each start
    // one; it loads the edited registry now.
    if (RunToFile({wineserver_, "-p"}, 30000, WineEnv(), work / "wineserver.log") != 0) {
      *why = "wineserver did not start";
      return false;
    }
    return true;
  }

  Env ProgramEnv(const Env& env) const override {
    Env out = env;
    for (const auto& [k, v] : WineEnv())
      out[k] = v;
    out["HOME"] = (work_ / "home").string();
    out["VEXLOR_E2E_HTML_DIALOG_RECORD"] = ProgramPath(work_ / "html-dialog.txt");
    return out;
  }

  std::vector<std::string> Command(const std::string& program,
                                   const std::vector<std::string>& args) const override {
    std::vector<std::string> argv = {facts_.at("wine"), program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  std::string Installer() const override {
    return facts_.at("installer");
  }
  std::string Product() const override {
    return facts_.at("product");
  }

  void Shutdown() override {
    if (prefix_.empty()) return;
    // Every Windows process of the prefix (the installer, a setup, a product) and its server.
    RunToFile({wineserver_, "-k"}, 15000, WineEnv(), work_ / "wineserver.log");
    RunToFile({wineserver_, "-w"}, 15000, WineEnv(), work_ / "wineserver.log");
  }

  std::string ProgramPath(const fs::path& path) const override {
    return drive::WinePath(path.string());
  }
  char Delimiter() const override {
    return '\\';
  }
  std::string InstallerFileName() const override {
    return "vexlor-installer.exe";
  }
  std::string DesktopIconFile() const override {
    return "Vexlor.url";
  }

  std::string InstallerRecord() override {
    fs::path file = work_ / "reg-query.txt";
    fs::remove(file);
    int rc = RunToFile(
        Command("reg", {"query", "HKLM\\Software\\Norvane\\Vexlor", "/v", "InstallerFileName"}),
        60000, ProgramEnv({}), file);
    std::string out = ReadText(file);
    // "    InstallerFileName    REG_SZ    vexlor-installer.exe"
    std::size_t at = out.find("REG_SZ");
    if (rc != 0 || at == std::string::npos) {
      return out.find("key") != std::string::npos ? "<no key>" : "<no value>";
    }
    std::string value = out.substr(at + 6);
    std::size_t a = value.find_first_not_of(" \t");
    std::size_t b = value.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : value.substr(a, b - a + 1);
  }

  bool ProductRunning() override {
    return RunToFile(Command(Product(), {"--running"}), 60000, ProgramEnv({}),
                     work_ / "product-running.txt") == 0;
  }

  std::optional<std::string> HtmlDialogRecord() const override {
    return ReadText(work_ / "html-dialog.txt");
  }

 private:
  Env WineEnv() const {
    return {
        {"WINEPREFIX", prefix_.string()},
        {"WINELOADER", facts_.at("wine")},
        {"WINEDEBUG", "-all"},
        {"WINEDLLOVERRIDES", "mscoree=;winemenubuilder.exe=d;mshtml=n"},
    };
  }

  fs::path Signing() const {
    return fs::path(VEXLOR_E2E_WORK_DIR) / "signing-windows";
  }

  // The signed forms of the demo setup, made once per run of this test program.
  bool SignSetup(std::string* why) {
    static bool signed_this_run = false;
    const std::string signer = facts_.count("signer") ? facts_.at("signer") : "Norvane";
    return MakeOncePerRun(signed_this_run, Signing(),
                          {VEXLOR_E2E_SIGN_SCRIPT, facts_.at("setup"), Signing().string(), signer},
                          "sign the demo setup", why);
  }

  // The template prefix, made once (wineboot) under a lock, so test programs that run at the
  // same time make it once.
  bool MakeTemplate(const fs::path& tpl, std::string* why) {
    fs::create_directories(tpl.parent_path());
    int lock = open((tpl.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
      if (lock >= 0) close(lock);
      *why = "cannot lock the template prefix";
      return false;
    }
    fs::path ready = tpl.string() + ".ready";
    bool ok = fs::exists(ready);
    if (!ok) {
      fs::remove_all(tpl);
      Env env = {{"WINEPREFIX", tpl.string()},
                 {"WINELOADER", facts_.at("wine")},
                 {"WINEDEBUG", "-all"},
                 {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"},
                 {"DISPLAY", ""}};
      fs::path log = tpl.string() + ".log";
      // A program that crashes gets Wine's debugger, which prints its backtrace and ends;
      // without this setting it would also open a crash window that waits for a click.
      ok = RunToFile({facts_.at("wine"), "wineboot", "-i"}, 300000, env, log) == 0 &&
           RunToFile({facts_.at("wine"), "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v",
                      "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f"},
                     60000, env, log) == 0 &&
           RunToFile({wineserver_, "-w"}, 60000, env, log) == 0 && fs::exists(tpl / "system.reg") &&
           WriteText(ready, "made by wineboot -i\n");
      if (!ok) *why = "wineboot could not make the template prefix " + tpl.string();
    }
    flock(lock, LOCK_UN);
    close(lock);
    return ok;
  }

  static bool CopyPrefix(const fs::path& from, const fs::path& to, std::string* why) {
    std::error_code ec;
    fs::remove_all(to, ec);
    fs::create_directories(to, ec);
    fs::path dest;
    for (auto it = fs::recursive_directory_iterator(from, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      dest = to / it->path().lexically_relative(from);
      if (it->is_symlink()) {
        fs::copy_symlink(it->path(), dest, ec);
      } else if (it->is_directory()) {
        fs::create_directories(dest, ec);
      } else if (it->path().extension() == ".reg" || it->path().extension() == ".ini") {
        // Written by Wine: real copies.
        fs::copy_file(it->path(), dest, ec);
      } else {
        fs::create_hard_link(it->path(), dest, ec);
        if (ec) {
          ec.clear();
          fs::copy_file(it->path(), dest, ec);
        }
      }
      if (ec) break;
    }
    if (ec) *why = "cannot copy the template prefix to " + dest.string() + ": " + ec.message();
    return !ec;
  }

  // Sets a string value in a section of a Wine registry file, in the file's own escaping.
  static bool SetRegistryValue(const fs::path& file, const std::string& section,
                               const std::string& name, const std::string& value) {
    std::string escaped;
    for (char c : value) {
      if (c == '\\' || c == '"') escaped += '\\';
      escaped += c;
    }
    std::istringstream in(ReadText(file));
    std::string line, out;
    bool in_section = false, done = false;
    std::string key = "\"" + name + "\"=";
    while (std::getline(in, line)) {
      if (!line.empty() && line[0] == '[') {
        if (in_section && !done) {
          out += key + "\"" + escaped + "\"\n";
          done = true;
        }
        in_section = line.compare(0, section.size() + 1, section + " ") == 0;
      }
      if (in_section && line.compare(0, key.size(), key) == 0) {
        line = key + "\"" + escaped + "\"";
        done = true;
      }
      out += line + "\n";
    }
    return done && WriteText(file, out);
  }

  std::map<std::string, std::string> facts_;
  std::string missing_;
  std::string wineserver_;
  fs::path work_, prefix_;
};

}  // namespace

const char* TargetName(TargetKind kind) {
  return kind == TargetKind::tkLinux ? "Linux" : "Windows";
}

// One folder per test program: the programs of a run (the Linux and the Windows scenarios) run
// side by side, and the script makes its folder afresh. It goes when the program ends.
fs::path DemoTlsFolder() {
  return fs::path(VEXLOR_E2E_WORK_DIR) / ("demo-tls-" + std::to_string(getpid()));
}

bool MakeDemoTls(std::string* why) {
  static bool made_this_run = false;
  static const struct Remover {
    ~Remover() {
      std::error_code ec;
      fs::remove_all(DemoTlsFolder(), ec);
      fs::remove(DemoTlsFolder().string() + ".lock", ec);
      fs::remove(DemoTlsFolder().string() + ".log", ec);
    }
  } remover;
  return MakeOncePerRun(made_this_run, DemoTlsFolder(),
                        {VEXLOR_E2E_TLS_SCRIPT, DemoTlsFolder().string()},
                        "make the demo server's TLS certificate", why);
}

std::unique_ptr<Target> MakeTarget(TargetKind kind) {
  if (kind == TargetKind::tkLinux) return std::make_unique<LinuxTarget>();
  return std::make_unique<WineTarget>();
}

}  // namespace e2e
