// The proxy layers' protocol pieces: texts, the CONNECT answer, the SOCKS messages.
#include "net/proxy_protocol.h"

#include <cstring>

#include "platform/text.h"

namespace proxy {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool ParseDecimal(std::string_view s, std::uint64_t& out) {
  if (s.empty() || s.size() > 18) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  out = v;
  return true;
}

// Whether a comma-separated list holds `token` (case-insensitive).
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view item = Trim(list.substr(0, comma));
    if (EqualsNoCase(item, token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

const char* StatusPhrase(int status) {
  switch (status) {
    case 400:
      return "Bad request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not found";
    case 405:
      return "Method not allowed";
    case 407:
      return "Proxy authentication required";
    case 500:
      return "Internal server error";
    case 501:
      return "Not implemented";
    case 502:
      return "Bad gateway";
    case 503:
      return "Service unavailable";
    case 504:
      return "Gateway timeout";
    default:
      return "Request refused";
  }
}

void PutPort(std::string& out, std::uint16_t port) {
  out.push_back(static_cast<char>(port >> 8));
  out.push_back(static_cast<char>(port & 0xff));
}

}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case kSocksProtocolError:
      return "SOCKS - Protocol error";
    case kSocksVersionError:
      return "SOCKS - Version mismatch";
    case kSocksNoAcceptableMethod:
      return "SOCKS - No acceptable authentication method";
    case kSocksGeneralFailure:
      return "SOCKS - General server failure";
    case kSocksNotAllowed:
      return "SOCKS - Connection not allowed by ruleset";
    case kSocksNetworkUnreachable:
      return "SOCKS - Network unreachable";
    case kSocksHostUnreachable:
      return "SOCKS - Host unreachable";
    case kSocksConnectionRefused:
      return "SOCKS - Connection refused";
    case kSocksTtlExpired:
      return "SOCKS - TTL expired";
    case kSocksCommandNotSupported:
      return "SOCKS - Command not supported";
    case kSocksAddressNotSupported:
      return "SOCKS - Address type not supported";
    case kSocksUnknownReply:
      return "SOCKS - Unknown reply code";
    case kSocksBadTarget:
      return "SOCKS - Target address cannot be sent";
    case kSocksClosed:
      return "SOCKS - Connection closed during negotiation";
    case kSocksAuthenticationFailed:
      return "SOCKS - Authentication failed";
    case kSocksRejected:
      return "SOCKS - Request rejected or failed";
    case kSocksIdentRejected:
      return "SOCKS - Request rejected: identd unreachable or user id mismatch";
    case kSocksCannotResolve:
      return "SOCKS - Cannot resolve the target host for SOCKS 4";
    case kTunnelGeneralFailure:
      return "HTTP Proxy - General failure";
    case kTunnelInvalidAnswer:
      return "HTTP Proxy - Invalid answer";
    case kTunnelAnswerTooLarge:
      return "HTTP Proxy - Answer header too large";
    case kTunnelClosed:
      return "HTTP Proxy - Connection closed during negotiation";
    case kTunnelNoAuthScheme:
      return "HTTP Proxy - No supported authentication scheme offered";
    default:
      break;
  }
  if (code >= kTunnelStatusBase + 100 && code <= kTunnelStatusBase + 599) {
    const int status = code - kTunnelStatusBase;
    return std::string("HTTP Proxy - ") + StatusPhrase(status) + " (status " +
           text::DecimalStr(status) + ")";
  }
  return std::string();
}

std::size_t AnswerHeaderEnd(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    if (i + 1 < bytes.size() && bytes[i + 1] == '\n') return i + 2;
    if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') return i + 3;
  }
  return 0;
}

