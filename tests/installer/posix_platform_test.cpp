// What only the POSIX backend does: the registry as a directory tree with the keys it answers
// from the system, processes started from a setup command line, the execute permission.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "installer/install_folder.h"
#include "installer/installer_record.h"
#include "installer/running_product.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/installer/installer_test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FromPath;
using testing_support::TempDir;
using testing_support::Utf8;

// Points the registry at a fresh tree while it lives.
class ScopedRegistry {
 public:
  ScopedRegistry() : saved_(plat::GetEnvVar(u"VEXLOR_REGISTRY_ROOT")) {
    plat::SetEnvVar(u"VEXLOR_REGISTRY_ROOT", FromPath(dir_.Path()));
  }
  ~ScopedRegistry() { plat::SetEnvVar(u"VEXLOR_REGISTRY_ROOT", saved_); }
  const fs::path& Root() const { return dir_.Path(); }
  void Put(const fs::path& key, const std::string& value_file, const std::string& text) {
    fs::create_directories(Root() / key);
    std::ofstream(Root() / key / value_file, std::ios::binary) << text;
  }

 private:
  TempDir dir_;
  String saved_;
};

const fs::path kHklm = "HKEY_LOCAL_MACHINE";

TEST(PosixRegistry, ValuesAreFilesOfTheirKeysFolderWrittenAtomically) {
  ScopedRegistry reg;
  installer::WriteInstallerRecordValue(u"VexlorSetup.exe");
  fs::path key = reg.Root() / kHklm / "Software" / "Norvane" / "Vexlor";
  std::ifstream in(key / "InstallerFileName", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "VexlorSetup.exe");
  installer::WriteInstallerRecordValue(u"Other.exe");
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(key))
    entries.push_back(e.path().filename());
  EXPECT_EQ(entries, std::vector<std::string>{"InstallerFileName"});  // no temporary left
}

TEST(PosixRegistry, AnExistingFolderOfAnotherCaseIsReused) {
  ScopedRegistry reg;
  reg.Put(kHklm / "SOFTWARE" / "norvane", "Keep", "yes");
  installer::WriteInstallerRecordValue(u"VexlorSetup.exe");
  EXPECT_TRUE(
      fs::exists(reg.Root() / kHklm / "SOFTWARE" / "norvane" / "Vexlor" / "InstallerFileName"));
  EXPECT_FALSE(fs::exists(reg.Root() / kHklm / "Software"));
}

TEST(PosixRegistry, NamesThatAreNoFileNamesAreEscaped) {
  ScopedRegistry reg;
  plat::TRegistryKey key;
  ASSERT_TRUE(key.Open(plat::TRegistryRoot::rkCurrentUser, u"A/B\\..", plat::kKeyWrite, true));
  ASSERT_TRUE(key.WriteString(u"x/y", u"1"));
  ASSERT_TRUE(key.WriteString(u".hidden", u"2"));
  ASSERT_TRUE(key.WriteString(u"100%", u"3"));
  plat::TRegistryKey read;
  ASSERT_TRUE(read.Open(plat::TRegistryRoot::rkCurrentUser, u"a/b\\..", plat::kKeyRead, false));
  String v;
  EXPECT_TRUE(read.ReadString(u"X/Y", v));
  EXPECT_EQ(Utf8(v), "1");
  EXPECT_TRUE(read.ReadString(u".hidden", v));
  EXPECT_EQ(Utf8(v), "2");
  EXPECT_TRUE(read.ReadString(u"100%", v));
  EXPECT_EQ(Utf8(v), "3");
  // Everything stayed inside the tree.
  for (const auto& e : fs::recursive_directory_iterator(reg.Root()))
    EXPECT_EQ(e.path().string().rfind(reg.Root().string(), 0), 0u);
  EXPECT_TRUE(fs::is_directory(reg.Root() / "HKEY_CURRENT_USER" / "A%2FB" / "%2E."));
}

TEST(PosixRegistry, AReadOnlyOpenCannotWrite) {
  ScopedRegistry reg;
  reg.Put(kHklm / "Software" / "Norvane" / "Vexlor", "InstallerFileName", "old");
  plat::TRegistryKey key;
  ASSERT_TRUE(
      key.Open(plat::TRegistryRoot::rkLocalMachine, installer::kProductKey, plat::kKeyRead, false));
  EXPECT_FALSE(key.WriteString(u"InstallerFileName", u"new"));
  EXPECT_EQ(key.LastError(), plat::kErrorAccessDenied);
}

