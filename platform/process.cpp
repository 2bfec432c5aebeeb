// The command-line splitting shared by the backends that start programs from an argument
// vector (POSIX), written once so that its rules can be tested on every platform.
#include "platform/process.h"

namespace plat {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

bool StartsWithSwitchD(const String& s, std::size_t pos) {
  return s.compare(pos, 3, u"/D=") == 0;
}

}  // namespace

std::vector<String> SplitCommandLine(const String& command_line,
                                     const std::function<bool(const String&)>& is_file) {
  std::vector<String> out;
  std::size_t pos = 0;
  const std::size_t n = command_line.size();
  while (pos < n && IsBlank(command_line[pos]))
    ++pos;
  if (pos == n) return out;

  // The program.
  if (command_line[pos] == u'"') {
    std::size_t close = command_line.find(u'"', pos + 1);
    if (close == String::npos) close = n;
    out.push_back(command_line.substr(pos + 1, close - pos - 1));
    pos = close < n ? close + 1 : n;
  } else {
    std::size_t first_end = pos;
    while (first_end < n && !IsBlank(command_line[first_end]))
      ++first_end;
    std::size_t chosen = first_end;
    // An unquoted path with blanks: the shortest prefix, ending before a blank or at the end
    // of the line, that names a file.
    for (std::size_t end = first_end;; ++end) {
      if (end == n || IsBlank(command_line[end])) {
        if (is_file && is_file(command_line.substr(pos, end - pos))) {
          chosen = end;
          break;
        }
        if (end == n) break;
      }
    }
    out.push_back(command_line.substr(pos, chosen - pos));
    pos = chosen;
  }

  std::vector<String> args = SplitArguments(command_line.substr(pos));
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

std::vector<String> SplitArguments(const String& command_line) {
  std::vector<String> out;
  std::size_t pos = 0;
  const std::size_t n = command_line.size();
  while (true) {
    while (pos < n && IsBlank(command_line[pos]))
      ++pos;
    if (pos >= n) break;
    if (StartsWithSwitchD(command_line, pos)) {
      out.push_back(command_line.substr(pos));
      break;
    }
    String arg;
    bool quoted = false;
    while (pos < n && (quoted || !IsBlank(command_line[pos]))) {
      if (command_line[pos] == u'"')
        quoted = !quoted;
      else
        arg.push_back(command_line[pos]);
      ++pos;
    }
    out.push_back(arg);
  }
  return out;
}

}  // namespace plat
