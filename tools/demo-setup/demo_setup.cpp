// The demo setup program's work: its arguments, the product it carries, the icon file.
#include "tools/demo-setup/demo_setup.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "platform/files.h"
#include "platform/process.h"

namespace demo {
namespace {

namespace fs = std::filesystem;

bool IsWindows() {
  return plat::PathDelimiter() == u'\\';
}

fs::path PathOf(const String& s) {
  return fs::path(s);
}

bool StartsWithNoCase(const String& s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  return text::LowerAscii(std::u16string_view(s).substr(0, prefix.size())) ==
         text::LowerAscii(prefix);
}

std::uint32_t Le32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

// The trailer before the end of the setup's own bytes (a signature may follow them), and where
// those bytes end.
bool ReadTail(const String& path, std::uint64_t& size, std::string& tail) {
  std::ifstream in(PathOf(path), std::ios::binary | std::ios::ate);
  if (!in) return false;
  const auto file_size = static_cast<std::uint64_t>(in.tellg());
  std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(file_size, 4096)), '\0');
  in.seekg(0);
  if (!in.read(head.data(), static_cast<std::streamsize>(head.size()))) return false;
  size = ContentEnd(head, file_size);
  const std::uint64_t n = std::min<std::uint64_t>(size, kTrailerSize + 7);
  std::string before(static_cast<std::size_t>(n), '\0');
  in.seekg(static_cast<std::streamoff>(size - n));
  if (!in.read(before.data(), static_cast<std::streamsize>(n))) return false;
  tail = FindTrailer(before, size);
  return !tail.empty();
}

bool CopyRange(const String& from, std::uint64_t offset, std::uint64_t size, const String& to) {
  std::ifstream in(PathOf(from), std::ios::binary);
  if (!in) return false;
  in.seekg(static_cast<std::streamoff>(offset));
  std::ofstream out(PathOf(to), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  std::vector<char> buf(64 * 1024);
  while (size > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, buf.size()));
    if (!in.read(buf.data(), static_cast<std::streamsize>(n))) return false;
    if (!out.write(buf.data(), static_cast<std::streamsize>(n))) return false;
    size -= n;
  }
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int EnvInt(const char16_t* name, int fallback, int min, int max) {
  String v = plat::GetEnvVar(name);
  if (v.empty()) return fallback;
  bool negative = v[0] == u'-';
  std::int64_t n = 0;
  std::size_t i = negative ? 1 : 0;
  if (i == v.size()) return fallback;
  for (; i < v.size(); ++i) {
    if (v[i] < u'0' || v[i] > u'9') return fallback;
    n = n * 10 + (v[i] - u'0');
    // Far past any int: the rest of the digits cannot bring it back.
    if (n > 0xFFFFFFFFLL) return fallback;
  }
  if (negative) n = -n;
  return n < min || n > max ? fallback : static_cast<int>(n);
}

SetupArguments ParseSetupArguments(const std::vector<String>& args) {
  SetupArguments out;
  for (const String& a : args) {
    if (StartsWithNoCase(a, u"/D=")) {
      out.Folder = a.substr(3);
    } else if (text::LowerAscii(a) == u"/s") {
      out.Silent = true;
    } else if (text::LowerAscii(a) == u"/i") {
      out.DesktopIcon = true;
    } else {
      out.Unknown.push_back(a);
    }
  }
  return out;
}

