// The system's proxy settings applied to THttpCli.
#include "http/system_proxy.h"

#include "http/url.h"

namespace system_proxy {

using plat::proxy::TProxyKind;
using plat::proxy::TProxyRoute;

plat::proxy::TTarget TargetOfUrl(const String& url) {
  String proto, user, pass, host, port, path;
  SplitUrl(url, proto, user, pass, host, port, path);
  plat::proxy::TTarget t;
  t.Scheme = proto.empty() ? String(u"http") : proto;
  t.Host = host;
  std::size_t pos = 0;
  const std::int64_t n = port.empty() ? -1 : text::ReadDecimal(port, pos);
  if (n > 0 && n <= 65535 && pos == port.size())
    t.Port = static_cast<std::uint16_t>(n);
  else
    t.Port = t.Scheme == u"https" ? 443 : 80;
  t.Url = url;
  return t;
}

void ApplyRoute(THttpCli& cli, const TProxyRoute& route) {
  if (!route.Usable()) return;
  const bool http = route.Kind == TProxyKind::pkHttp;
  const bool socks = !route.Direct() && !http;
  const String port = text::IntToStr(route.Port);
  cli.SetProxy(http ? route.Host : String());
  cli.SetProxyPort(http ? port : String(u"80"));
  cli.SetProxyUsername(http ? route.Username : String());
  cli.SetProxyPassword(http ? route.Password : String());
  cli.SetSocksServer(socks ? route.Host : String());
  cli.SetSocksPort(socks ? port : String());
  String level;
  if (route.Kind == TProxyKind::pkSocks4) level = u"4";
  if (route.Kind == TProxyKind::pkSocks4A) level = u"4A";
  if (route.Kind == TProxyKind::pkSocks5) level = u"5";
  cli.SetSocksLevel(level);
  cli.SetSocksUsercode(socks ? route.Username : String());
  cli.SetSocksPassword(socks ? route.Password : String());
  cli.SetSocksAuthentication(socks && !route.Username.empty() ? socksAuthenticateUsercode
                                                              : socksNoAuthentication);
}

TProxyRoute UseSystemProxy(THttpCli& cli, const String& url) {
  TProxyRoute route = plat::proxy::SystemProxyFor(TargetOfUrl(url));
  ApplyRoute(cli, route);
  return route;
}

}  // namespace system_proxy