bool ParseTunnelAnswer(std::string_view header, TTunnelAnswer& out) {
  out = TTunnelAnswer{};
  std::size_t eol = header.find('\n');
  if (eol == std::string_view::npos) return false;
  std::string_view line = header.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  // "HTTP/" digit "." digit SP 3DIGIT [SP reason]
  if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || line[5] < '0' || line[5] > '9' ||
      line[6] != '.' || line[7] < '0' || line[7] > '9' || line[8] != ' ')
    return false;
  out.major = line[5] - '0';
  out.minor = line[7] - '0';
  if (out.major != 1) return false;
  for (int i = 9; i < 12; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  out.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (out.status < 100 || out.status > 599) return false;
  if (line.size() > 12) {
    if (line[12] != ' ') return false;
    out.reason = std::string(Trim(line.substr(13)));
  }
  for (char c : out.reason)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return false;
  bool keep_alive = false, close = false;
  bool length_seen = false;
  std::string_view rest = header.substr(eol + 1);
  while (!rest.empty()) {
    std::size_t e = rest.find('\n');
    std::string_view l = rest.substr(0, e);
    rest = e == std::string_view::npos ? std::string_view() : rest.substr(e + 1);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l.empty()) break;
    std::size_t colon = l.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    std::string_view name = l.substr(0, colon);
    for (char c : name)
      if (c == ' ' || c == '\t' || static_cast<unsigned char>(c) < 0x21) return false;
    std::string_view value = Trim(l.substr(colon + 1));
    if (EqualsNoCase(name, "Proxy-Authenticate")) {
      out.proxy_authenticate.emplace_back(value);
    } else if (EqualsNoCase(name, "Content-Length")) {
      std::uint64_t n = 0;
      if (!ParseDecimal(value, n)) return false;
      if (length_seen && n != out.content_length) return false;
      length_seen = true;
      out.has_length = true;
      out.content_length = n;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      out.chunked = ListHas(value, "chunked") || out.chunked;
    } else if (EqualsNoCase(name, "Connection") || EqualsNoCase(name, "Proxy-Connection")) {
      close = close || ListHas(value, "close");
      keep_alive = keep_alive || ListHas(value, "keep-alive");
    }
  }
  // HTTP/1.1 keeps the connection unless told otherwise; HTTP/1.0 only when told so.
  out.close = close || (out.minor == 0 && !keep_alive);
  return true;
}

std::string TunnelAuthority(std::string_view host, std::string_view port) {
  std::string r;
  if (host.find(':') != std::string_view::npos && (host.empty() || host.front() != '[')) {
    r.append("[").append(host).append("]");
  } else {
    r.append(host);
  }
  return r.append(":").append(port);
}

bool SafeRequestToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

bool ParseIPv4Literal(std::string_view text, std::uint8_t out[4]) {
  int part = 0;
  std::size_t i = 0;
  for (; part < 4; ++part) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    unsigned v = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
      if (++digits > 3 || v > 255) return false;
      ++i;
    }
    out[part] = static_cast<std::uint8_t>(v);
    if (part < 3) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

