// The installer record.
#include "installer/installer_record.h"

#include <cstdint>
#include <limits>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"

namespace installer {
namespace {

// 1-based position of the first c in s, 0 when there is none.
std::size_t Pos(char16_t c, const String& s) {
  std::size_t p = s.find(c);
  return p == String::npos ? 0 : p + 1;
}

// An optionally signed run of decimal digits that fits in 32 bits and is below 1900.
bool IsCounter(const String& inner) {
  std::size_t i = 0;
  bool negative = false;
  if (i < inner.size() && (inner[i] == u'+' || inner[i] == u'-')) negative = inner[i++] == u'-';
  if (i == inner.size()) return false;
  std::int64_t value = 0;
  for (; i < inner.size(); ++i) {
    if (inner[i] < u'0' || inner[i] > u'9') return false;
    value = value * 10 + (inner[i] - u'0');
    if (value > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1)
      return false;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return false;
  return value < 1900;
}

// Start (0-based) of the extension: the last "." after the last "\" and ":"; npos if none.
std::size_t ExtensionStart(const String& s) {
  std::size_t dot = s.rfind(u'.');
  if (dot == String::npos) return String::npos;
  std::size_t sep = s.find_last_of(u"\\:");
  if (sep != String::npos && sep > dot) return String::npos;
  return dot;
}

bool g_view64_known = false;
bool g_view64 = false;

}  // namespace

String NormalizeInstallerFileName(const String& name) {
  const String given = name;
  String result = name;
  for (char16_t& c : result)
    if (c == u'/') c = u'\\';
  String scan = result;

  while ((Pos(u'(', scan) && Pos(u')', scan)) || (Pos(u'[', scan) && Pos(u']', scan))) {
    std::size_t open, close;  // 1-based
    if (Pos(u'(', scan) && Pos(u')', scan)) {
      open = Pos(u'(', scan);
      close = Pos(u')', scan);
    } else {
      open = Pos(u'[', scan);
      close = Pos(u']', scan);
    }

    String inner;
    auto count = static_cast<std::int64_t>(close) - static_cast<std::int64_t>(open) - 1;
    std::size_t start = open + 1;
    if (count > 0 && start <= result.size())
      inner = result.substr(start - 1, static_cast<std::size_t>(count));

    if (IsCounter(inner)) {
      String ext;
      std::size_t ext_start = ExtensionStart(result);
      if (ext_start != String::npos) {
        ext = result.substr(ext_start);
        result.erase(ext_start);
      }
      if (open <= result.size()) result.erase(open - 1, close - open + 1);
      result = text::Trim(result);
      if (!result.empty())
        result += ext;
      else
        result = given;
    }

    for (std::size_t i = 0; i < close && i < scan.size(); ++i)
      scan[i] = u' ';
  }
  return result;
}

String ExtractFileName(const String& path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    char16_t c = path[i - 1];
    if (c == u'\\' || c == u':' || c == plat::PathDelimiter()) return path.substr(i);
  }
  return path;
}

void WriteInstallerRecordValue(const String& recorded_name) {
  if (!g_view64_known) {
    g_view64 = plat::IsNative64BitWindows();
    g_view64_known = true;
  }
  std::uint32_t access = plat::kKeyWrite | (g_view64 ? plat::kKeyWow64_64Key : 0);
  plat::TRegistryKey key;
  if (!key.Open(plat::TRegistryRoot::rkLocalMachine, kProductKey, access, true) ||
      !key.WriteString(kInstallerFileNameValue, recorded_name))
    throw ERegistryException("Failed to set data for '" + text::ToUtf8(kInstallerFileNameValue) +
                             "'");
}

void WriteInstallerRecord() {
  WriteInstallerRecordValue(NormalizeInstallerFileName(ExtractFileName(plat::ModuleFileName())));
}

}  // namespace installer
