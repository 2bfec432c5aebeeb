// HTTP authentication builders: Base64, Basic, Digest (RFC 7616) and NTLM.
#include "http/http_auth.h"

#include <chrono>
#include <cstring>

#include "platform/des.h"
#include "platform/hmac_md5.h"
#include "platform/md4.h"
#include "platform/md5.h"
#include "platform/sha256.h"
#include "platform/sspi.h"
#include "platform/sysinfo.h"

namespace httpauth {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

char LowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

template <typename D>
std::string Hex(const D& digest) {
  return Hex(digest.data(), digest.size());
}

std::string Bytes(const std::uint8_t* p, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

template <typename D>
std::string Bytes(const D& digest) {
  return Bytes(digest.data(), digest.size());
}

// The first token of a challenge value (up to a blank or a comma).
std::string_view FirstToken(std::string_view value) {
  value = TrimBlanks(value);
  std::size_t n = 0;
  while (n < value.size() && !IsBlank(value[n]) && value[n] != ',')
    ++n;
  return value.substr(0, n);
}

// Little-endian writers and readers of the NTLM messages.
void Put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}
void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint16_t Get16(std::string_view s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    static_cast<std::uint8_t>(s[at + 1]) << 8);
}
std::uint32_t Get32(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(s, at)) | static_cast<std::uint32_t>(Get16(s, at + 2))
                                                        << 16;
}
std::uint64_t Get64(std::string_view s, std::size_t at) {
  return static_cast<std::uint64_t>(Get32(s, at)) | static_cast<std::uint64_t>(Get32(s, at + 4))
                                                        << 32;
}

std::string Utf16Le(std::u16string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char16_t c : s)
    Put16(out, static_cast<std::uint16_t>(c));
  return out;
}

// Upper case for the NTLM hashes: ASCII and the Latin-1 letters. Other scripts stay as they
// are (a user name in them may not match what the server computes).
String UpperName(std::u16string_view s) {
  String out(s);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - 32);
    else if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
      c = static_cast<char16_t>(c - 32);
  }
  return out;
}

}  // namespace

// --- Base64 --------------------------------------------------------------------------------------

std::string Base64Encode(std::string_view in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8 |
                            static_cast<unsigned char>(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6)
      out += kAlphabet[(v >> k) & 63];
  }
  if (i < in.size()) {
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << 16;
    if (i + 1 < in.size())
      v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
  text = TrimBlanks(text);
  bytes.clear();
  if (text.size() % 4 != 0) return false;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        // Padding only at the end, and nothing but padding after it.
        if (k == 2 && text[i + 3] != '=') return false;
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const std::uint32_t n =
        static_cast<std::uint32_t>(v[0]) << 18 | static_cast<std::uint32_t>(v[1]) << 12 |
        static_cast<std::uint32_t>(v[2]) << 6 | static_cast<std::uint32_t>(v[3]);
    bytes += static_cast<char>((n >> 16) & 0xFF);
    if (pad < 2) bytes += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) bytes += static_cast<char>(n & 0xFF);
  }
  return true;
}

std::string BasicCredentials(const AnsiString& user, const AnsiString& password) {
  return "Basic " + Base64Encode(user + ":" + password);
}

// --- Choice of scheme ----------------------------------------------------------------------------

TAuthScheme ChallengeScheme(std::string_view value) {
  const std::string_view token = FirstToken(value);
  if (EqualNoCase(token, "NTLM")) return TAuthScheme::Ntlm;
  if (EqualNoCase(token, "Negotiate")) return TAuthScheme::Negotiate;
  if (EqualNoCase(token, "Digest")) return TAuthScheme::Digest;
  if (EqualNoCase(token, "Basic")) return TAuthScheme::Basic;
  return TAuthScheme::None;
}

TAuthScheme ChallengeScheme(std::u16string_view value) {
  // Only the scheme name matters: bytes above 127 never make a scheme name.
  std::string narrow;
  for (std::size_t i = 0; i < value.size() && i < 64; ++i)
    narrow += value[i] < 128 ? static_cast<char>(value[i]) : '?';
  return ChallengeScheme(std::string_view(narrow));
}

