// The installer's steps: MD5, the running-product key, the download target and progress
// figures, the setup command line, the installer record's name, the destination folder and the
// licence dialog's options.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "installer/addresses.h"
#include "installer/download_target.h"
#include "installer/install_folder.h"
#include "installer/installer_record.h"
#include "platform/md5.h"
#include "installer/running_product.h"
#include "installer/setup_runner.h"
#include "platform/files.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "tests/installer/installer_test_support.h"

namespace {

using namespace installer;
using plat::DigestToHex;
using plat::MD5;
using plat::TMD5;
using testing_support::ScopedTempFolder;
using testing_support::TempDir;
using testing_support::Utf8;

// --- MD5 -------------------------------------------------------------------------------------

struct Md5Case {
  std::string input;
  std::string digest;
};

class Md5Vectors : public ::testing::TestWithParam<Md5Case> {};

TEST_P(Md5Vectors, MatchesRfc1321) {
  EXPECT_EQ(DigestToHex(MD5(GetParam().input)), GetParam().digest);
}

// The test suite of RFC 1321, appendix A.5.
INSTANTIATE_TEST_SUITE_P(
    Rfc1321, Md5Vectors,
    ::testing::Values(
        Md5Case{"", "D41D8CD98F00B204E9800998ECF8427E"},
        Md5Case{"a", "0CC175B9C0F1B6A831C399E269772661"},
        Md5Case{"abc", "900150983CD24FB0D6963F7D28E17F72"},
        Md5Case{"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        Md5Case{"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        Md5Case{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                "D174AB98D277D9F5A5611C2C9F419D9F"},
        Md5Case{"1234567890123456789012345678901234567890123456789012345678901234567890123456"
                "7890",
                "57EDF4A22BE3C955AC49DA2E2107B67A"}));

TEST(Md5, IncrementalUpdatesAcrossBlockBoundariesGiveTheSameDigest) {
  std::string data(1000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  for (std::size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 999u}) {
    TMD5 md5;
    md5.Update(data.data(), split);
    md5.Update(data.data() + split, data.size() - split);
    EXPECT_EQ(md5.Final(), MD5(data)) << "split at " << split;
  }
}

// --- Running-product check -------------------------------------------------------------------

struct ProcessorCase {
  String name, vendor, identifier, expected;
};

class ProcessorFallbacks : public ::testing::TestWithParam<ProcessorCase> {};

TEST_P(ProcessorFallbacks, Describe) {
  const auto& c = GetParam();
  EXPECT_EQ(Utf8(ProcessorDescription(c.name, c.vendor, c.identifier)), Utf8(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProcessorFallbacks,
    ::testing::Values(ProcessorCase{u"       Intel(R) Pentium(R) 4 CPU 3.00GHz", u"GenuineIntel",
                                    u"x86", u"Intel(R) Pentium(R) 4 CPU 3.00GHz"},
                      ProcessorCase{u"", u"GenuineIntel", u"x86 Family 6 Model 15 Stepping 11",
                                    u"GenuineIntel - x86 Family 6 Model 15 Stepping 11"},
                      ProcessorCase{u"  \t ", u" GenuineIntel ", u"", u"GenuineIntel"},
                      ProcessorCase{u"", u"", u"x86 Family 6 Model 15 Stepping 11",
                                    u"Unknown processor"},
                      ProcessorCase{u"", u"", u"", u"Unknown processor"}));

TEST(RunningProductKey, IsTheUpperCaseMd5OfTheAnsiKeyText) {
  String text = u"PC1" + String(u"Intel(R) Core(TM) i5 CPU") + kRunningProductSeed;
  EXPECT_EQ(Utf8(text), "PC1Intel(R) Core(TM) i5 CPUNorvaneVexlor");
  EXPECT_EQ(Utf8(RunningProductKeyOf(text)), "AF337062DC4218165201A24473B4943D");
}

TEST(RunningProductKey, CharactersOutsideTheCodePageBecomeItsDefaultCharacter) {
  if (text::UnicodeToAnsi(u"\u00C9\u03A9") != "\xC9?")
    GTEST_SKIP() << "the system's ANSI code page is not Windows-1252";
  // "PC" E-acute "Intel" Omega: Omega has no place in Windows-1252 and is hashed as "?".
  EXPECT_EQ(Utf8(RunningProductKeyOf(u"PC\u00C9Intel\u03A9NorvaneVexlor")),
            "F35E473A6508592C331483189420C34C");
}

TEST(RunningProductKey, IsStableAndHas32HexDigits) {
  String key = RunningProductKey();
  EXPECT_EQ(key, RunningProductKey());
  ASSERT_EQ(key.size(), 32u);
  for (char16_t c : key)
    EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'));
}

TEST(IsProductRunning, TrueWhileTheProductHoldsItsMutex) {
  plat::TNamedMutex product(RunningProductKey());
  ASSERT_TRUE(product.Valid());
  EXPECT_TRUE(IsProductRunning());
  EXPECT_TRUE(IsProductRunning());  // asking does not consume the product's hold
}

TEST(IsMutexHeld, LeavesNoMutexBehind) {
  // A name of this test run only, so that other runs on the machine cannot interfere.
  const String name = RunningProductKeyOf(u"test-" + plat::GetEnvVar(u"VEXLOR_TEST_TAG"));
  EXPECT_FALSE(IsMutexHeld(name));
  EXPECT_FALSE(IsMutexHeld(name));  // the first question left nothing behind
  {
    plat::TNamedMutex product(name);
    EXPECT_TRUE(IsMutexHeld(name));
  }
  EXPECT_FALSE(IsMutexHeld(name));
  plat::TNamedMutex again(name);
  EXPECT_FALSE(again.AlreadyExisted());
}

// --- Download target and progress ------------------------------------------------------------

TEST(RandomFileName, HasTheShapeAndAlphabetOfTheNames) {
  std::mt19937_64 gen(12345);
  for (int i = 0; i < 2000; ++i) {
    String name = RandomFileName(gen);
    ASSERT_EQ(name.size(), 12u);
    for (std::size_t p = 0; p < name.size(); ++p) {
      char16_t c = name[p];
      if (p == 8)
        EXPECT_EQ(c, u'.');
      else
        EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'a' && c <= u'z'))
            << Utf8(name);
    }
  }
}

TEST(RandomFileName, DrawsTheThreeClassesEquallyOften) {
  std::mt19937_64 gen(777);
  std::map<char, int> classes;
  std::set<char16_t> seen;
  const int names = 30000;
  for (int i = 0; i < names; ++i) {
    for (char16_t c : RandomFileName(gen)) {
      if (c == u'.') continue;
      seen.insert(c);
      classes[c <= u'9' ? 'd' : c <= u'Z' ? 'u' : 'l']++;
    }
  }
  const double per_class = names * 11 / 3.0;
  for (char k : {'d', 'u', 'l'})
    EXPECT_NEAR(classes[k], per_class, per_class * 0.03) << k;
  EXPECT_EQ(seen.size(), 62u);  // every character of the alphabet occurs
}

TEST(RandomGenerator, IsSeededFromTheSecureSourceSoRunsDiffer) {
  SeedRandomGenerator();
  String a = RandomFileName(RandomGenerator());
  SeedRandomGenerator();
  String b = RandomFileName(RandomGenerator());
  SeedRandomGenerator();
  String c = RandomFileName(RandomGenerator());
  EXPECT_FALSE(a == b && b == c);
}

struct ExtCase {
  String path, expected;
};

class ExeTwin : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExeTwin, ReplacesTheExtension) {
  EXPECT_EQ(Utf8(ChangeExtToExe(GetParam().path)), Utf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExeTwin,
    ::testing::Values(ExtCase{u"C:\\Temp\\k3Q0zT8a.P2c", u"C:\\Temp\\k3Q0zT8a.exe"},
                      ExtCase{u"k3Q0zT8a.P2c", u"k3Q0zT8a.exe"},
                      ExtCase{u"C:\\Temp.d\\k3Q0zT8a", u"C:\\Temp.d\\k3Q0zT8a.exe"},
                      ExtCase{u"a.b:c", u"a.b:c.exe"}, ExtCase{u"x.tar.gz", u"x.tar.exe"}));

TEST(ChooseDownloadTarget, PicksAFreshNameInTheTemporaryFolder) {
  TempDir dir;
  ScopedTempFolder temp(dir.Path());
  String target = ChooseDownloadTarget();
  ASSERT_EQ(target.size(), dir.Folder().size() + 12);
  EXPECT_EQ(Utf8(target.substr(0, dir.Folder().size())), Utf8(dir.Folder()));
  EXPECT_FALSE(plat::FileExists(target));
  EXPECT_FALSE(plat::FileExists(ChangeExtToExe(target)));
  EXPECT_TRUE(dir.Files().empty());  // choosing creates nothing
}

TEST(CreateDownloadFile, NeverOpensAFileThatExistsAndDrawsANewName) {
  TempDir dir;
  ScopedTempFolder temp(dir.Path());
  dir.WriteFile("planted1.bin", "planted");
  String path = dir.Folder() + u"planted1.bin";
  auto stream = CreateDownloadFile(path);
  ASSERT_NE(stream, nullptr);
  EXPECT_NE(Utf8(path), Utf8(dir.Folder() + u"planted1.bin"));
  EXPECT_EQ(dir.ReadFile("planted1.bin"), "planted");
  EXPECT_EQ(stream->Write("abc", 3), 3);
  EXPECT_EQ(stream->Size(), 3);
  stream.reset();
  EXPECT_TRUE(plat::FileExists(path));
}

TEST(CreateDownloadFile, RaisesTheCreationErrorWithThePath) {
  TempDir dir;
  String path = dir.Folder() + u"missing" + plat::PathDelimiter() + u"k3Q0zT8a.P2c";
  try {
    CreateDownloadFile(path);
    FAIL() << "no error";
  } catch (const plat::EFCreateError& e) {
    std::string expected = "Cannot create file \"" + Utf8(path) + "\". ";
    EXPECT_EQ(e.Message().substr(0, expected.size()), expected);
    EXPECT_GT(e.Message().size(), expected.size());  // the system's reason follows
  }
}

TEST(RenameDownloadToExe, RenamesToTheExeTwin) {
  TempDir dir;
  dir.WriteFile("k3Q0zT8a.P2c", "setup");
  String path = dir.Folder() + u"k3Q0zT8a.P2c";
  ASSERT_TRUE(RenameDownloadToExe(path));
  EXPECT_EQ(Utf8(path), Utf8(dir.Folder() + u"k3Q0zT8a.exe"));
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"k3Q0zT8a.exe"});
  EXPECT_EQ(dir.ReadFile("k3Q0zT8a.exe"), "setup");
}

