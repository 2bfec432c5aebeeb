// The installer's log for support.
#include "installer/support_log.h"

#include <cmath>
#include <string_view>

#include "platform/calendar.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace installer {

namespace {

// The first line of a log whose oldest lines went.
constexpr std::string_view kDropped = "(earlier lines dropped: the log reached its size limit)\n";

}  // namespace

std::string FormatLogTime(double date_time) {
  // Days since 1899-12-30 to a civil date, and the fraction to the time of day.
  const double whole = std::floor(date_time);
  long long ms = std::llround((date_time - whole) * 86400000.0);
  long long days = static_cast<long long>(whole) - 25569;  // 1899-12-30 .. 1970-01-01
  if (ms >= 86400000) {
    ms -= 86400000;
    ++days;
  }
  int year = 0, month = 0, day = 0;
  plat::CivilFromDays(days, year, month, day);
  // "YYYY-MM-DD hh:mm:ss.mmm"
  std::string out;
  text::AppendDecimal(out, year, 4);
  out += '-';
  text::AppendDecimal(out, month, 2);
  out += '-';
  text::AppendDecimal(out, day, 2);
  out += ' ';
  text::AppendTimeOfDay(out, ms / 1000);
  out += '.';
  text::AppendDecimal(out, ms % 1000, 3);
  return out;
}

TSupportLog::TSupportLog(String path, TDateTimeClock now, std::size_t max_bytes)
    : path_(std::move(path)), now_(std::move(now)), max_bytes_(max_bytes) {
  if (path_.empty()) path_ = plat::TempFolder() + kSupportLogName;
  if (!now_) now_ = LocalDateTimeNow;
}

void TSupportLog::Line(const String& event) {
  if (broken_) return;
  try {
    // One event, one line: line ends inside the text would forge lines of their own.
    String clean = event;
    for (char16_t& c : clean)
      if (c < 32) c = u' ';
    std::string line = FormatLogTime(now_()) + " " + text::ToUtf8(clean) + "\n";
    if (line.size() > max_bytes_ / 4) line = line.substr(0, max_bytes_ / 4 - 1) + "\n";
    lines_.push_back(std::move(line));
    bytes_ += lines_.back().size();
    // The oldest lines go first; the first line says that some went.
    while (bytes_ + kDropped.size() > max_bytes_ && lines_.size() > 1) {
      bytes_ -= lines_.front().size();
      lines_.pop_front();
      dropped_ = true;
    }
    Write();
  } catch (const std::exception&) {
    broken_ = true;
  }
}

void TSupportLog::Write() {
  std::string all;
  if (dropped_) all = kDropped;
  for (const std::string& line : lines_)
    all += line;
  const String temp = path_ + u".tmp";
  plat::DeleteFile(temp);
  {
    plat::TFileStream out(temp, plat::TFileMode::fmCreateNew);
    if (out.Write(all.data(), static_cast<std::int32_t>(all.size())) !=
        static_cast<std::int32_t>(all.size()))
      broken_ = true;
  }
  if (broken_ || !plat::MoveFileReplace(temp, path_)) {
    broken_ = true;
    plat::DeleteFile(temp);
  }
}

}  // namespace installer
