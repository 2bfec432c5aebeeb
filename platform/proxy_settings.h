// The system's proxy settings: which way a request to a given URL should go (directly, through
// an HTTP proxy, or through a SOCKS 4, 4A or 5 server), as the system's own programs would send
// it.
//
// - POSIX: the environment, read as curl reads it. The target's scheme picks the variable:
//   "http_proxy" for http (lower case only: a CGI program's environment has HTTP_PROXY from the
//   request's "Proxy" header), "https_proxy" then "HTTPS_PROXY" for https; then "all_proxy",
//   "ALL_PROXY". "no_proxy" (else "NO_PROXY") names the hosts that go directly. A variable that
//   is set but empty counts as unset.
// - Win32: the user's Internet settings as WinHTTP sees them
//   (WinHttpGetIEProxyConfigForCurrentUser; winhttp.dll is loaded at run time). Automatic
//   detection and an automatic configuration script are asked first through WinHttpGetProxyForUrl;
//   when they give no answer, the manual proxy list and its bypass list apply.
//
// A setting that cannot be used (an unknown proxy scheme, a port that is not a number from 1 to
// 65535, a host with blanks or control characters) gives a route with Error set: the caller
// must not fall back to a direct connection silently, since the user asked for a proxy.
//
// The parsers below are pure (no system call) and shared by both targets, so both run their
// tests everywhere. Thread-safe: no state.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace plat::proxy {

enum class TProxyKind { pkDirect, pkHttp, pkSocks4, pkSocks4A, pkSocks5 };

struct TProxyRoute {
  TProxyKind Kind = TProxyKind::pkDirect;
  String Host;  // an IPv6 literal without its brackets
  std::uint16_t Port = 0;
  // Credentials of the proxy, percent-decoded; empty when the setting names none.
  String Username;
  String Password;
  // SOCKS: the server resolves the target's name (socks4a://, socks5h://); otherwise the name
  // is resolved here first (socks4://, socks5://).
  bool RemoteResolve = false;
  // Where the setting came from: the variable's name, or "Internet settings" (manual list),
  // "automatic configuration"; empty when no proxy is set at all.
  String Source;
  // Not empty: the setting is unusable and says why; the request must fail.
  String Error;

  bool Usable() const { return Error.empty(); }
  // A setting decided the route (a proxy, or a bypass or no-proxy list that named the host);
  // false for the direct route of a system where no proxy is set at all.
  bool Configured() const { return !Source.empty(); }
  bool Direct() const { return Kind == TProxyKind::pkDirect; }
};

// What a request is about to fetch: the URL's scheme ("http", "https"), host (an IPv6 literal
// with or without brackets) and port, and the URL itself for an automatic configuration script.
struct TTarget {
  String Scheme;
  String Host;
  std::uint16_t Port = 0;
  String Url;
};

// IP address literals in their text forms: dotted decimal with four parts; IPv6 with "::" and
// an IPv4 tail, no brackets, no zone.
bool ParseIPv4(std::u16string_view s, std::array<std::uint8_t, 4>& out);
bool ParseIPv6(std::u16string_view s, std::array<std::uint8_t, 16>& out);

// ---- The environment, as curl reads it ----

// A proxy as curl's proxy variables write it: "[scheme://][user[:password]@]host[:port][/]"
// with the schemes http (also when none is given), socks4, socks4a, socks5 and socks5h; the
// port defaults to 1080, as curl documents for every one of them. `source` is kept in the route.
TProxyRoute ParseProxyUrl(std::u16string_view value, const String& source);

// Whether curl's no-proxy list names `host`: "*" alone names every host; otherwise the entries
// are separated by commas or blanks, and a name entry (a leading dot is optional) names the host
// itself and every name below it, case-insensitively; an IP address entry names that address,
// and with "/bits" its network (IPv4 and IPv6, brackets optional). Entries carry no port.
bool NoProxyMatches(std::u16string_view no_proxy, std::u16string_view host);

// The value of an environment variable, or nothing when it is not set.
using TEnvironment = std::function<std::optional<String>(const char* name)>;

// The route curl would take for `target` with this environment.
TProxyRoute RouteFromEnvironment(const TTarget& target, const TEnvironment& env);

// ---- The Internet settings of Windows ----

// The manual part of the user's Internet settings (and the answer of an automatic
// configuration, which has the same form).
struct TInternetSettings {
  bool AutoDetect = false;
  String AutoConfigUrl;
  // "host:port" for every scheme, or "scheme=host:port" entries (http, https, socks; others are
  // ignored) separated by ";" or blanks; a host may carry "http://". Empty: no proxy.
  String Proxy;
  // Entries separated by ";" or blanks: "[scheme://]host-pattern[:port]" with "*" matching any
  // run of characters, "<local>" for names without a dot, "<-loopback>" to send loopback
  // addresses through the proxy as well (otherwise they always go directly).
  String ProxyBypass;
};

// The proxy that a Windows proxy list names for `scheme`: the scheme's own entry, else the entry
// for every scheme, else the "socks=" entry (SOCKS 4, the version the system's Internet settings
// speak), else none. Default ports: 80 for an HTTP proxy, 1080 for SOCKS.
TProxyRoute RouteFromProxyList(std::u16string_view list, std::u16string_view scheme,
                               const String& source);

// Whether a Windows bypass list sends `target` directly (loopback included, see above).
bool BypassListMatches(std::u16string_view bypass, const TTarget& target);

// The route of the manual settings for `target` (automatic configuration not applied).
TProxyRoute RouteFromInternetSettings(const TInternetSettings& settings, const TTarget& target);

// ---- The system ----

// The route for `target` from this system's settings (see the top of this file). Win32: may
// block while an automatic configuration script is fetched and run.
TProxyRoute SystemProxyFor(const TTarget& target);

// "direct", "HTTP proxy 10.0.0.1:3128", "SOCKS 5 proxy [::1]:1080 (the proxy resolves names)",
// with " with credentials" when it has some, and " from <source>"; never the credentials.
String DescribeRoute(const TProxyRoute& route);

}  // namespace plat::proxy