TEST(RenameDownloadToExe, NeverReplacesAnExeThatIsInTheWay) {
  TempDir dir;
  dir.WriteFile("k3Q0zT8a.P2c", "downloaded");
  dir.WriteFile("k3Q0zT8a.exe", "planted");
  String path = dir.Folder() + u"k3Q0zT8a.P2c";
  EXPECT_FALSE(RenameDownloadToExe(path));
  EXPECT_EQ(Utf8(path), Utf8(dir.Folder() + u"k3Q0zT8a.P2c"));
  EXPECT_EQ(dir.ReadFile("k3Q0zT8a.exe"), "planted");
  EXPECT_EQ(dir.ReadFile("k3Q0zT8a.P2c"), "downloaded");
}

struct ProgressCase {
  std::int64_t received, length;
  std::int32_t percent;
  std::string text;
};

class ProgressFigures : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressFigures, PercentAndText) {
  const auto& c = GetParam();
  EXPECT_EQ(ProgressPercent(c.received, c.length), c.percent);
  EXPECT_EQ(Utf8(ProgressText(c.received, c.length)), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProgressFigures,
    ::testing::Values(ProgressCase{2500000, 5000000, 50,
                                   "Downloading installer... [2441 of 4882 KB]"},
                      ProgressCase{3000, -1, -300000, "Downloading installer... [2 of 0 KB]"},
                      ProgressCase{6000, 5000, 120, "Downloading installer... [5 of 4 KB]"},
                      ProgressCase{100, 0, 0, "Downloading installer... [0 of 0 KB]"},
                      ProgressCase{1023, 1024, 99, "Downloading installer... [0 of 1 KB]"},
                      ProgressCase{5000000000LL, 5000000000LL, 100,
                                   "Downloading installer... [4882812 of 4882812 KB]"}));

TEST(ProgressUpdateDue, OnlyMoreThan100MillisecondsApartInEitherOrder) {
  const double ms = 1.0 / 86400000.0;
  const double t = 45000.5;
  struct {
    double delta_ms;
    bool due;
  } cases[] = {{0, false},   {50, false},   {100, false}, {101, true},
               {-101, true}, {-100, false}, {1000, true}};
  for (const auto& c : cases)
    EXPECT_EQ(ProgressUpdateDue(t + c.delta_ms * ms, t), c.due) << c.delta_ms;
  EXPECT_TRUE(ProgressUpdateDue(t, 0.0));  // the first update after creation
}

TEST(LocalDateTimeNow, CountsDaysSince1899) {
  double a = LocalDateTimeNow();
  double b = LocalDateTimeNow();
  EXPECT_LT(std::abs(b - a), 1.0 / 86400.0);  // two readings within a second
  // Some day after 2020-01-01 (43831) and before 2100-01-01 (73051).
  EXPECT_GT(a, 43831.0);
  EXPECT_LT(a, 73051.0);
}

// --- Setup runner ----------------------------------------------------------------------------

struct CommandLineCase {
  String file;
  bool icon;
  String folder;
  String expected;
};

class SetupCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(SetupCommandLine, Composes) {
  const auto& c = GetParam();
  EXPECT_EQ(Utf8(BuildSetupCommandLine(c.file, c.icon, c.folder)), Utf8(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetupCommandLine,
    ::testing::Values(
        CommandLineCase{u"C:\\Temp\\k3Q0zT8a.exe", true, u"C:\\Program Files\\Norvane Vexlor\\",
                        u"C:\\Temp\\k3Q0zT8a.exe /S /I /D=C:\\Program Files\\Norvane Vexlor\\"},
        CommandLineCase{u"C:\\Temp\\k3Q0zT8a.exe", false, u"C:\\Program Files\\Norvane Vexlor\\",
                        u"C:\\Temp\\k3Q0zT8a.exe /S /D=C:\\Program Files\\Norvane Vexlor\\"},
        CommandLineCase{u"C:\\Temp\\k3Q0zT8a.exe", false, u"D:\\Tools",
                        u"C:\\Temp\\k3Q0zT8a.exe /S /D=D:\\Tools"}));

// --- Installer record ------------------------------------------------------------------------

struct NormaliseCase {
  String name, recorded;
};

class Normaliser : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(Normaliser, RecordedName) {
  EXPECT_EQ(Utf8(NormalizeInstallerFileName(GetParam().name)), Utf8(GetParam().recorded));
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, Normaliser,
    ::testing::Values(NormaliseCase{u"VexlorSetup.exe", u"VexlorSetup.exe"},
                      NormaliseCase{u"VexlorSetup (1).exe", u"VexlorSetup.exe"},
                      NormaliseCase{u"VexlorSetup[2].exe", u"VexlorSetup.exe"},
                      NormaliseCase{u"setup(1)x.exe", u"setupx.exe"},
                      NormaliseCase{u"setup (-5).exe", u"setup.exe"},
                      NormaliseCase{u"setup (1899).exe", u"setup.exe"},
                      NormaliseCase{u"setup (1900).exe", u"setup (1900).exe"},
                      NormaliseCase{u"VexlorSetup (2014).exe", u"VexlorSetup (2014).exe"},
                      NormaliseCase{u"VexlorSetup (copy).exe", u"VexlorSetup (copy).exe"},
                      NormaliseCase{u"(1).exe", u"(1).exe"},
                      NormaliseCase{u"setup (1) (2).exe", u"setup  (2).exe"},
                      NormaliseCase{u"setup[1](2).exe", u"setup[1].exe"},
                      NormaliseCase{u"a)b(1).exe", u"a)b.exe"},
                      NormaliseCase{u"setup.(1)", u"setup.(1)"}));

// Groups whose number is written in another form are kept, whatever its value.
INSTANTIATE_TEST_SUITE_P(
    OtherNumberForms, Normaliser,
    ::testing::Values(NormaliseCase{u"setup (+3).exe", u"setup.exe"},
                      NormaliseCase{u"setup (1.5).exe", u"setup (1.5).exe"},
                      NormaliseCase{u"setup (1e3).exe", u"setup (1e3).exe"},
                      NormaliseCase{u"setup ( 1).exe", u"setup ( 1).exe"},
                      NormaliseCase{u"setup (99999999999).exe", u"setup (99999999999).exe"},
                      NormaliseCase{u"setup (-99999999999).exe", u"setup (-99999999999).exe"},
                      NormaliseCase{u"setup ().exe", u"setup ().exe"},
                      NormaliseCase{u"setup (-).exe", u"setup (-).exe"},
                      NormaliseCase{u"dir/setup (1).exe", u"dir\\setup.exe"}));

TEST(ExtractFileName, TakesThePartAfterTheLastDelimiter) {
  EXPECT_EQ(Utf8(ExtractFileName(u"C:\\Users\\x\\Downloads\\VexlorSetup (1).exe")),
            "VexlorSetup (1).exe");
  EXPECT_EQ(Utf8(ExtractFileName(u"C:VexlorSetup.exe")), "VexlorSetup.exe");
  EXPECT_EQ(Utf8(ExtractFileName(u"VexlorSetup.exe")), "VexlorSetup.exe");
}

// --- Destination folder ----------------------------------------------------------------------

TEST(DefaultInstallFolder, ProgramFilesDirOrTheFallback) {
  EXPECT_EQ(
      Utf8(DefaultInstallFolderFrom(String(u"C:\\Program Files"), u"c:\\Program Files", u'\\')),
      "C:\\Program Files\\Norvane Vexlor\\");
  EXPECT_EQ(Utf8(DefaultInstallFolderFrom(std::nullopt, u"c:\\Program Files", u'\\')),
            "c:\\Program Files\\Norvane Vexlor\\");
  EXPECT_EQ(Utf8(DefaultInstallFolderFrom(std::nullopt, u"/opt", u'/')), "/opt/Norvane Vexlor/");
}

struct BrowseCase {
  String chosen, folder;
  char16_t delimiter;
};

class BrowsedFolder : public ::testing::TestWithParam<BrowseCase> {};

TEST_P(BrowsedFolder, GetsTheProductFolder) {
  const auto& c = GetParam();
  EXPECT_EQ(Utf8(BrowsedInstallFolder(c.chosen, c.delimiter)), Utf8(c.folder));
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrowsedFolder,
    ::testing::Values(BrowseCase{u"D:\\Apps", u"D:\\Apps\\Norvane Vexlor\\", u'\\'},
                      BrowseCase{u"D:\\", u"D:\\Norvane Vexlor\\", u'\\'},
                      BrowseCase{u"E:\\Vexlor Tools", u"E:\\Vexlor Tools\\", u'\\'},
                      BrowseCase{u"D:\\vexlor", u"D:\\vexlor\\Norvane Vexlor\\", u'\\'},
                      BrowseCase{u"/home/ann/apps", u"/home/ann/apps/Norvane Vexlor/", u'/'},
                      BrowseCase{u"/", u"/Norvane Vexlor/", u'/'}));

// --- Licence page ----------------------------------------------------------------------------

TEST(HtmlDialogOptions, SizesOfTheWizardAt96Dpi) {
  EXPECT_EQ(Utf8(HtmlDialogOptions(true, 424 - 50, 594 - 50)),
            "resizable:yes;dialogHeight:374 px;dialogWidth:544 px;");
  EXPECT_EQ(Utf8(HtmlDialogOptions(false, 374, 544)), "dialogHeight:374 px;dialogWidth:544 px;");
}

TEST(Addresses, SchemeAndPathsAreFixed) {
  std::string download = Utf8(DownloadUrl()), licence = Utf8(LicenseUrl());
  EXPECT_EQ(download.rfind("http://", 0), 0u);
  EXPECT_EQ(download.substr(download.size() - 13), "/download.php");
  EXPECT_EQ(licence.rfind("http://", 0), 0u);
  EXPECT_EQ(licence.substr(licence.size() - 12), "/license.php");
}

}  // namespace
