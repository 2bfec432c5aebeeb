// The system's proxy settings written into the client: each kind of route into its properties,
// and a direct route back to exactly the client's defaults.
#include <gtest/gtest.h>

#include "http/system_proxy.h"

namespace {

using plat::proxy::TProxyKind;
using plat::proxy::TProxyRoute;

// The client's proxy and SOCKS settings as one line.
std::string Settings(const THttpCli& c) {
  return text::ToUtf8(u"proxy=" + c.Proxy() + u":" + c.ProxyPort() + u" " + c.ProxyUsername() +
                      u"/" + c.ProxyPassword() + u" socks=" + c.SocksServer() + u":" +
                      c.SocksPort() + u" level=" + c.SocksLevel() + u" " + c.SocksUsercode() +
                      u"/" + c.SocksPassword()) +
         (c.SocksAuthentication() == socksAuthenticateUsercode ? " auth" : "");
}

TEST(SystemProxy, EachRouteSetsItsOwnSettingsOnly) {
  THttpCli fresh(nullptr);
  const std::string defaults = Settings(fresh);
  struct Case {
    const char* proxy_url;  // curl's form; null: direct
    const char* settings;
  } cases[] = {
      {"http://ann:pw@127.0.0.1:3128", "proxy=127.0.0.1:3128 ann/pw socks=: level= /"},
      {"socks4://127.0.0.1:1080", "proxy=:80 / socks=127.0.0.1:1080 level=4 /"},
      {"socks4a://127.0.0.1", "proxy=:80 / socks=127.0.0.1:1080 level=4A /"},
      {"socks5h://bob:s%3Aw@[::1]:9050", "proxy=:80 / socks=::1:9050 level=5 bob/s:w auth"},
      {nullptr, defaults.c_str()},
  };
  THttpCli cli(nullptr);
  for (const Case& c : cases) {
    const TProxyRoute route = c.proxy_url
                                  ? plat::proxy::ParseProxyUrl(text::FromUtf8(c.proxy_url), u"test")
                                  : TProxyRoute();
    ASSERT_TRUE(route.Usable());
    system_proxy::ApplyRoute(cli, route);
    EXPECT_EQ(Settings(cli), c.settings) << (c.proxy_url ? c.proxy_url : "direct");
  }
  // After a usable route, an unusable one changes nothing.
  system_proxy::ApplyRoute(cli, plat::proxy::ParseProxyUrl(u"http://127.0.0.1:1", u"test"));
  system_proxy::ApplyRoute(cli, plat::proxy::ParseProxyUrl(u"gopher://x", u"test"));
  EXPECT_EQ(Settings(cli), "proxy=127.0.0.1:1 / socks=: level= /");
}

TEST(SystemProxy, TheTargetOfAUrl) {
  struct Case {
    const char* url;
    const char* scheme;
    const char* host;
    std::uint16_t port;
  } cases[] = {
      {"http://download.invalid/download.php", "http", "download.invalid", 80},
      {"https://download.invalid/x", "https", "download.invalid", 443},
      {"http://127.0.0.1:8080/x", "http", "127.0.0.1", 8080},
      {"download.invalid/x", "http", "download.invalid", 80},
      {"http://user:pw@download.invalid:81/", "http", "download.invalid", 81},
  };
  for (const Case& c : cases) {
    const plat::proxy::TTarget t = system_proxy::TargetOfUrl(text::FromUtf8(c.url));
    EXPECT_EQ(text::ToUtf8(t.Scheme), c.scheme) << c.url;
    EXPECT_EQ(text::ToUtf8(t.Host), c.host) << c.url;
    EXPECT_EQ(t.Port, c.port) << c.url;
    EXPECT_EQ(text::ToUtf8(t.Url), c.url);
  }
}

}  // namespace
