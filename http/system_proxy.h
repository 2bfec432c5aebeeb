// The system's proxy settings (platform/proxy_settings.h) applied to an HTTP client: the route
// for a request's URL written into THttpCli's proxy and SOCKS settings. Shared by the installer
// and vexlor-fetch.
//
// The route is chosen for the URL a request starts with; relocations inside that request keep
// it (the client keeps its connection settings for the whole request), so a relocation to a
// host that the bypass list names still goes through the proxy, and one away from a bypassed
// host still goes directly. Each new request (a retry of the download too) chooses afresh.
//
// Threads: the client's thread. Pure apart from the system's settings.
#pragma once

#include "http/httpcli.h"
#include "platform/proxy_settings.h"

namespace system_proxy {

// The scheme, host and port of `url` as the proxy settings judge them (http when it names no
// scheme; the scheme's default port when it names none).
plat::proxy::TTarget TargetOfUrl(const String& url);

// Writes `route` into the client: an HTTP proxy into Proxy, ProxyPort, ProxyUsername and
// ProxyPassword; a SOCKS server into SocksServer, SocksPort, SocksLevel ("4", "4A" or "5"),
// SocksUsercode, SocksPassword and SocksAuthentication (user code and password when the route
// has a user); everything else back to the client's defaults, so a direct route leaves the
// client exactly as it was before any proxy setting was read. An unusable route changes nothing.
void ApplyRoute(THttpCli& cli, const plat::proxy::TProxyRoute& route);

// The system's route for `url`, applied to the client when it is usable. The caller must not
// start the request with an unusable one (Usable() false): the user asked for a proxy that
// cannot be used, and a direct connection would go around it.
plat::proxy::TProxyRoute UseSystemProxy(THttpCli& cli, const String& url);

}  // namespace system_proxy
