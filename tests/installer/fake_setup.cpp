// A stand-in for the product's setup program: it writes its arguments, joined by blanks, to
// the file named by VEXLOR_FAKE_SETUP_LOG and exits with the code in VEXLOR_FAKE_SETUP_EXIT.
// Built a second time as a program planted by somebody else, which writes "planted" instead.
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::string args;
#ifdef VEXLOR_FAKE_SETUP_PLANTED
  args = "planted";
  argc = 0;
#endif
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += ' ';
    args += argv[i];
  }
  if (const char* log = std::getenv("VEXLOR_FAKE_SETUP_LOG")) {
    if (std::FILE* f = std::fopen(log, "wb")) {
      std::fwrite(args.data(), 1, args.size(), f);
      std::fclose(f);
    }
  }
  const char* code = std::getenv("VEXLOR_FAKE_SETUP_EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
