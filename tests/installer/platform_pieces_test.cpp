// The platform pieces the installer needs, on whichever backend is built: command-line
// splitting, files, the temporary folder, named mutexes, the registry, machine facts and
// starting programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "installer/download_target.h"
#include "platform/files.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/sha256.h"
#include "platform/sysinfo.h"
#include "tests/installer/held_file_probe.h"
#include "tests/installer/installer_test_support.h"

namespace {

using testing_support::FromPath;
using testing_support::ScopedTempFolder;
using testing_support::TempDir;
using testing_support::Utf8;

struct SplitCase {
  String line;
  std::vector<String> files;  // paths that exist
  std::vector<String> expected;
};

class CommandLineSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineSplit, ProgramFirstAndTheFolderToTheEnd) {
  const auto& c = GetParam();
  auto is_file = [&](const String& p) {
    return std::find(c.files.begin(), c.files.end(), p) != c.files.end();
  };
  auto got = plat::SplitCommandLine(c.line, is_file);
  std::vector<std::string> got8, want8;
  for (const auto& s : got)
    got8.push_back(Utf8(s));
  for (const auto& s : c.expected)
    want8.push_back(Utf8(s));
  EXPECT_EQ(got8, want8);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineSplit,
    ::testing::Values(
        SplitCase{u"/tmp/k3Q0zT8a.exe /S /I /D=/opt/Norvane Vexlor/",
                  {u"/tmp/k3Q0zT8a.exe"},
                  {u"/tmp/k3Q0zT8a.exe", u"/S", u"/I", u"/D=/opt/Norvane Vexlor/"}},
        SplitCase{u"/tmp/k3Q0zT8a.exe /S /D=/opt/My  Apps ",
                  {u"/tmp/k3Q0zT8a.exe"},
                  {u"/tmp/k3Q0zT8a.exe", u"/S", u"/D=/opt/My  Apps "}},
        // An unquoted program path with blanks: the shortest prefix that names a file.
        SplitCase{u"/home/ann/my temp/k3Q0zT8a.exe /S /D=/opt/x",
                  {u"/home/ann/my temp/k3Q0zT8a.exe"},
                  {u"/home/ann/my temp/k3Q0zT8a.exe", u"/S", u"/D=/opt/x"}},
        // No prefix names a file: the first token is the program.
        SplitCase{u"/nowhere/a b.exe /S", {}, {u"/nowhere/a", u"b.exe", u"/S"}},
        SplitCase{u"\"/home/ann/my temp/x.exe\" /S \"a b\"",
                  {},
                  {u"/home/ann/my temp/x.exe", u"/S", u"a b"}},
        SplitCase{u"   ", {}, {}}));

TEST(Files, CreateNewIsExclusiveAndTheStreamWorks) {
  TempDir dir;
  String path = dir.Folder() + u"file.bin";
  {
    plat::TFileStream f(path, plat::TFileMode::fmCreateNew);
    EXPECT_EQ(f.Write("hello world", 11), 11);
    EXPECT_EQ(f.Size(), 11);
    f.SetPosition(6);
    char buf[8] = {};
    EXPECT_EQ(f.Read(buf, 8), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    f.SetSize(5);
    EXPECT_EQ(f.Size(), 5);
    EXPECT_EQ(f.Position(), 5);
  }
  try {
    plat::TFileStream again(path, plat::TFileMode::fmCreateNew);
    FAIL() << "an existing file was opened";
  } catch (const plat::EFCreateError& e) {
    EXPECT_TRUE(plat::IsFileExistsError(e.ErrorCode)) << e.ErrorCode;
  }
  EXPECT_EQ(dir.ReadFile("file.bin"), "hello");
  plat::TFileStream reader(path, plat::TFileMode::fmOpenRead);
  EXPECT_EQ(reader.Size(), 5);
}

TEST(Files, ExistsRenameAndDelete) {
  TempDir dir;
  dir.WriteFile("a.txt", "a");
  dir.WriteFile("b.txt", "b");
  std::filesystem::create_directory(dir.Path() / "folder");
  EXPECT_TRUE(plat::FileExists(dir.Folder() + u"a.txt"));
  EXPECT_FALSE(plat::FileExists(dir.Folder() + u"folder"));  // a folder is no file
  EXPECT_FALSE(plat::FileExists(dir.Folder() + u"none"));

  EXPECT_FALSE(plat::MoveFileNoReplace(dir.Folder() + u"a.txt", dir.Folder() + u"b.txt"));
  EXPECT_TRUE(plat::IsFileExistsError(plat::LastFileError())) << plat::LastFileError();
  EXPECT_EQ(dir.ReadFile("b.txt"), "b");
  EXPECT_TRUE(plat::MoveFileNoReplace(dir.Folder() + u"a.txt", dir.Folder() + u"c.txt"));
  EXPECT_EQ(dir.ReadFile("c.txt"), "a");
  EXPECT_TRUE(plat::MakeExecutable(dir.Folder() + u"c.txt"));

  EXPECT_TRUE(plat::DeleteFile(dir.Folder() + u"c.txt"));
  EXPECT_FALSE(plat::DeleteFile(dir.Folder() + u"c.txt"));
  EXPECT_FALSE(plat::SystemErrorMessage(plat::LastFileError()).empty());
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"b.txt"});
}

