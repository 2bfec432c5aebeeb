// The pure parts of the proxy settings that both readers use (addresses, hosts, ports, the
// description) and the proxy and bypass lists of the Windows Internet settings. Shared by both
// targets; curl's forms are in proxy_curl.cpp, so a program that reads no environment does not
// carry them.
#include "platform/proxy_settings.h"

#include "platform/proxy_parse.h"

#include <array>
#include <string>
#include <vector>

namespace plat::proxy {

namespace parse {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string_view TrimBlanks(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

// The pieces of `s` between separators (`seps`), blanks always among them; empty pieces dropped.
std::vector<std::u16string_view> SplitList(std::u16string_view s, std::u16string_view seps) {
  std::vector<std::u16string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || IsBlank(s[i]) || seps.find(s[i]) != std::u16string_view::npos) {
      if (i > start) out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

// A port "1".."65535" in decimal digits only.
bool ReadPort(std::u16string_view s, std::uint16_t& port) {
  if (s.empty() || s.size() > 5) return false;
  std::uint32_t v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + static_cast<std::uint32_t>(c - u'0');
  }
  if (v == 0 || v > 65535) return false;
  port = static_cast<std::uint16_t>(v);
  return true;
}

// A host name or address fit for a connect: no blanks, control characters or characters that
// would end a URL's authority.
bool IsPlainHost(std::u16string_view h) {
  if (h.empty()) return false;
  for (char16_t c : h)
    if (c <= 32 || c == 127 || c == u'/' || c == u'?' || c == u'#' || c == u'@' || c == u'[' ||
        c == u']' || c == u'\\' || c == u'%')
      return false;
  return true;
}

// A scheme as an error message may show it: letters, digits, "+", "-" and "." only, so that a
// setting written wrongly never brings a password into a message (or a log).
String SchemeForMessage(std::u16string_view scheme) {
  for (char16_t c : scheme)
    if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
          c == u'+' || c == u'-' || c == u'.'))
      return u"?";
  return String(scheme);
}

TProxyRoute Unusable(const String& source, const String& why) {
  TProxyRoute r;
  r.Source = source;
  r.Error = why;
  return r;
}

// "host[:port]" or "[v6][:port]" into host and port (default when absent). False when malformed.
bool SplitHostPort(std::u16string_view hp, String& host, std::uint16_t& port,
                   std::uint16_t default_port, String& why) {
  std::u16string_view h;
  std::u16string_view p;
  bool has_port = false;
  if (!hp.empty() && hp[0] == u'[') {
    auto close = hp.find(u']');
    if (close == std::u16string_view::npos) {
      why = u"an IPv6 address without its closing bracket";
      return false;
    }
    h = hp.substr(1, close - 1);
    auto rest = hp.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != u':') {
        why = u"characters after the IPv6 address";
        return false;
      }
      has_port = true;
      p = rest.substr(1);
    }
    std::array<std::uint8_t, 16> a{};
    if (!ParseIPv6(h, a)) {
      why = u"an invalid IPv6 address";
      return false;
    }
  } else {
    auto colon = hp.rfind(u':');
    if (colon != std::u16string_view::npos) {
      h = hp.substr(0, colon);
      p = hp.substr(colon + 1);
      has_port = true;
    } else {
      h = hp;
    }
    if (!IsPlainHost(h)) {
      why = h.empty() ? u"no host" : u"an invalid character in the host";
      return false;
    }
  }
  if (has_port) {
    if (!ReadPort(p, port)) {
      why = u"the port is not a number from 1 to 65535";
      return false;
    }
  } else {
    port = default_port;
  }
  host = String(h);
  return true;
}

std::u16string_view StripBrackets(std::u16string_view h) {
  if (h.size() >= 2 && h.front() == u'[' && h.back() == u']') return h.substr(1, h.size() - 2);
  return h;
}

bool IsAddress(std::u16string_view host) {
  std::array<std::uint8_t, 4> a4{};
  std::array<std::uint8_t, 16> a6{};
  return ParseIPv4(host, a4) || ParseIPv6(host, a6);
}

// A host as the matchers compare it: brackets off, lower case, no trailing dot.
String NormalHost(std::u16string_view host) {
  host = StripBrackets(TrimBlanks(host));
  if (!host.empty() && host.back() == u'.') host.remove_suffix(1);
  return text::LowerAscii(host);
}

}  // namespace parse

using namespace parse;

// ---- IP addresses ----

