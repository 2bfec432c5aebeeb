// The download file and the progress figures.
#include "installer/download_target.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/sysinfo.h"

namespace installer {
namespace {

constexpr int kMaxNameDraws = 1000;
constexpr int kMaxCreateAttempts = 16;

bool g_seeded = false;

std::mt19937_64& Generator() {
  // On the heap and never destroyed: a static engine would be stored in the program file with
  // its 2.5 KB default state, which the seeding replaces before any use anyway.
  static std::mt19937_64* generator = new std::mt19937_64;
  return *generator;
}

}  // namespace

void SeedRandomGenerator() {
  std::uint64_t seed = 0;
  if (!plat::SecureRandom(seed))
    seed = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
  Generator().seed(seed);
  g_seeded = true;
}

std::mt19937_64& RandomGenerator() {
  if (!g_seeded) SeedRandomGenerator();
  return Generator();
}

String RandomFileName(std::mt19937_64& generator) {
  // One of n equally likely values: the remainder of a 64-bit draw, whose bias for these small
  // n (below 2^-59) no test or user can see.
  auto pick = [&generator](unsigned n) { return static_cast<int>(generator() % n); };
  auto pick_class = [&] { return pick(3); };
  auto pick_digit = [&] { return pick(10); };
  auto pick_letter = [&] { return pick(26); };
  String name;
  for (int i = 0; i < 12; ++i) {
    if (i == 8) {
      name.push_back(u'.');
      continue;
    }
    switch (pick_class()) {
      case 0:
        name.push_back(static_cast<char16_t>(u'0' + pick_digit()));
        break;
      case 1:
        name.push_back(static_cast<char16_t>(u'A' + pick_letter()));
        break;
      default:
        name.push_back(static_cast<char16_t>(u'a' + pick_letter()));
        break;
    }
  }
  return name;
}

String ChangeExtToExe(const String& path) {
  std::size_t start = 0;
  for (std::size_t i = path.size(); i > 0; --i) {
    char16_t c = path[i - 1];
    if (c == u'\\' || c == u':' || c == plat::PathDelimiter()) {
      start = i;
      break;
    }
  }
  std::size_t dot = path.rfind(u'.');
  if (dot == String::npos || dot < start) return path + u".exe";
  return path.substr(0, dot) + u".exe";
}

String ChooseDownloadTarget() {
  String candidate;
  for (int i = 0; i < kMaxNameDraws; ++i) {
    String name = RandomFileName(RandomGenerator());
    candidate = plat::TempFolder() + name;
    if (!plat::FileExists(candidate) && !plat::FileExists(ChangeExtToExe(candidate))) break;
  }
  return candidate;
}

std::unique_ptr<plat::TFileStream> CreateDownloadFile(String& path) {
  // Without a temporary folder the name would land in whatever the current folder is; a program
  // that is about to be run is not downloaded there.
  if (path.find(plat::PathDelimiter()) == String::npos)
    throw plat::EFCreateError(
        "Cannot create file \"" + text::ToUtf8(path) + "\". The temporary folder is not available.",
        0);
  for (int attempt = 1;; ++attempt) {
    try {
      return std::make_unique<plat::TFileStream>(path, plat::TFileMode::fmCreateHeld);
    } catch (const plat::EFCreateError& e) {
      // A name taken since it was chosen (or planted there): never reuse it, draw again.
      if (!plat::IsFileExistsError(e.ErrorCode) || attempt >= kMaxCreateAttempts) throw;
      path = ChooseDownloadTarget();
    }
  }
}

bool RenameDownloadToExe(String& path) {
  String exe = ChangeExtToExe(path);
  if (!plat::MoveFileNoReplace(path, exe)) return false;
  if (!plat::MakeExecutable(exe)) {
    // Leave nothing half-done behind: the file goes back to its download name.
    plat::MoveFileNoReplace(exe, path);
    return false;
  }
  path = exe;
  return true;
}

bool HeldFileMatches(plat::TFileStream& held, std::int64_t length,
                     const plat::TSha256Digest& expected) {
  // A file that cannot be read back is no file to run.
  plat::TSha256 hash;
  return plat::HashStream(held, 0, -1, hash) &&
         hash.Length() == static_cast<std::uint64_t>(length) && hash.Final() == expected;
}

bool RenameHeldDownloadToExe(String& path, plat::TFileStream& held) {
  String exe = ChangeExtToExe(path);
  if (!held.RenameHeld(exe)) return false;
  path = exe;
  if (!plat::MakeExecutable(exe)) return false;
  return held.EndWriting();
}

double LocalDateTimeNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm local = *std::localtime(&t);
  std::tm utc = *std::gmtime(&t);
  local.tm_isdst = 0;
  utc.tm_isdst = 0;
  double offset_s = std::difftime(std::mktime(&local), std::mktime(&utc));
  double unix_ms = static_cast<double>(duration_cast<milliseconds>(now.time_since_epoch()).count());
  // 25569 days lie between 1899-12-30 and 1970-01-01.
  return 25569.0 + (unix_ms / 1000.0 + offset_s) / 86400.0;
}

bool ProgressUpdateDue(double now, double last_update) {
  auto to_ms = [](double days) { return std::llround(days * 86400000.0); };
  long long diff = to_ms(now) - to_ms(last_update);
  if (diff < 0) diff = -diff;
  return diff > 100;
}

std::int32_t ProgressPercent(std::int64_t received, std::int64_t length) {
  if (length == 0) return 0;
  // The product wraps like the original 64-bit arithmetic instead of overflowing.
  auto product = static_cast<std::int64_t>(static_cast<std::uint64_t>(received) * 100u);
  if (length == -1 && product == INT64_MIN) return 0;
  return static_cast<std::int32_t>(product / length);
}

String ProgressText(std::int64_t received, std::int64_t length) {
  return u"Downloading installer... [" + text::IntToStr(received / 1024) + u" of " +
         text::IntToStr(length / 1024) + u" KB]";
}

}  // namespace installer
