// Digest fields: an RFC 8941 dictionary parser that keeps only the sha-256 entry.
#include "http/content_digest.h"

#include <optional>
#include <string>
#include <vector>

namespace http_digest {
namespace {

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool IsLcAlpha(char16_t c) {
  return c >= u'a' && c <= u'z';
}
bool IsAlpha(char16_t c) {
  return IsLcAlpha(c) || (c >= u'A' && c <= u'Z');
}
// tchar of RFC 9110 section 5.6.2.
bool IsTChar(char16_t c) {
  if (IsAlpha(c) || IsDigit(c)) return true;
  switch (c) {
    case u'!':
    case u'#':
    case u'$':
    case u'%':
    case u'&':
    case u'\'':
    case u'*':
    case u'+':
    case u'-':
    case u'.':
    case u'^':
    case u'_':
    case u'`':
    case u'|':
    case u'~':
      return true;
    default:
      return false;
  }
}

int Base64Value(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c - u'A';
  if (c >= u'a' && c <= u'z') return c - u'a' + 26;
  if (IsDigit(c)) return c - u'0' + 52;
  if (c == u'+') return 62;
  if (c == u'/') return 63;
  return -1;
}

// One pass over the value; every Parse... consumes what it read and returns false on an error.
class TParser {
 public:
  explicit TParser(std::u16string_view s) : s_(s) {}

  bool Dictionary(std::optional<std::vector<std::uint8_t>>& sha256, bool& sha256_is_bytes) {
    SkipSp();
    while (!AtEnd()) {
      std::u16string key;
      if (!Key(key)) return false;
      bool is_bytes = false;
      std::vector<std::uint8_t> bytes;
      if (Peek() == u'=') {
        ++at_;
        if (!ItemOrInnerList(is_bytes, bytes)) return false;
      } else if (!Parameters()) {  // a bare key: the Boolean true
        return false;
      }
      if (key == u"sha-256") {
        sha256 = std::move(bytes);
        sha256_is_bytes = is_bytes;
      }
      SkipOws();
      if (AtEnd()) return true;
      if (Peek() != u',') return false;
      ++at_;
      SkipOws();
      if (AtEnd()) return false;  // a trailing comma
    }
    return true;
  }

 private:
  bool AtEnd() const { return at_ >= s_.size(); }
  char16_t Peek() const { return AtEnd() ? u'\0' : s_[at_]; }
  void SkipSp() {
    while (!AtEnd() && s_[at_] == u' ')
      ++at_;
  }
  void SkipOws() {
    while (!AtEnd() && (s_[at_] == u' ' || s_[at_] == u'\t'))
      ++at_;
  }

  bool Key(std::u16string& key) {
    const char16_t first = Peek();
    if (!IsLcAlpha(first) && first != u'*') return false;
    while (!AtEnd()) {
      const char16_t c = s_[at_];
      if (!IsLcAlpha(c) && !IsDigit(c) && c != u'_' && c != u'-' && c != u'.' && c != u'*') break;
      key.push_back(c);
      ++at_;
    }
    return true;
  }

  bool ItemOrInnerList(bool& is_bytes, std::vector<std::uint8_t>& bytes) {
    if (Peek() != u'(') return BareItem(is_bytes, bytes) && Parameters();
    ++at_;
    for (;;) {
      SkipSp();
      if (Peek() == u')') {
        ++at_;
        return Parameters();
      }
      bool ignored_is_bytes = false;
      std::vector<std::uint8_t> ignored;
      if (!BareItem(ignored_is_bytes, ignored) || !Parameters()) return false;
      if (Peek() != u' ' && Peek() != u')') return false;
    }
  }

  bool Parameters() {
    while (Peek() == u';') {
      ++at_;
      SkipSp();
      std::u16string key;
      if (!Key(key)) return false;
      if (Peek() == u'=') {
        ++at_;
        bool is_bytes = false;
        std::vector<std::uint8_t> ignored;
        if (!BareItem(is_bytes, ignored)) return false;
      }
    }
    return true;
  }

  bool BareItem(bool& is_bytes, std::vector<std::uint8_t>& bytes) {
    const char16_t c = Peek();
    if (c == u'-' || IsDigit(c)) return Number();
    if (c == u'"') return QuotedString();
    if (c == u':') {
      is_bytes = true;
      return ByteSequence(bytes);
    }
    if (c == u'?') return Boolean();
    if (IsAlpha(c) || c == u'*') return Token();
    return false;
  }

