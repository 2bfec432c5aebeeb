// The installer's log for support.
#include "installer/support_log.h"

#include <cmath>
#include <cstdio>

#include "platform/files.h"
#include "platform/stream.h"

namespace installer {

std::string FormatLogTime(double date_time) {
  // Days since 1899-12-30 to a civil date (days from 1970-01-01 by the proleptic Gregorian
  // calendar), and the fraction to the time of day.
  const double whole = std::floor(date_time);
  long long ms = std::llround((date_time - whole) * 86400000.0);
  long long days = static_cast<long long>(whole) - 25569;  // 1899-12-30 .. 1970-01-01
  if (ms >= 86400000) {
    ms -= 86400000;
    ++days;
  }
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[160];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld", year, month,
                day, ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
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
    static const std::string kDropped = "(earlier lines dropped: the log reached its size limit)\n";
    while (bytes_ + kDropped.size() > max_bytes_ && lines_.size() > 1) {
      bytes_ -= lines_.front().size();
      lines_.erase(lines_.begin());
      dropped_ = true;
    }
    Write();
  } catch (const std::exception&) {
    broken_ = true;
  }
}

void TSupportLog::Write() {
  std::string all;
  if (dropped_) all = "(earlier lines dropped: the log reached its size limit)\n";
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