TEST(PosixRegistry, ARecordThatCannotBeWrittenRaises) {
  ScopedRegistry reg;
  std::ofstream(reg.Root() / kHklm) << "a file where the root key's folder belongs";
  try {
    installer::WriteInstallerRecordValue(u"VexlorSetup.exe");
    FAIL() << "no error";
  } catch (const installer::ERegistryException& e) {
    EXPECT_EQ(e.Message(), "Failed to set data for 'InstallerFileName'");
  }
}

TEST(PosixRegistry, TheProcessorKeyComesFromTheSystemUnlessTheTreeHoldsIt) {
  ScopedRegistry reg;
  String from_system = installer::GetProcessorName();
  EXPECT_FALSE(from_system.empty());
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string all((std::istreambuf_iterator<char>(cpuinfo)), std::istreambuf_iterator<char>());
  if (all.find("model name") != std::string::npos) {
    EXPECT_NE(all.find(Utf8(from_system)), std::string::npos) << Utf8(from_system);
  }

  const fs::path cpu = kHklm / "HARDWARE" / "DESCRIPTION" / "System" / "CentralProcessor" / "0";
  reg.Put(cpu, "VendorIdentifier", "GenuineIntel");
  reg.Put(cpu, "Identifier", "x86 Family 6 Model 15 Stepping 11");
  EXPECT_EQ(Utf8(installer::GetProcessorName()),
            "GenuineIntel - x86 Family 6 Model 15 Stepping 11");
  reg.Put(cpu, "ProcessorNameString", "       Intel(R) Pentium(R) 4 CPU 3.00GHz");
  EXPECT_EQ(Utf8(installer::GetProcessorName()), "Intel(R) Pentium(R) 4 CPU 3.00GHz");
  fs::remove(reg.Root() / cpu / "ProcessorNameString");
  fs::remove(reg.Root() / cpu / "VendorIdentifier");
  EXPECT_EQ(Utf8(installer::GetProcessorName()), "Unknown processor");
}

TEST(PosixRegistry, ProgramFilesDirIsOptUnlessTheTreeHoldsIt) {
  ScopedRegistry reg;
  EXPECT_EQ(Utf8(installer::DefaultInstallFolder()), "/opt/Norvane Vexlor/");
  const fs::path cv = kHklm / "SOFTWARE" / "Microsoft" / "Windows" / "CurrentVersion";
  reg.Put(cv, "Other", "x");  // the tree holds the key but not the value: the fallback
  EXPECT_EQ(Utf8(installer::DefaultInstallFolder()), "/opt/Norvane Vexlor/");
  reg.Put(cv, "ProgramFilesDir", "/usr/local");
  EXPECT_EQ(Utf8(installer::DefaultInstallFolder()), "/usr/local/Norvane Vexlor/");
}

struct RunCase {
  std::string script;  // body of the program; empty: no program file at all
  bool executable;
  bool starts;
  std::int32_t exit_code;
};

class PosixRunProcess : public ::testing::TestWithParam<RunCase> {};

TEST_P(PosixRunProcess, StartsWaitsAndReportsTheExitCode) {
  const RunCase c = GetParam();
  TempDir dir;
  fs::path program = dir.Path() / "my setup" / "k3Q0zT8a.exe";
  fs::create_directories(program.parent_path());
  if (!c.script.empty()) {
    std::ofstream(program) << "#!/bin/sh\n" << c.script << "\n";
    if (c.executable) {
      ASSERT_TRUE(plat::MakeExecutable(FromPath(program)));
    }
  }
  std::int32_t code = -7;
  std::uint32_t error = 0;
  String line = FromPath(program) + u" /S /I /D=" + FromPath(dir.Path()) + u"/Norvane  Vexlor/";
  EXPECT_EQ(plat::RunProcess(FromPath(program), line, code, error), c.starts);
  if (c.starts) {
    EXPECT_EQ(code, c.exit_code);
  } else {
    EXPECT_NE(error, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PosixRunProcess,
    ::testing::Values(
        // The arguments arrive as the setup program expects them: the folder whole.
        RunCase{"[ \"$1 $2\" = \"/S /I\" ] && [ \"${3%/Norvane  Vexlor/}\" != \"$3\" ] && "
                "[ $# -eq 3 ] && exit 0; exit 9",
                true, true, 0},
        RunCase{"exit 1", true, true, 1}, RunCase{"exit 194", true, true, 194},
        RunCase{"kill -TERM $$", true, true, 128 + 15}, RunCase{"exit 0", false, false, 0},
        RunCase{"", false, false, 0}));

TEST(PosixFiles, MakeExecutableLetsTheOwnerRunIt) {
  TempDir dir;
  dir.WriteFile("x.exe", "#!/bin/sh\n");
  fs::permissions(dir.Path() / "x.exe", fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(plat::MakeExecutable(dir.Folder() + u"x.exe"));
  EXPECT_NE(fs::status(dir.Path() / "x.exe").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

}  // namespace
