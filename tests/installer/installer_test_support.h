// Helpers of the installer's tests: private temporary folders, pumping the thread's messages
// with a deadline, and running a scenario on a fresh thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/text.h"

namespace testing_support {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The folder as the platform writes it, ending with the delimiter.
  String Folder() const;
  // Regular files in the folder, by name.
  std::vector<std::string> Files() const;
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Makes the platform's temporary folder (TMPDIR on POSIX, TMP and TEMP on Windows) point to
// `folder` while it lives.
class ScopedTempFolder {
 public:
  explicit ScopedTempFolder(const std::filesystem::path& folder);
  ~ScopedTempFolder();

 private:
  std::vector<std::pair<String, String>> saved_;
};

// Dispatches the calling thread's messages until `done` holds or the deadline passes; false on
// the deadline.
bool PumpUntil(const std::function<bool()>& done, int deadline_ms = 10000);

// Runs `body` on a new thread (its own message queue and headless application) and waits for it
// with a deadline; a body that does not end in time fails the test and ends the program, since
// a stuck thread cannot be stopped.
void RunOnFreshThread(const std::function<void()>& body, int deadline_ms = 30000);

std::string Utf8(const String& s);
String FromPath(const std::filesystem::path& p);
std::filesystem::path ToPath(const String& s);

}  // namespace testing_support
