// The demo setup program: its arguments, the product it carries, and a whole silent install into
// a folder with blanks. Runs on both targets.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/files.h"
#include "platform/process.h"
#include "tools/demo-setup/demo_setup.h"

namespace {

namespace fs = std::filesystem;

struct ArgsCase {
  std::vector<String> args;
  bool silent;
  bool icon;
  std::optional<String> folder;
  std::size_t unknown;
};

TEST(DemoSetupArguments, ReadsTheSwitches) {
  const ArgsCase cases[] = {
      {{u"/S", u"/I", u"/D=C:\\Program Files\\Norvane Vexlor\\"},
       true,
       true,
       u"C:\\Program Files\\Norvane Vexlor\\",
       0},
      {{u"/S", u"/D=/opt/two  blanks/"}, true, false, u"/opt/two  blanks/", 0},
      {{u"/s", u"/i", u"/d=D:\\x"}, true, true, u"D:\\x", 0},
      {{u"/D="}, false, false, u"", 0},
      {{u"/S", u"/X", u"--help"}, true, false, std::nullopt, 2},
      {{}, false, false, std::nullopt, 0},
  };
  for (const ArgsCase& c : cases) {
    demo::SetupArguments a = demo::ParseSetupArguments(c.args);
    EXPECT_EQ(a.Silent, c.silent);
    EXPECT_EQ(a.DesktopIcon, c.icon);
    EXPECT_EQ(a.Folder, c.folder);
    EXPECT_EQ(a.Unknown.size(), c.unknown);
  }
}

TEST(DemoSetupPayload, TrailerRoundTrip) {
  std::string t = demo::PayloadTrailer(1234567);
  ASSERT_EQ(t.size(), demo::kTrailerSize);
  EXPECT_EQ(t, "VEXLOR-PAYLOAD:0000000001234567\n");
  auto found = demo::FindPayload(2000000, t);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->first, 2000000u - demo::kTrailerSize - 1234567u);
  EXPECT_EQ(found->second, 1234567u);
}

TEST(DemoSetupPayload, RejectsWhatIsNoTrailer) {
  std::string good = demo::PayloadTrailer(100);
  std::string bad_magic = good;
  bad_magic[0] = 'X';
  std::string bad_digit = good;
  bad_digit[20] = 'a';
  const std::pair<std::uint64_t, std::string> cases[] = {
      {1000, bad_magic},                // not ours
      {1000, bad_digit},                // not a number
      {100, good},                      // larger than what precedes the trailer
      {1000, demo::PayloadTrailer(0)},  // nothing carried
      {1000, good.substr(0, 31)},       // cut short
      {10, good},                       // file shorter than a trailer
  };
  for (const auto& [size, trailer] : cases)
    EXPECT_FALSE(demo::FindPayload(size, trailer)) << trailer;
}

// A signed Windows setup carries its signature after the trailer: the PE headers name where it
// starts (the certificate table of the optional header's data directory), and the signing tool
// pads the file to 8 bytes before it.
std::string PeHead(bool pe32_plus, std::uint32_t table_offset, std::uint32_t table_size) {
  std::string head(512, '\0');
  head[0] = 'M';
  head[1] = 'Z';
  const std::size_t pe = 0x80;
  head[0x3C] = static_cast<char>(pe);
  head.replace(pe, 4, std::string("PE\0\0", 4));
  const std::size_t optional = pe + 24;
  head[optional] = 0x0b;
  head[optional + 1] = pe32_plus ? 0x02 : 0x01;
  const std::size_t entry = optional + (pe32_plus ? 112 : 96) + 4 * 8;
  for (int i = 0; i < 4; ++i) {
    head[entry + i] = static_cast<char>(table_offset >> (8 * i));
    head[entry + 4 + i] = static_cast<char>(table_size >> (8 * i));
  }
  return head;
}