TEST(Files, TempFolderIsTheConfiguredOneWithADelimiter) {
  TempDir dir;
  {
    ScopedTempFolder temp(dir.Path());
    String folder = plat::TempFolder();
    EXPECT_EQ(std::filesystem::canonical(testing_support::ToPath(folder)), dir.Path());
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), plat::PathDelimiter());
  }
  {
    ScopedTempFolder temp(dir.Path() / "does-not-exist");
    EXPECT_EQ(Utf8(plat::TempFolder()), "");
  }
}

TEST(Files, ModuleFileNameIsThisProgram) {
  String self = plat::ModuleFileName();
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(plat::FileExists(self));
}

TEST(NamedMutex, ExistsWhileAnyHolderKeepsIt) {
  const String name = u"VexlorTestMutex-" + plat::GetEnvVar(u"VEXLOR_TEST_TAG") + u"-1";
  plat::TNamedMutex first(name);
  ASSERT_TRUE(first.Valid());
  EXPECT_FALSE(first.AlreadyExisted());
  {
    plat::TNamedMutex second(name);
    ASSERT_TRUE(second.Valid());
    EXPECT_TRUE(second.AlreadyExisted());
    first.Close();
    plat::TNamedMutex third(name);  // the second holder still keeps the name
    EXPECT_TRUE(third.AlreadyExisted());
  }
  plat::TNamedMutex fourth(name);  // all holders gone
  EXPECT_FALSE(fourth.AlreadyExisted());
  plat::TNamedMutex other(name + u"-other");
  EXPECT_FALSE(other.AlreadyExisted());
}

TEST(Registry, WritesReadsAndMatchesNamesWithoutCase) {
  const String key_path = u"Software\\Vexlor Tests\\Registry";
  {
    plat::TRegistryKey key;
    ASSERT_TRUE(key.Open(plat::TRegistryRoot::rkCurrentUser, key_path, plat::kKeyWrite, true))
        << key.LastError();
    EXPECT_TRUE(key.WriteString(u"Name", u"first"));
    EXPECT_TRUE(key.WriteString(u"NAME", u"second \u00E9"));  // the same value
    EXPECT_TRUE(key.WriteString(u"", u"default"));
  }
  plat::TRegistryKey key;
  ASSERT_TRUE(key.Open(plat::TRegistryRoot::rkCurrentUser, u"\\SOFTWARE\\vexlor tests\\registry",
                       plat::kKeyRead, false));
  String value;
  ASSERT_TRUE(key.ReadString(u"name", value));
  EXPECT_EQ(Utf8(value), "second \xC3\xA9");
  ASSERT_TRUE(key.ReadString(u"", value));
  EXPECT_EQ(Utf8(value), "default");
  EXPECT_TRUE(key.ValueExists(u"Name"));
  EXPECT_FALSE(key.ValueExists(u"Missing"));
  EXPECT_FALSE(key.ReadString(u"Missing", value));

  plat::TRegistryKey missing;
  EXPECT_FALSE(missing.Open(plat::TRegistryRoot::rkCurrentUser, key_path + u"\\Nope",
                            plat::kKeyRead, false));
  EXPECT_FALSE(missing.IsOpen());
}

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RunProcess, RunsTheNamedProgramAndNothingPlantedOnAShorterPath) {
  namespace fs = std::filesystem;
  TempDir dir, logs;
  fs::create_directories(dir.Path() / "my setup");
  fs::path program = dir.Path() / "my setup" / "k3Q0zT8a.exe";
  fs::copy_file(VEXLOR_FAKE_SETUP, program);
  // Where the unquoted path would be cut at its blank: "my" on POSIX, "my.exe" on Windows.
  fs::copy_file(VEXLOR_FAKE_PLANTED, dir.Path() / "my");
  fs::copy_file(VEXLOR_FAKE_PLANTED, dir.Path() / "my.exe");
  for (const fs::path& p : {program, dir.Path() / "my", dir.Path() / "my.exe"})
    ASSERT_TRUE(plat::MakeExecutable(FromPath(p)));
  fs::path log = logs.Path() / "args.txt";
  plat::SetEnvVar(u"VEXLOR_FAKE_SETUP_LOG", FromPath(log));
  plat::SetEnvVar(u"VEXLOR_FAKE_SETUP_EXIT", u"3");
  String line = FromPath(program) + u" /S /D=/opt/Norvane Vexlor/";
  std::int32_t code = 0;
  std::uint32_t error = 0;
  ASSERT_TRUE(plat::RunProcess(FromPath(program), line, code, error)) << error;
  EXPECT_EQ(code, 3);
  std::string args = ReadAll(log);
  EXPECT_NE(args, "planted");
  // The program sees the command line as composed (on Windows its runtime splits the unquoted
  // path into two arguments; the setup program reads the line itself).
  EXPECT_EQ(args.substr(args.find("/S")), "/S /D=/opt/Norvane Vexlor/");
  plat::SetEnvVar(u"VEXLOR_FAKE_SETUP_EXIT", u"");
}

