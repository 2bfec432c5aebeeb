// vexlor-setup: the demo setup program (see demo_setup.h).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "tools/demo-setup/demo_setup.h"

int main() {
  // The raw command line, so "/D=" keeps its blanks on Windows as well.
  std::vector<String> all = plat::ProgramArguments();
  std::vector<String> args(all.size() > 1 ? all.begin() + 1 : all.end(), all.end());

  String log = plat::GetEnvVar(u"VEXLOR_DEMO_SETUP_LOG");
  if (!log.empty()) {
    // The program as it was started, then its arguments.
    std::string line = all.empty() ? std::string() : text::ToUtf8(all[0]);
    for (const String& a : args)
      line += "\t" + text::ToUtf8(a);
    std::ofstream(std::filesystem::path(log), std::ios::app) << line << "\n";
  }

  std::string error;
  int code = demo::RunSetup(demo::ParseSetupArguments(args), plat::ModuleFileName(), error);
  if (!error.empty()) std::fprintf(stderr, "vexlor-setup: %s\n", error.c_str());
  return code;
}
