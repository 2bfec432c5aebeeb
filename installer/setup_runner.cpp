// The setup runner.
#include "installer/setup_runner.h"

#include "platform/process.h"

namespace installer {

String BuildSetupCommandLine(const String& setup_file, bool create_desktop_icon,
                             const String& folder) {
  String line = setup_file + u" /S";
  line += create_desktop_icon ? u" /I " : u" ";
  line += u"/D=" + folder;
  return line;
}

TProcessRunner SystemProcessRunner() {
  return [](const String& application, const String& command_line, std::int32_t& exit_code,
            plat::TFileStream* held_image) {
    std::uint32_t error = 0;
    return plat::RunProcess(application, command_line, exit_code, error, held_image);
  };
}

TInstallingProcessThread::TInstallingProcessThread(bool CreateSuspended, TProcessRunner Runner)
    : TThread(true), FRunner(std::move(Runner)) {
  if (!CreateSuspended) Start();
}

void TInstallingProcessThread::Execute() {
  std::int32_t code = 0;
  FProcessStarted = FRunner && FRunner(FApplicationName, FCommandLine, code, FHeldImage.get());
  // Whatever the runner did with it, the hold ends with the run: the completion deletes the file.
  FHeldImage.reset();
  FExitCode = FProcessStarted ? code : 0;
}

}  // namespace installer
