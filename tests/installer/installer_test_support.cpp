// Helpers of the installer's tests.
#include "tests/installer/installer_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "events/application.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/process.h"
#include "tests/support/test_thread.h"

namespace testing_support {

namespace fs = std::filesystem;

std::string Utf8(const String& s) {
  return text::ToUtf8(s);
}

String FromPath(const fs::path& p) {
  return p.u16string();
}

fs::path ToPath(const String& s) {
  return fs::path(s);
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (int i = 0; i < 100; ++i) {
    fs::path p = base / ("vexlor-test-" + std::to_string(rd()) + "-" + std::to_string(++counter));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = fs::canonical(p);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

String TempDir::Folder() const {
  String f = FromPath(path_);
  if (f.empty() || f.back() != plat::PathDelimiter()) f.push_back(plat::PathDelimiter());
  return f;
}

std::vector<std::string> TempDir::Files() const {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(path_))
    if (e.is_regular_file()) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void TempDir::WriteFile(const std::string& name, const std::string& content) const {
  std::ofstream out(path_ / name, std::ios::binary);
  out << content;
}

std::string TempDir::ReadFile(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ScopedTempFolder::ScopedTempFolder(const fs::path& folder) {
  for (const char16_t* name : {u"TMPDIR", u"TMP", u"TEMP"}) {
    saved_.emplace_back(name, plat::GetEnvVar(name));
    plat::SetEnvVar(name, FromPath(folder));
  }
}

ScopedTempFolder::~ScopedTempFolder() {
  for (const auto& [name, value] : saved_)
    plat::SetEnvVar(name, value);
}

bool PumpUntil(const std::function<bool()>& done, int deadline_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (plat::WaitForInput(20)) Application().ProcessMessages();
  }
  return true;
}

void RunOnFreshThread(const std::function<void()>& body, int deadline_ms) {
  support::Signal finished;
  support::TestThread t([&] {
    body();
    finished.Set();
  });
  if (!finished.WaitFor(std::chrono::milliseconds(deadline_ms))) {
    ADD_FAILURE() << "the scenario did not end within " << deadline_ms << " ms";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  t.join();
}

}  // namespace testing_support