namespace {

template <typename V>
TChallengePick Pick(const std::vector<V>& values, bool allow_negotiate) {
  static const TAuthScheme kOrder[] = {TAuthScheme::Negotiate, TAuthScheme::Ntlm,
                                       TAuthScheme::Digest, TAuthScheme::Basic};
  for (TAuthScheme want : kOrder) {
    if (want == TAuthScheme::Negotiate && !allow_negotiate) continue;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (ChallengeScheme(values[i]) != want) continue;
      // A Digest challenge that cannot be used does not count as offered.
      if (want == TAuthScheme::Digest) {
        TDigestClient probe([](std::uint8_t* out, std::size_t len) { std::memset(out, 0, len); });
        std::string narrow;
        for (auto c : values[i])
          narrow += static_cast<char>(c & 0xFF);
        if (!probe.Accept(narrow)) continue;
      }
      TChallengePick pick;
      pick.scheme = want;
      pick.index = i;
      return pick;
    }
  }
  return TChallengePick();
}

}  // namespace

TChallengePick PickChallenge(const std::vector<std::string>& values, bool allow_negotiate) {
  return Pick(values, allow_negotiate);
}

TChallengePick PickChallenge(const std::vector<String>& values, bool allow_negotiate) {
  return Pick(values, allow_negotiate);
}

// --- Sources -------------------------------------------------------------------------------------

