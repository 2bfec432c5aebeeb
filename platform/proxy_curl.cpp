// curl's forms of the proxy settings: proxy URLs, no-proxy lists and the choice among the proxy
// variables. Shared by both targets (and tested on both); a file of its own, so a program that
// reads no environment does not carry it.
#include <array>
#include <string>
#include <vector>

#include "platform/proxy_parse.h"
#include "platform/proxy_settings.h"

namespace plat::proxy {

using namespace parse;

namespace {

// %XX sequences decoded to bytes, the bytes read as UTF-8. False on a broken sequence.
bool PercentDecode(std::u16string_view s, String& out) {
  std::string bytes;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'%') {
      if (i + 2 >= s.size() || !text::IsHexDigit(s[i + 1]) || !text::IsHexDigit(s[i + 2]))
        return false;
      bytes.push_back(static_cast<char>(text::HexValue(s[i + 1]) * 16 + text::HexValue(s[i + 2])));
      i += 2;
    } else {
      bytes += text::ToUtf8(s.substr(i, 1));
    }
  }
  out = text::FromUtf8(bytes);
  return true;
}

// Whether the first `bits` bits of a and b agree.
template <std::size_t N>
bool SamePrefix(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b,
                unsigned bits) {
  for (std::size_t i = 0; i < N && bits > 0; ++i) {
    const unsigned take = bits >= 8 ? 8 : bits;
    const std::uint8_t mask = static_cast<std::uint8_t>(0xFF00u >> take);
    if ((a[i] & mask) != (b[i] & mask)) return false;
    bits -= take;
  }
  return true;
}

// An address entry ("10.0.0.0/8", "::1", "[fe80::]/10") against an address host; false when the
// entry is no address of the host's family or is malformed.
bool AddressEntryMatches(std::u16string_view entry, std::u16string_view host) {
  unsigned bits = 0;
  bool has_bits = false;
  if (auto slash = entry.find(u'/'); slash != std::u16string_view::npos) {
    std::u16string_view b = entry.substr(slash + 1);
    if (b.empty() || b.size() > 3) return false;
    for (char16_t c : b) {
      if (c < u'0' || c > u'9') return false;
      bits = bits * 10 + static_cast<unsigned>(c - u'0');
    }
    has_bits = true;
    entry = entry.substr(0, slash);
  }
  entry = StripBrackets(entry);
  std::array<std::uint8_t, 4> h4{}, e4{};
  if (ParseIPv4(host, h4)) {
    if (!ParseIPv4(entry, e4) || (has_bits && bits > 32)) return false;
    return SamePrefix(h4, e4, has_bits ? bits : 32);
  }
  std::array<std::uint8_t, 16> h6{}, e6{};
  if (ParseIPv6(host, h6)) {
    if (!ParseIPv6(entry, e6) || (has_bits && bits > 128)) return false;
    return SamePrefix(h6, e6, has_bits ? bits : 128);
  }
  return false;
}

}  // namespace

TProxyRoute ParseProxyUrl(std::u16string_view value, const String& source) {
  value = TrimBlanks(value);
  TProxyRoute r;
  r.Source = source;
  std::u16string_view rest = value;
  String scheme = u"http";
  if (auto sep = rest.find(u"://"); sep != std::u16string_view::npos) {
    scheme = text::LowerAscii(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  if (scheme == u"http") {
    r.Kind = TProxyKind::pkHttp;
  } else if (scheme == u"socks4") {
    r.Kind = TProxyKind::pkSocks4;
  } else if (scheme == u"socks4a") {
    r.Kind = TProxyKind::pkSocks4A;
    r.RemoteResolve = true;
  } else if (scheme == u"socks5") {
    r.Kind = TProxyKind::pkSocks5;
  } else if (scheme == u"socks5h") {
    r.Kind = TProxyKind::pkSocks5;
    r.RemoteResolve = true;
  } else {
    return Unusable(source, u"the proxy scheme \"" + SchemeForMessage(scheme) +
                                u"\" is not supported (http, socks4, socks4a, socks5, socks5h)");
  }
  // The authority ends at the path; a proxy's path means nothing and is ignored.
  std::u16string_view authority = rest.substr(0, rest.find_first_of(u"/?#"));
  if (auto at = authority.rfind(u'@'); at != std::u16string_view::npos) {
    std::u16string_view userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    auto colon = userinfo.find(u':');
    std::u16string_view user = userinfo.substr(0, colon);
    std::u16string_view pass =
        colon == std::u16string_view::npos ? std::u16string_view() : userinfo.substr(colon + 1);
    if (!PercentDecode(user, r.Username) || !PercentDecode(pass, r.Password))
      return Unusable(source, u"a broken percent-encoding in the proxy's user or password");
  }
  String why;
  if (!SplitHostPort(authority, r.Host, r.Port, 1080, why))
    return Unusable(source, u"the proxy address is unusable: " + why);
  return r;
}

bool NoProxyMatches(std::u16string_view no_proxy, std::u16string_view host_in) {
  no_proxy = TrimBlanks(no_proxy);
  if (no_proxy.empty()) return false;
  if (no_proxy == u"*") return true;
  const String host = NormalHost(host_in);
  if (host.empty()) return false;
  const bool address = IsAddress(host);
  for (std::u16string_view entry : SplitList(no_proxy, u",")) {
    if (address) {
      if (AddressEntryMatches(entry, host)) return true;
      continue;
    }
    if (entry.front() == u'.') entry.remove_prefix(1);
    String name = NormalHost(entry);
    if (name.empty()) continue;
    if (host == name) return true;
    if (host.size() > name.size() && host[host.size() - name.size() - 1] == u'.' &&
        host.compare(host.size() - name.size(), name.size(), name) == 0)
      return true;
  }
  return false;
}

TProxyRoute RouteFromEnvironment(const TTarget& target, const TEnvironment& env) {
  auto read = [&env](const char* name) -> std::optional<String> {
    std::optional<String> v = env(name);
    if (v && TrimBlanks(*v).empty()) return std::nullopt;
    return v;
  };
  TProxyRoute direct;
  String no_proxy_name = u"no_proxy";
  std::optional<String> no_proxy = read("no_proxy");
  if (!no_proxy) {
    no_proxy_name = u"NO_PROXY";
    no_proxy = read("NO_PROXY");
  }
  if (no_proxy && NoProxyMatches(*no_proxy, target.Host)) {
    direct.Source = no_proxy_name;
    return direct;
  }
  const String scheme = text::LowerAscii(target.Scheme);
  std::vector<const char*> names;
  if (scheme == u"https") {
    names = {"https_proxy", "HTTPS_PROXY"};
  } else if (scheme == u"http") {
    names = {"http_proxy"};
  }
  names.push_back("all_proxy");
  names.push_back("ALL_PROXY");
  for (const char* name : names) {
    if (std::optional<String> v = read(name)) return ParseProxyUrl(*v, text::FromUtf8(name));
  }
  return direct;
}

}  // namespace plat::proxy