TEST(DemoSetupPayload, ContentEndsWhereTheSignatureStarts) {
  struct Case {
    const char* name;
    std::string head;
    std::uint64_t file_size, end;
  } cases[] = {
      {"pe32_signed", PeHead(false, 9000, 1000), 10000, 9000},
      {"pe32_plus_signed", PeHead(true, 9000, 1000), 10000, 9000},
      {"unsigned", PeHead(true, 0, 0), 10000, 10000},
      // A table that does not end the file is not a signature appended to it.
      {"table_not_at_the_end", PeHead(true, 8000, 1000), 10000, 10000},
      {"no_program", std::string(512, 'x'), 10000, 10000},
      {"headers_cut_short", PeHead(true, 9000, 1000).substr(0, 0x90), 10000, 10000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(demo::ContentEnd(c.head, c.file_size), c.end) << c.name;
}

TEST(DemoSetupPayload, TheTrailerIsFoundBeforeThePadding) {
  const std::string trailer = demo::PayloadTrailer(100);
  for (std::size_t pad = 0; pad < 8; ++pad) {
    std::string before = "xxxxxx" + trailer + std::string(pad, '\0');
    std::uint64_t end = 5000;
    const std::string found = demo::FindTrailer(before, end);
    EXPECT_EQ(found, trailer) << pad;
    EXPECT_EQ(end, 5000 - pad) << pad;
  }
  std::uint64_t end = 50;
  EXPECT_EQ(demo::FindTrailer(trailer.substr(1), end), "");
}

class DemoSetupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("vexlor-demo-setup-test-" + std::to_string(rd()));
    fs::create_directories(dir_);
    // A setup file: some program bytes, the product, the trailer.
    product_ = std::string(300000, '\0');
    for (std::size_t i = 0; i < product_.size(); ++i)
      product_[i] = static_cast<char>(i * 7 + i / 251);
    setup_ = dir_ / "k3Q0zT8a.exe";
    std::ofstream(setup_, std::ios::binary)
        << std::string(4096, 'S') << product_ << demo::PayloadTrailer(product_.size());
    folder_ = dir_ / "Program  Files" / "Norvane Vexlor";
    desktop_ = dir_ / "Desktop";
    plat::SetEnvVar(u"VEXLOR_DESKTOP_DIR", Path(desktop_));
    plat::SetEnvVar(u"VEXLOR_DEMO_SETUP_EXIT_CODE", u"");
  }
  void TearDown() override {
    plat::SetEnvVar(u"VEXLOR_DESKTOP_DIR", u"");
    plat::SetEnvVar(u"VEXLOR_DEMO_SETUP_EXIT_CODE", u"");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  String Path(const fs::path& p) { return p.u16string(); }

  std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  int Run(const std::vector<String>& args, std::string& error) {
    return demo::RunSetup(demo::ParseSetupArguments(args), Path(setup_), error);
  }

  fs::path dir_, setup_, folder_, desktop_;
  std::string product_;
};

// Reads an Exec argument back as a desktop environment does: the string escapes first, then
// the quoting, then the field codes.
std::string ReadExecArgument(const std::string& exec) {
  std::string value;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] == '\\' && i + 1 < exec.size()) {
      char n = exec[++i];
      value += n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : n == 's' ? ' ' : n;
    } else {
      value += exec[i];
    }
  }
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return "<not quoted>";
  std::string arg;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) {
      arg += value[++i];
    } else if (value[i] == '"' || value[i] == '`' || value[i] == '$') {
      return "<unescaped " + std::string(1, value[i]) + ">";
    } else if (value[i] == '%') {
      if (i + 2 >= value.size() || value[i + 1] != '%') return "<field code>";
      arg += '%';
      ++i;
    } else {
      arg += value[i];
    }
  }
  return arg;
}

TEST(DemoSetupIcon, TheExecLineGivesBackAnyFolder) {
  EXPECT_EQ(demo::DesktopExecArgument("/opt/Norvane Vexlor/vexlor.exe"),
            "\"/opt/Norvane Vexlor/vexlor.exe\"");
  EXPECT_EQ(demo::DesktopExecArgument("/a\"b"), "\"/a\\\\\"b\"");
  for (const char* path : {"/opt/Vexlor/vexlor.exe", "/home/u/My \"quoted\" folder/vexlor.exe",
                           "/tmp/$HOME/vexlor.exe", "/tmp/`id`/vexlor.exe",
                           "/tmp/back\\slash/vexlor.exe", "/tmp/100%/%f/vexlor.exe",
                           "/tmp/line\nbreak/vexlor.exe", "/tmp/tab\tand\rreturn/vexlor.exe"}) {
    std::string exec = demo::DesktopExecArgument(path);
    EXPECT_EQ(exec.find('\n'), std::string::npos) << path;
    EXPECT_EQ(ReadExecArgument(exec), path) << exec;
  }
}