bool ParseIPv4(std::u16string_view s, std::array<std::uint8_t, 4>& out) {
  int part = 0;
  std::size_t i = 0;
  while (part < 4) {
    if (i >= s.size() || s[i] < u'0' || s[i] > u'9') return false;
    std::uint32_t v = 0;
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9' && digits < 4) {
      v = v * 10 + static_cast<std::uint32_t>(s[i] - u'0');
      ++i;
      ++digits;
    }
    if (v > 255 || digits > 3) return false;
    out[static_cast<std::size_t>(part)] = static_cast<std::uint8_t>(v);
    ++part;
    if (part < 4) {
      if (i >= s.size() || s[i] != u'.') return false;
      ++i;
    }
  }
  return i == s.size();
}

bool ParseIPv6(std::u16string_view s, std::array<std::uint8_t, 16>& out) {
  std::array<std::uint16_t, 8> groups{};
  int count = 0;
  int gap = -1;  // where "::" stands, in groups
  std::size_t i = 0;
  if (s.size() >= 2 && s[0] == u':' && s[1] == u':') {
    gap = 0;
    i = 2;
    if (i == s.size()) {
      out.fill(0);
      return true;
    }
  } else if (!s.empty() && s[0] == u':') {
    return false;
  }
  while (i < s.size()) {
    if (count == 8) return false;
    // An IPv4 tail takes the last two groups.
    std::size_t end = s.find(u':', i);
    std::u16string_view piece = s.substr(i, end == std::u16string_view::npos ? end : end - i);
    if (end == std::u16string_view::npos && piece.find(u'.') != std::u16string_view::npos) {
      std::array<std::uint8_t, 4> v4{};
      if (count > 6 || !ParseIPv4(piece, v4)) return false;
      groups[static_cast<std::size_t>(count++)] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
      groups[static_cast<std::size_t>(count++)] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
      i = s.size();
      break;
    }
    if (piece.empty() || piece.size() > 4) return false;
    std::uint32_t v = 0;
    for (char16_t c : piece) {
      if (!text::IsHexDigit(c)) return false;
      v = v * 16 + static_cast<std::uint32_t>(text::HexValue(c));
    }
    groups[static_cast<std::size_t>(count++)] = static_cast<std::uint16_t>(v);
    if (end == std::u16string_view::npos) {
      i = s.size();
      break;
    }
    i = end + 1;
    if (i < s.size() && s[i] == u':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
    } else if (i == s.size()) {
      return false;  // a single trailing colon
    }
  }
  if (gap < 0 && count != 8) return false;
  if (gap >= 0 && count > 7) return false;
  std::array<std::uint16_t, 8> full{};
  if (gap >= 0) {
    const int tail = count - gap;
    for (int k = 0; k < gap; ++k)
      full[static_cast<std::size_t>(k)] = groups[static_cast<std::size_t>(k)];
    for (int k = 0; k < tail; ++k)
      full[static_cast<std::size_t>(8 - tail + k)] = groups[static_cast<std::size_t>(gap + k)];
  } else {
    full = groups;
  }
  for (std::size_t k = 0; k < 8; ++k) {
    out[2 * k] = static_cast<std::uint8_t>(full[k] >> 8);
    out[2 * k + 1] = static_cast<std::uint8_t>(full[k] & 0xFF);
  }
  return true;
}