std::uint64_t ContentEnd(const std::string& head, std::uint64_t file_size) {
  // MZ header -> "PE\0\0" -> COFF header (20 bytes) -> optional header, whose data directory
  // entry 4 (the certificate table) holds a file offset and a size.
  if (head.size() < 64 || head.compare(0, 2, "MZ") != 0) return file_size;
  const std::size_t pe = Le32(head, 0x3C);
  if (pe > head.size() || head.size() - pe < 24 + 2 ||
      head.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
    return file_size;
  const std::size_t optional = pe + 24;
  const unsigned magic = static_cast<unsigned char>(head[optional]) |
                         static_cast<unsigned>(static_cast<unsigned char>(head[optional + 1])) << 8;
  const std::size_t directory = optional + (magic == 0x20b ? 112 : 96) + 4 * 8;
  if (magic != 0x10b && magic != 0x20b) return file_size;
  if (directory + 8 > head.size()) return file_size;
  const std::uint64_t offset = Le32(head, directory), length = Le32(head, directory + 4);
  if (offset == 0 || length == 0 || offset + length != file_size) return file_size;
  return offset;
}

std::string FindTrailer(const std::string& before_end, std::uint64_t& end) {
  std::size_t n = before_end.size();
  for (int pad = 0; pad < 7 && n > 0 && before_end[n - 1] == '\0'; ++pad)
    --n;
  if (n < kTrailerSize) return std::string();
  end -= before_end.size() - n;
  return before_end.substr(n - kTrailerSize, kTrailerSize);
}

std::string PayloadTrailer(std::uint64_t size) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%016llu", static_cast<unsigned long long>(size));
  return std::string(kPayloadMagic) + digits + "\n";
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> FindPayload(std::uint64_t file_size,
                                                                   const std::string& trailer) {
  const std::size_t magic = sizeof kPayloadMagic - 1;
  if (trailer.size() != kTrailerSize || trailer.compare(0, magic, kPayloadMagic) != 0 ||
      trailer.back() != '\n') {
    return std::nullopt;
  }
  std::uint64_t size = 0;
  for (std::size_t i = magic; i + 1 < kTrailerSize; ++i) {
    char c = trailer[i];
    if (c < '0' || c > '9') return std::nullopt;
    size = size * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (size == 0 || file_size < kTrailerSize || size > file_size - kTrailerSize) {
    return std::nullopt;
  }
  return std::make_pair(file_size - kTrailerSize - size, size);
}

String JoinPath(const String& folder, const String& name) {
  char16_t d = plat::PathDelimiter();
  if (folder.empty()) return name;
  // Both delimiters end a Windows folder; only "/" a POSIX one.
  if (folder.back() == d || folder.back() == u'/') return folder + name;
  return folder + d + name;
}

String DesktopFolder() {
  String dir = plat::GetEnvVar(u"VEXLOR_DESKTOP_DIR");
  if (!dir.empty()) return dir;
  if (IsWindows()) {
    String profile = plat::GetEnvVar(u"USERPROFILE");
    return profile.empty() ? String() : JoinPath(profile, u"Desktop");
  }
  dir = plat::GetEnvVar(u"XDG_DESKTOP_DIR");
  if (!dir.empty()) return dir;
  String home = plat::GetEnvVar(u"HOME");
  return home.empty() ? String() : JoinPath(home, u"Desktop");
}

std::pair<String, std::string> DesktopIcon(const String& product) {
  std::string target = text::ToUtf8(product);
  if (IsWindows()) {
    std::string url = target;
    for (char& c : url)
      if (c == '\\') c = '/';
    return {u"Vexlor.url", "[InternetShortcut]\r\nURL=file:///" + url + "\r\nIconFile=" + target +
                               "\r\nIconIndex=0\r\n"};
  }
  return {u"Vexlor.desktop",
          "[Desktop Entry]\nType=Application\nName=Vexlor\nComment=Norvane "
          "Vexlor\nExec=" +
              DesktopExecArgument(target) + "\nTerminal=false\n"};
}

std::string DesktopExecArgument(const std::string& path) {
  // The quoting rule of the Exec key first (a backslash before ", `, $ and \), then the escape
  // rule of every string value (\\, \n, \t, \r), which a reader undoes first; "%" is doubled,
  // since a single one starts a field code.
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '%':
        out += "%%";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int RunSetup(const SetupArguments& args, const String& self, std::string& error) {
  int delay = EnvInt(u"VEXLOR_DEMO_SETUP_DELAY_MS", 0, 0, 60000);
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  if (!plat::GetEnvVar(u"VEXLOR_DEMO_SETUP_EXIT_CODE").empty()) {
    error = "exit code chosen by VEXLOR_DEMO_SETUP_EXIT_CODE";
    return EnvInt(u"VEXLOR_DEMO_SETUP_EXIT_CODE", 1, -2147483647 - 1, 2147483647);
  }
  if (!args.Folder || args.Folder->empty()) {
    error = "no destination folder: give /D=<folder>";
    return seUsage;
  }

  std::uint64_t file_size = 0;
  std::string tail;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> payload;
  if (ReadTail(self, file_size, tail)) payload = FindPayload(file_size, tail);
  if (!payload) {
    error = "the setup file " + text::ToUtf8(self) + " carries no product";
    return seNoPayload;
  }

  std::error_code ec;
  fs::create_directories(PathOf(*args.Folder), ec);
  if (ec) {
    error = "cannot create " + text::ToUtf8(*args.Folder) + ": " + ec.message();
    return seCannotWrite;
  }
  // A new file beside the old one, then renamed over it, so a failed copy leaves any earlier
  // installation whole.
  String product = JoinPath(*args.Folder, u"vexlor.exe");
  String partial = product + u".new";
  if (!CopyRange(self, payload->first, payload->second, partial)) {
    fs::remove(PathOf(partial), ec);
    error = "cannot write " + text::ToUtf8(partial);
    return seCannotWrite;
  }
  plat::MakeExecutable(partial);
  fs::rename(PathOf(partial), PathOf(product), ec);
  if (ec) {
    fs::remove(PathOf(partial), ec);
    error = "cannot replace " + text::ToUtf8(product) + " (is Vexlor running?)";
    return seCannotWrite;
  }

  if (args.DesktopIcon) {
    String desktop = DesktopFolder();
    if (desktop.empty()) {
      error = "no desktop folder";
      return seDesktopIcon;
    }
    fs::create_directories(PathOf(desktop), ec);
    auto [name, content] = DesktopIcon(product);
    std::ofstream out(PathOf(JoinPath(desktop, name)), std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
      error = "cannot write the desktop icon in " + text::ToUtf8(desktop);
      return seDesktopIcon;
    }
  }
  return seOk;
}

}  // namespace demo
