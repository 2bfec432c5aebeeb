// The programs the end-to-end scenarios drive, one target per build of the installer: the
// Linux program as it is, and the Windows program under Wine. A scenario is written once against
// this interface and runs once per target.
//
// A target knows how to start its programs, where the machine it gives them keeps the
// temporary folder, the program folder and the registry, how to read the installer's record
// and whether the product's mutex exists, and how its programs write paths.
//
// Threads: one; a target belongs to the test that made it.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/demo-driver/x_session.h"

namespace e2e {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

enum class TargetKind { tkLinux, tkWindows };

const char* TargetName(TargetKind kind);

class Target {
 public:
  virtual ~Target() = default;

  // False, with the reason, when this target's programs are not at hand here (no Windows build
  // was named to this test program).
  virtual bool Available(std::string* why) const = 0;

  // The demo server's address the programs were built for.
  virtual std::string Host() const = 0;
  virtual int Port() const = 0;
  // The demo setup program (with the demo product inside) that the server delivers. Windows: the
  // program signed at test time by the vendor's test certificate (valid after Prepare).
  virtual std::string SetupFile() const = 0;
  // Another signed form of the setup program (tools/test-signing/sign-setups.sh names them:
  // "tampered.exe", "unsigned.exe", "other-signer.exe", "untrusted-root.exe"); nullopt where
  // programs carry no code signature (Linux).
  virtual std::optional<std::string> SetupVariant(const std::string& name) const = 0;
  // Limit for the installer's window to appear: Wine starts its services in a new prefix first.
  virtual int WindowMs() const = 0;

  // Prepares the machine of one test under `work`: its temporary folder work/tmp, its program
  // folder work/"Program Files" (the registry's "ProgramFilesDir"), and whatever else the
  // target needs there. After this, the test process reads the same registry and mutexes as
  // the programs it starts.
  virtual bool Prepare(const fs::path& work, std::string* why) = 0;
  // The environment of every program the test starts, on top of the common one in `env`.
  virtual Env ProgramEnv(const Env& env) const = 0;
  // The command line that runs `program` (a program file of this target) here.
  virtual std::vector<std::string> Command(const std::string& program,
                                           const std::vector<std::string>& args = {}) const = 0;
  // The installer program and the demo product of this target.
  virtual std::string Installer() const = 0;
  virtual std::string Product() const = 0;
  // Ends whatever the test's programs left running. Called at the end of every test.
  virtual void Shutdown() = 0;

  // A path of this machine as the target's programs write it and read it.
  virtual std::string ProgramPath(const fs::path& path) const = 0;
  // The folder delimiter of the target's paths.
  virtual char Delimiter() const = 0;
  // The installer's file name as it records it ("InstallerFileName").
  virtual std::string InstallerFileName() const = 0;
  // The desktop icon file the demo setup writes.
  virtual std::string DesktopIconFile() const = 0;

  // The installer's record in the registry: the value, or "<no key>" / "<no value>".
  virtual std::string InstallerRecord() = 0;
  // True when the running-product mutex exists on the target's machine.
  virtual bool ProductRunning() = 0;
  // What the licence link handed to the system's HTML dialog, when the target can see that
  // ("name=value" lines); nullopt when the dialog is the program's own window.
  virtual std::optional<std::string> HtmlDialogRecord() const = 0;
};

std::unique_ptr<Target> MakeTarget(TargetKind kind);

// The demo server's TLS certificate for "localhost" and its test root
// (tools/test-signing/make-tls-server.sh), made once per test program in a folder of its own
// (removed at its end). Every target's
// programs trust that root (Linux: SSL_CERT_FILE; Windows: the prefix's ROOT store), so a
// scenario can send the download to the server's https address.
fs::path DemoTlsFolder();
bool MakeDemoTls(std::string* why);

}  // namespace e2e