namespace {

bool IsLoopback(std::u16string_view host) {
  std::array<std::uint8_t, 4> a4{};
  std::array<std::uint8_t, 16> a6{};
  if (ParseIPv4(host, a4)) return a4[0] == 127;
  if (ParseIPv6(host, a6)) {
    std::array<std::uint8_t, 16> one{};
    one[15] = 1;
    return a6 == one;
  }
  const String lower = text::LowerAscii(host);
  return lower == u"localhost" || lower == u"loopback";
}

// "*" matches any run of characters (dots too); everything else itself, case-insensitively
// (both sides are lower case here).
bool GlobMatches(std::u16string_view pattern, std::u16string_view s) {
  std::size_t p = 0, i = 0, star = std::u16string_view::npos, mark = 0;
  while (i < s.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = i;
    } else if (p < pattern.size() && pattern[p] == s[i]) {
      ++p;
      ++i;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      i = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*')
    ++p;
  return p == pattern.size();
}

}  // namespace

// ---- The Windows lists ----

TProxyRoute RouteFromProxyList(std::u16string_view list, std::u16string_view scheme_in,
                               const String& source) {
  const String scheme = text::LowerAscii(scheme_in);
  std::optional<std::u16string_view> own, every, socks;
  for (std::u16string_view entry : SplitList(list, u";")) {
    auto eq = entry.find(u'=');
    if (eq == std::u16string_view::npos) {
      if (!every) every = entry;
      continue;
    }
    const String name = text::LowerAscii(entry.substr(0, eq));
    std::u16string_view value = entry.substr(eq + 1);
    if (name == scheme && !own) own = value;
    if (name == u"socks" && !socks) socks = value;
  }
  std::u16string_view chosen;
  bool is_socks = false;
  if (own) {
    chosen = *own;
  } else if (every) {
    chosen = *every;
  } else if (socks) {
    chosen = *socks;
    is_socks = true;
  } else {
    TProxyRoute direct;
    direct.Source = source;
    return direct;
  }
  TProxyRoute r;
  r.Source = source;
  if (auto sep = chosen.find(u"://"); sep != std::u16string_view::npos) {
    const String prefix = text::LowerAscii(chosen.substr(0, sep));
    if (is_socks || prefix != u"http")
      // The entry itself is not repeated: it may carry credentials.
      return Unusable(source,
                      u"the proxy's scheme \"" + SchemeForMessage(prefix) + u"\" is not supported");
    chosen = chosen.substr(sep + 3);
    if (!chosen.empty() && chosen.back() == u'/') chosen.remove_suffix(1);
  }
  String why;
  if (!SplitHostPort(chosen, r.Host, r.Port, is_socks ? 1080 : 80, why))
    return Unusable(source, u"the proxy address is unusable: " + why);
  r.Kind = is_socks ? TProxyKind::pkSocks4 : TProxyKind::pkHttp;
  return r;
}

bool BypassListMatches(std::u16string_view bypass, const TTarget& target) {
  const String host = NormalHost(target.Host);
  const String scheme = text::LowerAscii(target.Scheme);
  bool loopback_direct = true;
  bool matched = false;
  for (std::u16string_view entry : SplitList(bypass, u";,")) {
    const String e = text::LowerAscii(entry);
    if (e == u"<-loopback>") {
      loopback_direct = false;
      continue;
    }
    if (e == u"<local>") {
      if (!IsAddress(host) && host.find(u'.') == String::npos) matched = true;
      continue;
    }
    std::u16string_view pattern = e;
    if (auto sep = pattern.find(u"://"); sep != std::u16string_view::npos) {
      if (pattern.substr(0, sep) != scheme) continue;
      pattern = pattern.substr(sep + 3);
    }
    // A port ends the entry: after the closing bracket of an IPv6 pattern, else after the one
    // colon of a name pattern (a pattern with more colons is an IPv6 address without brackets).
    std::optional<std::uint16_t> port;
    std::u16string_view host_pattern = pattern;
    if (!pattern.empty() && pattern[0] == u'[') {
      auto close = pattern.find(u']');
      if (close == std::u16string_view::npos) continue;
      host_pattern = pattern.substr(1, close - 1);
      if (close + 1 < pattern.size()) {
        std::uint16_t p = 0;
        if (pattern[close + 1] != u':' || !ReadPort(pattern.substr(close + 2), p)) continue;
        port = p;
      }
    } else if (auto colon = pattern.find(u':'); colon != std::u16string_view::npos &&
                                                pattern.find(u':', colon + 1) == pattern.npos) {
      std::uint16_t p = 0;
      if (!ReadPort(pattern.substr(colon + 1), p)) continue;
      port = p;
      host_pattern = pattern.substr(0, colon);
    }
    if (port && *port != target.Port) continue;
    if (GlobMatches(host_pattern, host)) matched = true;
  }
  return matched || (loopback_direct && IsLoopback(host));
}

TProxyRoute RouteFromInternetSettings(const TInternetSettings& settings, const TTarget& target) {
  const String source = u"Internet settings";
  if (TrimBlanks(settings.Proxy).empty()) return TProxyRoute();  // no proxy set
  if (BypassListMatches(settings.ProxyBypass, target)) {
    TProxyRoute direct;
    direct.Source = source;
    return direct;
  }
  return RouteFromProxyList(settings.Proxy, target.Scheme, source);
}

String DescribeRoute(const TProxyRoute& route) {
  String out;
  if (!route.Usable()) {
    out = u"unusable proxy setting: " + route.Error;
  } else if (route.Direct()) {
    out = u"direct";
  } else {
    switch (route.Kind) {
      case TProxyKind::pkHttp:
        out = u"HTTP proxy ";
        break;
      case TProxyKind::pkSocks4:
        out = u"SOCKS 4 proxy ";
        break;
      case TProxyKind::pkSocks4A:
        out = u"SOCKS 4A proxy ";
        break;
      case TProxyKind::pkSocks5:
        out = u"SOCKS 5 proxy ";
        break;
      case TProxyKind::pkDirect:
        break;
    }
    out += route.Host.find(u':') != String::npos ? u"[" + route.Host + u"]" : route.Host;
    out += u":" + text::IntToStr(route.Port);
    if (route.Kind == TProxyKind::pkSocks5)
      out += route.RemoteResolve ? u" (the proxy resolves names)" : u" (names resolved here)";
    if (!route.Username.empty() || !route.Password.empty()) out += u" with credentials";
  }
  if (!route.Source.empty()) out += u" (" + route.Source + u")";
  return out;
}

}  // namespace plat::proxy
