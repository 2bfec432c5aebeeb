// The setup runner: the command line of the downloaded setup program and the worker thread that
// runs it and waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "installer/thread.h"
#include "platform/files.h"
#include "platform/text.h"

namespace installer {

// P + " /S" + (" /I " when the desktop icon is wanted, else " ") + "/D=" + F. Neither P nor F
// is quoted; "/D=" comes last and its value runs to the end of the line.
String BuildSetupCommandLine(const String& setup_file, bool create_desktop_icon,
                             const String& folder);

// Runs a program file with a command line and waits for it: true with the exit code when the
// program ran, false when it could not be started. `held_image`, when not null, is the program
// file held open against other openers (TFileMode::fmCreateHeld after EndWriting); the runner
// closes it once the program's start has returned (plat::RunProcess).
using TProcessRunner = std::function<bool(const String& application, const String& command_line,
                                          std::int32_t& exit_code, plat::TFileStream* held_image)>;
// The system's: plat::RunProcess.
TProcessRunner SystemProcessRunner();

// Runs the setup program on a worker thread. Created suspended on the user-interface thread,
// given its CommandLine, then started; its completion handler reads InstallerExitCode and
// ProcessStarted on the user-interface thread after Execute has returned.
class TInstallingProcessThread : public TThread {
 public:
  explicit TInstallingProcessThread(bool CreateSuspended,
                                    TProcessRunner Runner = SystemProcessRunner());

  const String& CommandLine() const { return FCommandLine; }
  void SetCommandLine(const String& Value) { FCommandLine = Value; }
  // The program file to run. The command line starts with its path unquoted, which the system
  // would otherwise read up to the first blank that ends an existing file name; naming the
  // file makes sure that the downloaded program, and nothing planted on a shorter path, runs.
  const String& ApplicationName() const { return FApplicationName; }
  void SetApplicationName(const String& Value) { FApplicationName = Value; }
  // The program file, held open since its download began; handed to the runner, and closed at
  // the latest when the runner returns.
  void SetHeldImage(std::unique_ptr<plat::TFileStream> Value) { FHeldImage = std::move(Value); }
  std::int32_t InstallerExitCode() const { return FExitCode; }
  void SetInstallerExitCode(std::int32_t Value) { FExitCode = Value; }
  // The setup program could be started; its exit code is only meaningful then.
  bool ProcessStarted() const { return FProcessStarted; }

 protected:
  void Execute() override;

 private:
  String FCommandLine;
  std::int32_t FExitCode = 0;
  String FApplicationName;
  bool FProcessStarted = false;
  TProcessRunner FRunner;
  std::unique_ptr<plat::TFileStream> FHeldImage;
};

}  // namespace installer
