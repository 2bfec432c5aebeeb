// The installer's log for support: "Vexlor Installer.log" in the temporary folder, one line per
// event (start, the product check, each download attempt, the verification, the setup's command
// line and exit code, the page shown at the end), each line led by its local date and time.
//
// Each run starts the log afresh. The lines are kept in memory up to kSupportLogMaxBytes (the
// oldest ones go first, leaving a note) and the whole file is rewritten after each line through
// a temporary file and one rename, so the log is never half written and never larger than the
// limit. What goes in is the caller's text; the callers put no credentials there (addresses go
// through download_retry::AddressForLog, request headers are never logged).
//
// Writing the log never fails the caller: a log that cannot be written is given up silently and
// the installation goes on.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstddef>
#include <string>
#include <deque>

#include "installer/download_target.h"
#include "platform/text.h"

namespace installer {

inline const String kSupportLogName = u"Vexlor Installer.log";
constexpr std::size_t kSupportLogMaxBytes = 64 * 1024;

// "2026-12-10 17:57:02.123" for a local date-time (days since 1899-12-30).
std::string FormatLogTime(double date_time);

class TSupportLog {
 public:
  // `path` empty: the temporary folder's "Vexlor Installer.log". `now` empty: the local clock.
  explicit TSupportLog(String path = String(), TDateTimeClock now = nullptr,
                       std::size_t max_bytes = kSupportLogMaxBytes);

  // Adds one line and writes the log; never raises.
  void Line(const String& event);

  const String& Path() const { return path_; }

 private:
  void Write();

  String path_;
  TDateTimeClock now_;
  std::size_t max_bytes_;
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;
  bool dropped_ = false;
  bool broken_ = false;  // a write failed: the log is given up
};

}  // namespace installer