// A held file from its creation to the start of the program it holds: others may read it but
// not write, rename or delete it; the rename to ".exe" goes through the holder; the start runs
// the bytes written (on POSIX even when the name was made to point elsewhere meanwhile) and
// ends the hold.
TEST(Files, AHeldFileIsKeptFromOthersUntilItsProgramStarts) {
  namespace fs = std::filesystem;
  TempDir dir, logs;
  const std::string program = ReadAll(VEXLOR_FAKE_SETUP);
  ASSERT_FALSE(program.empty());
  const String download = FromPath(dir.Path() / "k3Q0zT8a.tmp");
  const String exe = FromPath(dir.Path() / "k3Q0zT8a.exe");
  auto held = std::make_unique<plat::TFileStream>(download, plat::TFileMode::fmCreateHeld);
  ASSERT_EQ(held->Write(program.data(), static_cast<std::int32_t>(program.size())),
            static_cast<std::int32_t>(program.size()));

  // What another opener may do while the file is held: read only. Under Wine, whose server
  // checks share modes as Windows does, all of it holds here too (the opener is another
  // handle of this process, which the share mode treats as any other). POSIX has no share modes:
  // there the file's mode refuses writers (unless they override permissions, as root does),
  // and the name stays free to move, which the start below shows to be harmless.
  auto expect_held = [&](const String& path, const char* when) {
    const testing_support::HeldFileProbe probe = testing_support::ProbeHeldFile(path);
    EXPECT_TRUE(probe.Read) << when;
#ifdef _WIN32
    EXPECT_FALSE(probe.Write) << when;
    EXPECT_FALSE(probe.Rename) << when;
    EXPECT_FALSE(probe.Delete) << when;
#else
    if (!testing_support::OverridesFilePermissions()) {
      EXPECT_FALSE(probe.Write) << when;
    }
#endif
    EXPECT_TRUE(plat::FileExists(path)) << when;
  };
  expect_held(download, "while written");
  ASSERT_TRUE(held->RenameHeld(exe));
  EXPECT_FALSE(plat::FileExists(download));
  EXPECT_EQ(Utf8(held->FileName()), Utf8(exe));
  expect_held(exe, "after the rename");
  ASSERT_TRUE(plat::MakeExecutable(exe));
  // No system starts a program that is open for writing, the starter's own handle included:
  // that is why the stream gives its write access up before the start.
  {
    std::int32_t code = 0;
    std::uint32_t error = 0;
    EXPECT_FALSE(plat::RunProcess(exe, exe, code, error));
    EXPECT_TRUE(held->IsOpen());
  }
  ASSERT_TRUE(held->EndWriting());
  expect_held(exe, "ready to start");
  EXPECT_THROW(held->Write("x", 1), EStreamError);

#ifndef _WIN32
  // The name now points at another program: the held one runs all the same.
  const fs::path planted = logs.Path() / "planted";
  fs::copy_file(VEXLOR_FAKE_PLANTED, planted);
  ASSERT_TRUE(plat::MakeExecutable(FromPath(planted)));
  ASSERT_TRUE(plat::MoveFileReplace(FromPath(planted), exe));
#endif
  const fs::path log = logs.Path() / "args.txt";
  plat::SetEnvVar(u"VEXLOR_FAKE_SETUP_LOG", FromPath(log));
  plat::SetEnvVar(u"VEXLOR_FAKE_SETUP_EXIT", u"4");
  std::int32_t code = 0;
  std::uint32_t error = 0;
  ASSERT_TRUE(plat::RunProcess(exe, exe + u" /S /D=x", code, error, held.get())) << error;
  plat::SetEnvVar(u"VEXLOR_FAKE_SETUP_EXIT", u"");
  EXPECT_EQ(code, 4);
  EXPECT_EQ(ReadAll(log).substr(0, 2), "/S");
  // The hold ended with the start: the file is anybody's again.
  EXPECT_FALSE(held->IsOpen());
  EXPECT_TRUE(plat::DeleteFile(exe));
}

