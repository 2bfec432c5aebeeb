// Text helpers shared by every component, and the portable code-page converters.
#include "platform/text.h"

#include <cstdint>
#include <limits>

#include "platform/codepage.h"

namespace plat {
namespace {
// Windows-1252 bytes 0x80 to 0x9F; 0 marks the five bytes the code page leaves undefined,
// which map to the control character of the same value, as Windows does.
constexpr char16_t k1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

std::string EncodeWindows1252(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char byte = '?';
    for (int i = 0; i < 32; ++i) {
      char16_t mapped = k1252High[i] ? k1252High[i] : static_cast<char16_t>(0x80 + i);
      if (mapped == c) {
        byte = static_cast<char>(0x80 + i);
        break;
      }
    }
    out.push_back(byte);
  }
  return out;
}

std::u16string DecodeWindows1252(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char ch : s) {
    auto b = static_cast<unsigned char>(ch);
    if (b >= 0x80 && b < 0xA0)
      out.push_back(k1252High[b - 0x80] ? k1252High[b - 0x80] : static_cast<char16_t>(b));
    else
      out.push_back(b);
  }
  return out;
}

std::string EncodeLatin1(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s)
    out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return out;
}

std::u16string DecodeLatin1(std::string_view s) {
  return text::WidenBytes(s);
}

}  // namespace plat

namespace text {

AnsiString UnicodeToAnsi(std::u16string_view s, unsigned code_page) {
  if (code_page == kCodePageUtf8) return ToUtf8(s);
  return plat::EncodeCodePage(s, code_page);
}

String AnsiToUnicode(std::string_view s, unsigned code_page) {
  if (code_page == kCodePageUtf8) return FromUtf8(s);
  return plat::DecodeCodePage(s, code_page);
}

String WidenBytes(std::string_view s) {
  String out(s.size(), u'\0');
  for (std::size_t i = 0; i < s.size(); ++i)
    out[i] = static_cast<unsigned char>(s[i]);
  return out;
}

String FromUtf8(std::string_view s) {
  String out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    std::uint32_t cp;
    int extra;
    if (b < 0x80) {
      cp = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      extra = 3;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (i + extra >= s.size()) {  // sequence cut short by the end of the text
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) < 33)
    ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) < 33)
    --e;
  return s.substr(b, e - b);
}

String Trim(std::u16string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] < 33)
    ++b;
  while (e > b && s[e - 1] < 33)
    --e;
  return String(s.substr(b, e - b));
}

AnsiString LowerAscii(std::string_view s) {
  AnsiString out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

String LowerAscii(std::u16string_view s) {
  String out(s);
  for (char16_t& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c - 'A' + 'a');
  return out;
}

namespace {
template <typename View>
std::int64_t ReadDecimalImpl(View s, std::size_t& pos) {
  while (pos < s.size() && s[pos] == ' ')
    ++pos;
  std::int64_t v = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    int d = s[pos] - '0';
    v = (v > (kMax - d) / 10) ? kMax : v * 10 + d;
    ++pos;
  }
  return v;
}
}  // namespace

std::int64_t ReadDecimal(std::string_view s, std::size_t& pos) {
  return ReadDecimalImpl(s, pos);
}
std::int64_t ReadDecimal(std::u16string_view s, std::size_t& pos) {
  return ReadDecimalImpl(s, pos);
}

String IntToStr(std::int64_t v) {
  const std::string s = DecimalStr(v);
  return String(s.begin(), s.end());
}

std::string DecimalStr(std::int64_t v) {
  std::string s;
  AppendDecimal(s, v);
  return s;
}

void AppendTimeOfDay(std::string& out, std::int64_t seconds) {
  AppendDecimal(out, seconds / 3600, 2);
  out += ':';
  AppendDecimal(out, seconds / 60 % 60, 2);
  out += ':';
  AppendDecimal(out, seconds % 60, 2);
}

std::string HexStatus(std::uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4)
    s += digits[(value >> shift) & 0xF];
  return s;
}

void AppendDecimal(std::string& out, std::int64_t value, int min_digits) {
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  char buf[24];
  int i = sizeof buf;
  do {
    buf[--i] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0 || (static_cast<int>(sizeof buf) - i < min_digits && i > 0));
  if (value < 0) out += '-';
  out.append(buf + i, sizeof buf - static_cast<std::size_t>(i));
}

}  // namespace text