void SystemRandom(std::uint8_t* out, std::size_t len) {
  static std::uint64_t counter = 0;
  while (len > 0) {
    std::uint64_t v = 0;
    if (!plat::SecureRandom(v)) {
      // The system's source failed (it practically never does): the clock, a counter and an
      // address, hashed, still make a nonce that does not repeat.
      plat::TMD5 h;
      const std::uint64_t parts[3] = {SystemFileTime(), ++counter,
                                      reinterpret_cast<std::uintptr_t>(&v)};
      h.Update(parts, sizeof parts);
      const plat::TMD5Digest d = h.Final();
      std::memcpy(&v, d.data(), sizeof v);
    }
    for (int i = 0; i < 8 && len > 0; ++i, --len)
      *out++ = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

std::uint64_t SystemFileTime() {
  using namespace std::chrono;
  const auto since_1970 =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  constexpr std::uint64_t kSeconds1601To1970 = 11644473600ull;
  return (kSeconds1601To1970 * 1000000ull + static_cast<std::uint64_t>(since_1970)) * 10ull;
}

// --- Digest --------------------------------------------------------------------------------------

namespace {

std::string DigestHash(bool sha256, std::string_view text) {
  return sha256 ? Hex(plat::Sha256(text)) : Hex(plat::MD5(text));
}

// Reads the auth-params of a challenge: name=token or name="quoted string", separated by
// commas. Stops (true) at a token not followed by "=", which starts the next challenge.
// False on malformed input.
bool ReadParams(std::string_view s, std::vector<std::pair<std::string, std::string>>& params) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  for (;;) {
    while (i < n && (IsBlank(s[i]) || s[i] == ','))
      ++i;
    if (i >= n) return true;
    const std::size_t name_start = i;
    while (i < n && !IsBlank(s[i]) && s[i] != '=' && s[i] != ',' && s[i] != '"')
      ++i;
    const std::string name = std::string(s.substr(name_start, i - name_start));
    std::size_t j = i;
    while (j < n && IsBlank(s[j]))
      ++j;
    if (j >= n || s[j] != '=') {
      // The next scheme's name (or a stray token): this challenge ends here.
      return !name.empty();
    }
    if (name.empty()) return false;
    i = j + 1;
    while (i < n && IsBlank(s[i]))
      ++i;
    std::string value;
    if (i < n && s[i] == '"') {
      ++i;
      bool closed = false;
      while (i < n) {
        if (s[i] == '\\' && i + 1 < n) {
          value += s[i + 1];
          i += 2;
          continue;
        }
        if (s[i] == '"') {
          closed = true;
          ++i;
          break;
        }
        value += s[i++];
      }
      if (!closed) return false;
    } else {
      const std::size_t v_start = i;
      while (i < n && !IsBlank(s[i]) && s[i] != ',')
        ++i;
      value = std::string(s.substr(v_start, i - v_start));
    }
    std::string lower;
    for (char c : name)
      lower += LowerChar(c);
    params.emplace_back(lower, value);
    while (i < n && IsBlank(s[i]))
      ++i;
    if (i < n && s[i] != ',') return false;
  }
}

// A quoted-string with backslashes before '"' and '\'.
std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

TDigestClient::TDigestClient() : random_(SystemRandom) {}
TDigestClient::TDigestClient(TRandomSource random) : random_(std::move(random)) {}

bool TDigestClient::Accept(std::string_view value) {
  value = TrimBlanks(value);
  const std::string_view scheme = FirstToken(value);
  if (!EqualNoCase(scheme, "Digest")) return false;
  std::vector<std::pair<std::string, std::string>> params;
  if (!ReadParams(value.substr(scheme.size()), params)) return false;
  std::string realm, nonce, opaque, algorithm, qop_list, stale;
  bool have_realm = false;
  for (const auto& [name, v] : params) {
    if (name == "realm") {
      realm = v;
      have_realm = true;
    } else if (name == "nonce") {
      nonce = v;
    } else if (name == "opaque") {
      opaque = v;
    } else if (name == "algorithm") {
      algorithm = v;
    } else if (name == "qop") {
      qop_list = v;
    } else if (name == "stale") {
      stale = v;
    }
  }
  if (nonce.empty() || !have_realm) return false;
  bool sha256 = false, sess = false;
  if (algorithm.empty() || EqualNoCase(algorithm, "MD5")) {
  } else if (EqualNoCase(algorithm, "MD5-sess")) {
    sess = true;
  } else if (EqualNoCase(algorithm, "SHA-256")) {
    sha256 = true;
  } else if (EqualNoCase(algorithm, "SHA-256-sess")) {
    sha256 = true;
    sess = true;
  } else {
    return false;
  }
  std::string qop;
  if (!qop_list.empty()) {
    // A list of tokens; "auth" must be among them (auth-int needs the body's hash, which a
    // streamed request does not have up front).
    std::size_t i = 0;
    while (i <= qop_list.size()) {
      std::size_t end = qop_list.find(',', i);
      if (end == std::string::npos) end = qop_list.size();
      if (EqualNoCase(TrimBlanks(std::string_view(qop_list).substr(i, end - i)), "auth"))
        qop = "auth";
      i = end + 1;
    }
    if (qop.empty()) return false;
  }
  if (nonce != nonce_) nc_ = 0;
  realm_ = realm;
  nonce_ = nonce;
  opaque_ = opaque;
  algorithm_ = algorithm;
  qop_ = qop;
  sha256_ = sha256;
  sess_ = sess;
  stale_ = EqualNoCase(stale, "true");
  return true;
}

std::string DigestResponse(std::string_view algorithm, std::string_view user,
                           std::string_view realm, std::string_view password,
                           std::string_view nonce, std::string_view nc, std::string_view cnonce,
                           std::string_view qop, std::string_view method, std::string_view uri) {
  const bool sha256 = algorithm.size() >= 7 && EqualNoCase(algorithm.substr(0, 7), "SHA-256");
  const bool sess =
      algorithm.size() >= 5 && EqualNoCase(algorithm.substr(algorithm.size() - 5), "-sess");
  std::string ha1 = DigestHash(
      sha256, std::string(user) + ":" + std::string(realm) + ":" + std::string(password));
  if (sess) ha1 = DigestHash(sha256, ha1 + ":" + std::string(nonce) + ":" + std::string(cnonce));
  const std::string ha2 = DigestHash(sha256, std::string(method) + ":" + std::string(uri));
  if (qop.empty()) return DigestHash(sha256, ha1 + ":" + std::string(nonce) + ":" + ha2);
  return DigestHash(sha256, ha1 + ":" + std::string(nonce) + ":" + std::string(nc) + ":" +
                                std::string(cnonce) + ":" + std::string(qop) + ":" + ha2);
}

std::string TDigestClient::Authorization(std::string_view method, std::string_view uri,
                                         const AnsiString& user, const AnsiString& password) {
  if (nonce_.empty()) return std::string();
  ++nc_;
  char nc[9];
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i)
    nc[i] = kDigits[(nc_ >> (28 - 4 * i)) & 15];
  nc[8] = '\0';
  // 33 random bytes: 44 base64 characters, no padding.
  std::uint8_t raw[33];
  random_(raw, sizeof raw);
  cnonce_ = Base64Encode(Bytes(raw, sizeof raw));
  const std::string algorithm = algorithm_.empty() ? std::string("MD5") : algorithm_;
  const std::string response =
      DigestResponse(algorithm, user, realm_, password, nonce_, nc, cnonce_, qop_, method, uri);
  std::string out =
      "Digest username=" + Quote(user) + ", realm=" + Quote(realm_) + ", uri=" + Quote(uri);
  if (!algorithm_.empty()) out += ", algorithm=" + algorithm_;
  out += ", nonce=" + Quote(nonce_);
  if (!qop_.empty())
    out += std::string(", nc=") + nc + ", cnonce=" + Quote(cnonce_) + ", qop=" + qop_;
  else if (sess_)
    out += ", cnonce=" + Quote(cnonce_);
  out += ", response=" + Quote(response);
  if (!opaque_.empty()) out += ", opaque=" + Quote(opaque_);
  return out;
}

// --- NTLM ----------------------------------------------------------------------------------------

namespace ntlm {

namespace {

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

// A field descriptor (length, maximum length, offset) that must lie inside the message.
bool ReadField(std::string_view msg, std::size_t at, std::string& out) {
  if (at + 8 > msg.size()) return false;
  const std::uint16_t len = Get16(msg, at);
  const std::uint32_t offset = Get32(msg, at + 4);
  if (len == 0) {
    out.clear();
    return true;
  }
  if (offset > msg.size() || len > msg.size() - offset) return false;
  out = std::string(msg.substr(offset, len));
  return true;
}

void PutField(std::string& header, std::size_t at, std::size_t len, std::size_t offset) {
  std::string f;
  Put16(f, static_cast<std::uint16_t>(len));
  Put16(f, static_cast<std::uint16_t>(len));
  Put32(f, static_cast<std::uint32_t>(offset));
  header.replace(at, 8, f);
}

}  // namespace

bool ParseChallenge(std::string_view msg, TChallenge& out) {
  if (msg.size() < 32 || std::memcmp(msg.data(), kSignature, 8) != 0 || Get32(msg, 8) != 2)
    return false;
  TChallenge c;
  if (!ReadField(msg, 12, c.target_name)) return false;
  c.flags = Get32(msg, 20);
  std::memcpy(c.server_challenge, msg.data() + 24, 8);
  // Old servers end the message after the challenge (and the 8 reserved bytes).
  if (msg.size() >= 48) {
    if (!ReadField(msg, 40, c.target_info)) return false;
    const std::string_view info = c.target_info;
    std::size_t i = 0;
    bool ended = info.empty();
    while (!ended) {
      if (info.size() - i < 4) return false;
      const std::uint16_t id = Get16(info, i);
      const std::uint16_t len = Get16(info, i + 2);
      i += 4;
      if (len > info.size() - i) return false;
      if (id == 0) {
        ended = true;
        break;
      }
      if (id == 7) {
        if (len != 8) return false;
        c.has_timestamp = true;
        c.timestamp = Get64(info, i);
      }
      i += len;
    }
  }
  out = c;
  return true;
}

std::string NtOwfV1(const String& password) {
  return Bytes(plat::MD4(Utf16Le(password)));
}

std::string LmOwfV1(const String& password) {
  std::string oem = text::UnicodeToAnsi(UpperName(password));
  oem.resize(14, '\0');
  static const std::uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  std::string out;
  for (int half = 0; half < 2; ++half) {
    std::uint8_t key[8], block[8];
    plat::DesKeyFrom56(reinterpret_cast<const std::uint8_t*>(oem.data() + 7 * half), key);
    plat::DesEncryptBlock(key, kMagic, block);
    out += Bytes(block, 8);
  }
  return out;
}

std::string NtOwfV2(const String& user, const String& domain, const String& password) {
  return Bytes(plat::HmacMD5(NtOwfV1(password), Utf16Le(UpperName(user) + domain)));
}

std::string DesLongResponse(std::string_view key16, std::string_view challenge8) {
  std::uint8_t k21[21] = {};
  std::memcpy(k21, key16.data(), key16.size() < 16 ? key16.size() : 16);
  std::string out;
  for (int i = 0; i < 3; ++i) {
    std::uint8_t key[8], block[8];
    plat::DesKeyFrom56(k21 + 7 * i, key);
    plat::DesEncryptBlock(key, reinterpret_cast<const std::uint8_t*>(challenge8.data()), block);
    out += Bytes(block, 8);
  }
  return out;
}

TResponses ResponsesV1(const String& password, const std::uint8_t server_challenge[8],
                       const std::uint8_t client_challenge[8], bool extended_session_security,
                       bool send_lm) {
  TResponses r;
  const std::string nt_owf = NtOwfV1(password);
  if (extended_session_security) {
    const std::string both = Bytes(server_challenge, 8) + Bytes(client_challenge, 8);
    const plat::TMD5Digest h = plat::MD5(both);
    r.nt = DesLongResponse(nt_owf, Bytes(h.data(), 8));
    r.lm = Bytes(client_challenge, 8) + std::string(16, '\0');
  } else {
    r.nt = DesLongResponse(nt_owf, Bytes(server_challenge, 8));
    // An LM hash exists only for passwords of at most 14 characters.
    if (send_lm && password.size() <= 14)
      r.lm = DesLongResponse(LmOwfV1(password), Bytes(server_challenge, 8));
    else
      r.lm = r.nt;
  }
  r.session_base_key = Bytes(plat::MD4(nt_owf));
  return r;
}

TResponses ResponsesV2(const String& user, const String& domain, const String& password,
                       const std::uint8_t server_challenge[8],
                       const std::uint8_t client_challenge[8], std::uint64_t timestamp,
                       std::string_view target_info, bool lm_zero) {
  TResponses r;
  const std::string key = NtOwfV2(user, domain, password);
  std::string temp;
  temp += '\x01';
  temp += '\x01';
  temp += std::string(6, '\0');
  Put64(temp, timestamp);
  temp += Bytes(client_challenge, 8);
  temp += std::string(4, '\0');
  temp += std::string(target_info);
  temp += std::string(4, '\0');
  const std::string proof = Bytes(plat::HmacMD5(key, Bytes(server_challenge, 8) + temp));
  r.nt = proof + temp;
  if (lm_zero)
    r.lm = std::string(24, '\0');
  else
    r.lm = Bytes(plat::HmacMD5(key, Bytes(server_challenge, 8) + Bytes(client_challenge, 8))) +
           Bytes(client_challenge, 8);
  r.session_base_key = Bytes(plat::HmacMD5(key, proof));
  return r;
}

std::string NegotiateMessage(std::uint32_t flags) {
  std::string m(kSignature, 8);
  Put32(m, 1);
  Put32(m, flags);
  // Empty domain and workstation fields, pointing at the end of the message.
  for (int i = 0; i < 2; ++i) {
    Put16(m, 0);
    Put16(m, 0);
    Put32(m, 32);
  }
  return m;
}

std::string AuthenticateMessage(std::uint32_t flags, const String& domain, const String& user,
                                const String& workstation, std::string_view lm_response,
                                std::string_view nt_response) {
  const bool unicode = (flags & kNegotiateUnicode) != 0;
  auto encode = [unicode](const String& s) {
    return unicode ? Utf16Le(s) : text::UnicodeToAnsi(s);
  };
  const std::string d = encode(domain), u = encode(user), w = encode(workstation);
  std::string m(kSignature, 8);
  Put32(m, 3);
  m.resize(64, '\0');
  std::size_t offset = 64;
  std::string payload;
  auto add = [&](std::size_t at, std::string_view bytes) {
    PutField(m, at, bytes.size(), offset + payload.size());
    payload += std::string(bytes);
  };
  add(36, d);
  add(44, u);
  add(52, w);
  add(12, lm_response);
  add(20, nt_response);
  add(28, std::string_view());  // no session key exchange
  std::string f;
  Put32(f, flags);
  m.replace(60, 4, f);
  return m + payload;
}

std::uint32_t ClientFlags(int lm_compat_level) {
  std::uint32_t flags = kNegotiateUnicode | kNegotiateOem | kRequestTarget | kNegotiateNtlm |
                        kNegotiateAlwaysSign | kNegotiateExtendedSessionSecurity | kNegotiate128 |
                        kNegotiate56;
  // The same flags at every level: the level decides only which responses the third message
  // carries (extended session security is used at 0-2 only when the server agrees to it).
  (void)lm_compat_level;
  return flags;
}

}  // namespace ntlm

// --- NTLM client ---------------------------------------------------------------------------------

class TSystemAuthSession {
 public:
  std::unique_ptr<plat::TSspiSession> session;
};

TNtlmClient::TNtlmClient(const String& user, const String& password, int lm_compat_level)
    : TNtlmClient(user, password, lm_compat_level, "NTLM") {}

TNtlmClient::TNtlmClient(const String& user, const String& password, int lm_compat_level,
                         std::string_view scheme)
    : password_(password),
      level_(lm_compat_level),
      scheme_(scheme),
      random_(SystemRandom),
      clock_(SystemFileTime) {
  const std::size_t slash = user.find(u'\\');
  if (slash != String::npos) {
    domain_ = user.substr(0, slash);
    user_ = user.substr(slash + 1);
  } else {
    user_ = user;
  }
  if (user.empty()) {
    system_ = std::make_unique<TSystemAuthSession>();
    system_->session = plat::OpenSspiSession(scheme_.c_str(), spn_, error_);
  } else if (!EqualNoCase(scheme_, "NTLM")) {
    error_ = "the " + scheme_ + " scheme is available only with the system's own credentials";
  }
}

TNtlmClient::~TNtlmClient() = default;

void TNtlmClient::SetTarget(const String& spn) {
  spn_ = spn;
  if (system_ && system_->session && !started_)
    system_->session = plat::OpenSspiSession(scheme_.c_str(), spn_, error_);
}

bool TNtlmClient::Available() const {
  if (system_) return system_->session != nullptr;
  return error_.empty();
}

std::string TNtlmClient::Negotiate() {
  if (!Available()) return std::string();
  started_ = true;
  if (system_) {
    std::string token;
    if (!system_->session->Step(std::string_view(), token, error_)) {
      // The package refused: no second attempt in this exchange.
      system_->session.reset();
      return std::string();
    }
    return scheme_ + " " + Base64Encode(token);
  }
  return scheme_ + " " + Base64Encode(ntlm::NegotiateMessage(ntlm::ClientFlags(level_)));
}

std::string TNtlmClient::Authenticate(std::string_view value) {
  if (!Available()) return std::string();
  value = TrimBlanks(value);
  const std::string_view scheme = FirstToken(value);
  if (!EqualNoCase(scheme, scheme_)) return std::string();
  std::string message;
  if (!Base64Decode(value.substr(scheme.size()), message) || message.empty()) return std::string();
  if (system_) {
    std::string token;
    if (!system_->session->Step(message, token, error_)) {
      system_->session.reset();
      return std::string();
    }
    return scheme_ + " " + Base64Encode(token);
  }
  ntlm::TChallenge challenge;
  if (!ntlm::ParseChallenge(message, challenge)) return std::string();

  std::uint32_t flags = ntlm::ClientFlags(level_) & (challenge.flags | ntlm::kNegotiateUnicode |
                                                     ntlm::kNegotiateOem | ntlm::kRequestTarget);
  // One character set: Unicode when the server offers it.
  if (challenge.flags & ntlm::kNegotiateUnicode)
    flags &= ~ntlm::kNegotiateOem;
  else
    flags &= ~ntlm::kNegotiateUnicode;
  std::uint8_t client_challenge[8];
  random_(client_challenge, sizeof client_challenge);
  ntlm::TResponses r;
  if (level_ >= 3) {
    const std::uint64_t timestamp = challenge.has_timestamp ? challenge.timestamp : clock_();
    r = ntlm::ResponsesV2(user_, domain_, password_, challenge.server_challenge, client_challenge,
                          timestamp, challenge.target_info, challenge.has_timestamp);
  } else {
    const bool ess = (challenge.flags & ntlm::kNegotiateExtendedSessionSecurity) != 0;
    if (!ess) flags &= ~ntlm::kNegotiateExtendedSessionSecurity;
    r = ntlm::ResponsesV1(password_, challenge.server_challenge, client_challenge, ess, level_ < 2);
  }
  return scheme_ + " " +
         Base64Encode(ntlm::AuthenticateMessage(flags, domain_, user_, workstation_, r.lm, r.nt));
}

}  // namespace httpauth
