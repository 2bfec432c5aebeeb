// Reading a response header.
#include "http/header.h"

#include <algorithm>
#include <limits>

namespace {

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// The status code's characters as an integer: decimal digits, or "0x" and hexadecimal digits,
// as the runtime's integer conversion reads them.
std::optional<std::int32_t> CodeToInt(const String& s) {
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
    for (std::size_t i = 2; i < s.size(); ++i) {
      if (!text::IsHexDigit(s[i])) return std::nullopt;
      v = v * 16 + text::HexValue(s[i]);
    }
    return static_cast<std::int32_t>(v);
  }
  for (char16_t c : s) {
    if (!IsDigit(c)) return std::nullopt;
    v = v * 10 + (c - u'0');
  }
  return static_cast<std::int32_t>(v);
}

}  // namespace

std::optional<THttpStatusLine> ParseStatusLine(const String& line) {
  auto head = std::u16string_view(line).substr(0, 8);
  if (head != u"HTTP/1.0" && head != u"HTTP/1.1") return std::nullopt;
  THttpStatusLine st;
  st.ResponseVer = line.substr(5, 3);
  // The code starts at the first digit from the 10th character on (0-based 9); without one,
  // at the last character, or at the 9th for a line shorter than 9 characters.
  std::size_t p = line.size() < 9 ? 8 : line.size() - 1;
  for (std::size_t i = 9; i < line.size(); ++i) {
    if (IsDigit(line[i])) {
      p = i;
      break;
    }
  }
  st.CodeText = p < line.size() ? line.substr(p, 3) : String();
  if (auto code = CodeToInt(st.CodeText)) {
    st.CodeValid = true;
    st.StatusCode = *code;
  }
  if (p + 4 < line.size()) st.ReasonPhrase = line.substr(p + 4);
  return st;
}

bool CloseRequiredFor(const String& RequestVer, const String& ResponseVer) {
  if (RequestVer == u"1.1" && ResponseVer == u"1.0") return true;
  return RequestVer == u"1.0";
}

std::optional<THttpHeaderField> ParseHeaderField(const String& line) {
  auto colon = line.find(u':');
  if (colon == String::npos) return std::nullopt;
  THttpHeaderField f;
  f.Name = text::LowerAscii(std::u16string_view(line).substr(0, colon));
  std::size_t v = colon + 1;
  while (v < line.size() && line[v] == u' ')
    ++v;
  f.Value = line.substr(v);
  return f;
}

String TrimBlanks(const String& value) {
  std::size_t b = 0, e = value.size();
  while (b < e && (value[b] == u' ' || value[b] == u'\t'))
    ++b;
  while (e > b && (value[e - 1] == u' ' || value[e - 1] == u'\t'))
    --e;
  return value.substr(b, e - b);
}

std::vector<String> HeaderListItems(const String& value) {
  std::vector<String> items;
  std::size_t from = 0;
  while (from <= value.size()) {
    const std::size_t comma = std::min(value.find(u',', from), value.size());
    String item = TrimBlanks(value.substr(from, comma - from));
    if (!item.empty()) items.push_back(std::move(item));
    from = comma + 1;
  }
  return items;
}

std::int64_t ParseContentLength(const String& value) {
  std::int64_t result = -1;
  for (const String& item : HeaderListItems(value)) {
    std::int64_t n = 0;
    for (char16_t c : item) {
      if (!IsDigit(c)) return -1;
      const int d = c - u'0';
      if (n > (std::numeric_limits<std::int64_t>::max() - d) / 10) return -1;
      n = n * 10 + d;
    }
    if (result >= 0 && n != result) return -1;
    result = n;
  }
  return result;
}

std::vector<String> TransferCodings(const String& value) {
  std::vector<String> codings;
  for (String item : HeaderListItems(value)) {
    const auto semicolon = item.find(u';');
    if (semicolon != String::npos) item = TrimBlanks(item.substr(0, semicolon));
    item = text::LowerAscii(std::u16string_view(item));
    if (!item.empty() && item != u"identity") codings.push_back(std::move(item));
  }
  return codings;
}

void ParseContentRange(const String& value, String& RangeBegin, String& RangeEnd) {
  auto dash = value.find(u'-');
  auto slash = value.find(u'/');
  RangeBegin = (dash != String::npos && dash > 6) ? value.substr(6, dash - 6) : String();
  RangeEnd = (dash != String::npos && slash != String::npos && slash > dash)
                 ? value.substr(dash + 1, slash - dash - 1)
                 : String();
}