  // An Integer (up to 15 digits) or a Decimal (up to 12 digits, ".", 1 to 3 digits).
  bool Number() {
    if (Peek() == u'-') ++at_;
    if (!IsDigit(Peek())) return false;
    int digits = 0;
    int point = -1;
    while (!AtEnd()) {
      const char16_t c = s_[at_];
      if (IsDigit(c)) {
        ++digits;
      } else if (c == u'.' && point < 0) {
        if (digits > 12) return false;
        point = digits;
      } else {
        break;
      }
      ++at_;
      if (digits > 15) return false;
    }
    if (point < 0) return true;
    const int fraction = digits - point;
    return fraction >= 1 && fraction <= 3;
  }

  bool QuotedString() {
    ++at_;
    while (!AtEnd()) {
      const char16_t c = s_[at_++];
      if (c == u'\\') {
        if (AtEnd()) return false;
        const char16_t next = s_[at_++];
        if (next != u'"' && next != u'\\') return false;
      } else if (c == u'"') {
        return true;
      } else if (c < 0x20 || c > 0x7E) {
        return false;
      }
    }
    return false;
  }

  bool Token() {
    ++at_;
    while (!AtEnd() && (IsTChar(s_[at_]) || s_[at_] == u':' || s_[at_] == u'/'))
      ++at_;
    return true;
  }

  bool Boolean() {
    ++at_;
    if (Peek() != u'0' && Peek() != u'1') return false;
    ++at_;
    return true;
  }

  // ":" base64 ":"; padding may be left out, as the dictionary rules allow.
  bool ByteSequence(std::vector<std::uint8_t>& bytes) {
    ++at_;
    std::uint32_t bits = 0;
    int held = 0;
    int padding = 0;
    while (!AtEnd() && s_[at_] != u':') {
      const char16_t c = s_[at_++];
      if (c == u'=') {
        ++padding;
        continue;
      }
      const int v = Base64Value(c);
      if (v < 0 || padding > 0) return false;  // not base64, or data after the padding
      bits = (bits << 6) | static_cast<std::uint32_t>(v);
      held += 6;
      if (held >= 8) {
        held -= 8;
        bytes.push_back(static_cast<std::uint8_t>(bits >> held));
        bits &= (1u << held) - 1;
      }
    }
    if (AtEnd()) return false;  // no closing ":"
    ++at_;
    // Six bits left over cannot end a byte sequence; more padding than the data needs is wrong.
    if (held >= 6 || padding > 2) return false;
    return true;
  }

  std::u16string_view s_;
  std::size_t at_ = 0;
};

}  // namespace

TDigestField ParseSha256Digest(std::u16string_view Value, plat::TSha256Digest& Digest) {
  std::size_t first = 0;
  while (first < Value.size() && Value[first] == u' ')
    ++first;
  std::size_t last = Value.size();
  while (last > first && Value[last - 1] == u' ')
    --last;
  if (first == last) return TDigestField::dfAbsent;
  std::optional<std::vector<std::uint8_t>> sha256;
  bool is_bytes = false;
  TParser parser(Value.substr(first, last - first));
  if (!parser.Dictionary(sha256, is_bytes)) return TDigestField::dfMalformed;
  if (!sha256) return TDigestField::dfNoSha256;
  if (!is_bytes || sha256->size() != Digest.size()) return TDigestField::dfMalformed;
  for (std::size_t i = 0; i < Digest.size(); ++i)
    Digest[i] = (*sha256)[i];
  return TDigestField::dfSha256;
}

std::string Base64(const void* Data, std::size_t Len) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = static_cast<const std::uint8_t*>(Data);
  std::string out;
  for (std::size_t i = 0; i < Len; i += 3) {
    const std::uint32_t n = static_cast<std::uint32_t>(p[i]) << 16 |
                            (i + 1 < Len ? static_cast<std::uint32_t>(p[i + 1]) << 8 : 0) |
                            (i + 2 < Len ? static_cast<std::uint32_t>(p[i + 2]) : 0);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < Len ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < Len ? kAlphabet[n & 63] : '=');
  }
  return out;
}

}  // namespace http_digest