TEST(DemoSetupEnvironment, NumbersOutsideTheirRangeGiveTheFallback) {
  struct Case {
    const char16_t* value;
    int expected;
  };
  for (const Case& c : {Case{u"", 7}, Case{u"250", 250}, Case{u"0", 0}, Case{u"-1", 7},
                        Case{u"60000", 60000}, Case{u"60001", 7}, Case{u"99999999999999999999", 7},
                        Case{u"4294967296", 7}, Case{u"12x", 7}, Case{u"-", 7}}) {
    plat::SetEnvVar(u"VEXLOR_TEST_ENV_INT", c.value);
    EXPECT_EQ(demo::EnvInt(u"VEXLOR_TEST_ENV_INT", 7, 0, 60000), c.expected)
        << text::ToUtf8(c.value);
  }
  plat::SetEnvVar(u"VEXLOR_TEST_ENV_INT", u"-2147483648");
  EXPECT_EQ(demo::EnvInt(u"VEXLOR_TEST_ENV_INT", 1, -2147483647 - 1, 2147483647), -2147483647 - 1);
  plat::SetEnvVar(u"VEXLOR_TEST_ENV_INT", u"2147483648");
  EXPECT_EQ(demo::EnvInt(u"VEXLOR_TEST_ENV_INT", 1, -2147483647 - 1, 2147483647), 1);
  plat::SetEnvVar(u"VEXLOR_TEST_ENV_INT", u"");
}

#if defined(VEXLOR_DEMO_PRODUCT) && !defined(_WIN32)
// The product never runs without its mutex: with no folder for the lock files it ends at once
// with status 1 instead of running unseen by the installer.
TEST(DemoProduct, DoesNotRunWithoutItsMutex) {
  fs::path dir = fs::temp_directory_path() / ("vexlor-product-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::copy_file(VEXLOR_DEMO_PRODUCT, dir / "vexlor.exe", fs::copy_options::overwrite_existing);
  std::ofstream(dir / "not-a-folder") << "x";
  String old_runtime = plat::GetEnvVar(u"XDG_RUNTIME_DIR");
  plat::SetEnvVar(u"XDG_RUNTIME_DIR", text::FromUtf8((dir / "not-a-folder").string()));
  std::int32_t code = -2;
  std::uint32_t error = 0;
  String program = text::FromUtf8((dir / "vexlor.exe").string());
  bool ran = plat::RunProcess(program, program + u" --seconds 5", code, error);
  plat::SetEnvVar(u"XDG_RUNTIME_DIR", old_runtime);
  std::ifstream in(dir / "vexlor.log");
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove_all(dir);
  ASSERT_TRUE(ran) << error;
  EXPECT_EQ(code, 1);
  EXPECT_EQ(log, "cannot hold the running-product mutex\n");
}
#endif

TEST_F(DemoSetupRun, InstallsTheProductAndTheIcon) {
  std::string error;
  String folder = Path(folder_) + plat::PathDelimiter();
  ASSERT_EQ(Run({u"/S", u"/I", u"/D=" + folder}, error), demo::seOk) << error;
  EXPECT_EQ(Read(folder_ / "vexlor.exe"), product_);
  EXPECT_FALSE(fs::exists(folder_ / "vexlor.exe.new"));
  auto [name, content] = demo::DesktopIcon(demo::JoinPath(folder, u"vexlor.exe"));
  fs::path icon = desktop_ / fs::path(std::u16string(name));
  ASSERT_TRUE(fs::exists(icon));
  EXPECT_EQ(Read(icon), content);
  EXPECT_NE(content.find("vexlor.exe"), std::string::npos);

  // A second run replaces the product in place.
  ASSERT_EQ(Run({u"/S", u"/D=" + folder}, error), demo::seOk) << error;
  EXPECT_EQ(Read(folder_ / "vexlor.exe"), product_);
}

TEST_F(DemoSetupRun, WithoutIconSwitchWritesNoIcon) {
  std::string error;
  ASSERT_EQ(Run({u"/S", u"/D=" + Path(folder_)}, error), demo::seOk) << error;
  EXPECT_TRUE(fs::exists(folder_ / "vexlor.exe"));
  EXPECT_FALSE(fs::exists(desktop_));
}

TEST_F(DemoSetupRun, FailuresInstallNothing) {
  std::string error;
  EXPECT_EQ(Run({u"/S"}, error), demo::seUsage);

  plat::SetEnvVar(u"VEXLOR_DEMO_SETUP_EXIT_CODE", u"3010");
  EXPECT_EQ(Run({u"/S", u"/D=" + Path(folder_)}, error), 3010);
  plat::SetEnvVar(u"VEXLOR_DEMO_SETUP_EXIT_CODE", u"");

  // A setup file without a product.
  std::ofstream(setup_, std::ios::binary | std::ios::trunc) << std::string(5000, 'S');
  EXPECT_EQ(Run({u"/S", u"/D=" + Path(folder_)}, error), demo::seNoPayload);
  EXPECT_FALSE(fs::exists(folder_ / "vexlor.exe"));
}

}  // namespace