// What the installer runs must be the bytes it received: the held file is read back through
// its reading handle and checked against the received length and sha-256. POSIX has no share
// modes, so a writer can change the file by name; the check sees it (on Windows no writer can
// exist once the hold has passed to the reading handle, and only the good case runs).
TEST(Files, AHeldFileIsCheckedAgainstTheBytesReceived) {
  namespace fs = std::filesystem;
  TempDir dir;
  const std::string bytes(200000, 'v');
  const String exe = FromPath(dir.Path() / "setup.exe");
  plat::TFileStream held(exe, plat::TFileMode::fmCreateHeld);
  ASSERT_EQ(held.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())),
            static_cast<std::int32_t>(bytes.size()));
  ASSERT_TRUE(held.EndWriting());
  const plat::TSha256Digest digest = plat::Sha256(bytes);
  const std::int64_t size = static_cast<std::int64_t>(bytes.size());
  EXPECT_TRUE(installer::HeldFileMatches(held, size, digest));
  EXPECT_FALSE(installer::HeldFileMatches(held, size + 1, digest));
  EXPECT_FALSE(installer::HeldFileMatches(held, size, plat::Sha256("other")));
  EXPECT_EQ(held.Position(), 0);
#ifndef _WIN32
  fs::permissions(dir.Path() / "setup.exe", fs::perms::owner_write, fs::perm_options::add);
  {
    std::fstream change(dir.Path() / "setup.exe", std::ios::in | std::ios::out | std::ios::binary);
    change.seekp(100000);
    change.put('x');
  }
  EXPECT_FALSE(installer::HeldFileMatches(held, size, digest));
#endif
}

// A held file that is no program: its start fails, and the hold ends all the same.
TEST(Files, TheHoldEndsAlsoWhenTheStartFails) {
  TempDir dir;
  const String exe = FromPath(dir.Path() / "notaprogram.exe");
  plat::TFileStream held(exe, plat::TFileMode::fmCreateHeld);
  held.Write("not a program", 13);
  ASSERT_TRUE(held.EndWriting());
  std::int32_t code = 0;
  std::uint32_t error = 0;
  EXPECT_FALSE(plat::RunProcess(exe, exe, code, error, &held));
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(held.IsOpen());
  EXPECT_TRUE(plat::DeleteFile(exe));
}

// The exit code of a program that ran counts only when the wait and the read both worked; a
// failed read never passes for 0 (success).
TEST(RunProcess, AnExitCodeThatCannotBeReadIsNeverSuccess) {
  struct Case {
    bool waited, read;
    std::uint32_t code;
    std::int32_t expected;
  };
  for (const Case& c :
       {Case{true, true, 0, 0}, Case{true, true, 3010, 3010}, Case{true, true, 0xFFFFFFFFu, -1},
        Case{true, false, 0, -1}, Case{false, true, 0, -1}, Case{false, false, 259, -1}}) {
    EXPECT_EQ(plat::SettledExitCode(c.waited, c.read, c.code), c.expected)
        << c.waited << c.read << c.code;
  }
  EXPECT_NE(plat::kExitCodeUnknown, 0);
}

TEST(SysInfo, MachineNameAndSecureRandom) {
  String name;
  ASSERT_TRUE(plat::GetComputerName(name));
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 256u);
  std::uint64_t a = 0, b = 0;
  ASSERT_TRUE(plat::SecureRandom(a));
  ASSERT_TRUE(plat::SecureRandom(b));
  EXPECT_NE(a, b);
}

TEST(Environment, SetAndReadBack) {
  ASSERT_TRUE(plat::SetEnvVar(u"VEXLOR_TEST_ENV", u"value 1"));
  EXPECT_EQ(Utf8(plat::GetEnvVar(u"VEXLOR_TEST_ENV")), "value 1");
  EXPECT_EQ(Utf8(plat::GetEnvVar(u"VEXLOR_TEST_ENV_UNSET")), "");
}

}  // namespace