bool ParseIPv6Literal(std::string_view text, std::uint8_t out[16]) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  if (text.size() < 2 || text.size() > 45) return false;
  std::uint16_t head[8], tail[8];
  int nhead = 0, ntail = 0;
  bool gap = false;
  std::size_t i = 0;
  if (text.substr(0, 2) == "::") {
    gap = true;
    i = 2;
  } else if (text[0] == ':') {
    return false;
  }
  while (i < text.size()) {
    // An IPv4 tail ("::ffff:1.2.3.4") fills the last two groups.
    std::size_t next_colon = text.find(':', i);
    std::string_view group =
        text.substr(i, next_colon == std::string_view::npos ? text.npos : next_colon - i);
    if (next_colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
      std::uint8_t v4[4];
      if (!ParseIPv4Literal(group, v4)) return false;
      std::uint16_t* dst = gap ? tail : head;
      int& n = gap ? ntail : nhead;
      if (n > 6) return false;
      dst[n++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
      dst[n++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
      i = text.size();
      break;
    }
    if (group.empty() || group.size() > 4) return false;
    unsigned v = 0;
    for (char c : group) {
      unsigned d;
      if (c >= '0' && c <= '9')
        d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
      v = v * 16 + d;
    }
    std::uint16_t* dst = gap ? tail : head;
    int& n = gap ? ntail : nhead;
    if (n >= 8) return false;
    dst[n++] = static_cast<std::uint16_t>(v);
    if (next_colon == std::string_view::npos) {
      i = text.size();
      break;
    }
    i = next_colon + 1;
    if (i < text.size() && text[i] == ':') {
      if (gap) return false;
      gap = true;
      ++i;
    } else if (i == text.size()) {
      return false;  // a single trailing colon
    }
  }
  if (gap ? nhead + ntail > 7 : nhead != 8) return false;
  std::uint16_t groups[8] = {};
  for (int k = 0; k < nhead; ++k)
    groups[k] = head[k];
  for (int k = 0; k < ntail; ++k)
    groups[8 - ntail + k] = tail[k];
  for (int k = 0; k < 8; ++k) {
    out[2 * k] = static_cast<std::uint8_t>(groups[k] >> 8);
    out[2 * k + 1] = static_cast<std::uint8_t>(groups[k] & 0xff);
  }
  return true;
}

std::string Socks5Greeting(bool with_password) {
  return with_password ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
}

bool Socks5PasswordRequest(std::string_view user, std::string_view password, std::string& out) {
  if (user.empty() || user.size() > 255 || password.size() > 255) return false;
  out.clear();
  out.push_back('\x01');
  out.push_back(static_cast<char>(user.size()));
  out.append(user);
  out.push_back(static_cast<char>(password.size()));
  out.append(password);
  return true;
}

bool Socks5ConnectRequest(std::string_view host, std::uint16_t port, std::string& out) {
  out.assign("\x05\x01\x00", 3);
  std::uint8_t a4[4], a6[16];
  if (ParseIPv4Literal(host, a4)) {
    out.push_back('\x01');
    out.append(reinterpret_cast<const char*>(a4), 4);
  } else if (ParseIPv6Literal(host, a6)) {
    out.push_back('\x04');
    out.append(reinterpret_cast<const char*>(a6), 16);
  } else {
    if (host.empty() || host.size() > 255) return false;
    out.push_back('\x03');
    out.push_back(static_cast<char>(host.size()));
    out.append(host);
  }
  PutPort(out, port);
  return true;
}

int Socks5ReplyLength(std::string_view have) {
  if (have.size() < 5) return 0;
  switch (static_cast<std::uint8_t>(have[3])) {
    case 1:
      return 4 + 4 + 2;
    case 4:
      return 4 + 16 + 2;
    case 3:
      return 4 + 1 + static_cast<std::uint8_t>(have[4]) + 2;
    default:
      return -1;
  }
}

int Socks5ReplyError(std::uint8_t rep) {
  if (rep == 0) return 0;
  if (rep <= 8) return kSocksGeneralFailure + rep - 1;
  return kSocksUnknownReply;
}

namespace {

bool Socks4Start(std::uint16_t port, const std::uint8_t ip[4], std::string_view user,
                 std::string& out) {
  if (user.size() > 255 || user.find('\0') != std::string_view::npos) return false;
  out.assign("\x04\x01", 2);
  PutPort(out, port);
  out.append(reinterpret_cast<const char*>(ip), 4);
  out.append(user);
  out.push_back('\0');
  return true;
}

}  // namespace

bool Socks4ConnectRequest(const std::uint8_t ip[4], std::uint16_t port, std::string_view user,
                          std::string& out) {
  return Socks4Start(port, ip, user, out);
}

bool Socks4AConnectRequest(std::string_view host, std::uint16_t port, std::string_view user,
                           std::string& out) {
  if (host.empty() || host.size() > 255 || host.find('\0') != std::string_view::npos) return false;
  std::uint8_t a4[4];
  if (ParseIPv4Literal(host, a4)) return Socks4Start(port, a4, user, out);
  static const std::uint8_t kMarker[4] = {0, 0, 0, 1};
  if (!Socks4Start(port, kMarker, user, out)) return false;
  out.append(host);
  out.push_back('\0');
  return true;
}

int Socks4ReplyError(std::uint8_t version, std::uint8_t status) {
  if (version != 0) return kSocksVersionError;
  switch (status) {
    case 90:
      return 0;
    case 91:
      return kSocksRejected;
    case 92:
    case 93:
      return kSocksIdentRejected;
    default:
      return kSocksProtocolError;
  }
}

std::uint16_t ParsePortNumber(std::string_view text) {
  std::uint64_t v = 0;
  if (text.size() > 5 || !ParseDecimal(text, v) || v == 0 || v > 65535) return 0;
  return static_cast<std::uint16_t>(v);
}

}  // namespace proxy
