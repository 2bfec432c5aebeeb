// The POSIX reader of the proxy settings against the process's real environment.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "platform/proxy_settings.h"

namespace {

// Sets the proxy variables for one test and removes every one of them afterwards.
class ProxyEnvironment : public ::testing::Test {
 protected:
  static constexpr const char* kNames[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                           "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    for (const char* n : kNames)
      unsetenv(n);
  }
  static plat::proxy::TProxyRoute For(const char* scheme, const char* host) {
    plat::proxy::TTarget t;
    t.Scheme = text::FromUtf8(scheme);
    t.Host = text::FromUtf8(host);
    t.Port = 80;
    return plat::proxy::SystemProxyFor(t);
  }
};

TEST_F(ProxyEnvironment, NothingSetGoesDirectly) {
  EXPECT_TRUE(For("http", "download.invalid").Direct());
  EXPECT_TRUE(For("https", "download.invalid").Usable());
}

TEST_F(ProxyEnvironment, ReadsTheVariablesAsCurlDoes) {
  setenv("HTTP_PROXY", "http://127.0.0.1:1", 1);  // never read
  EXPECT_TRUE(For("http", "download.invalid").Direct());
  setenv("http_proxy", "http://bob:pw@127.0.0.1:3128", 1);
  setenv("ALL_PROXY", "socks5h://127.0.0.1:1080", 1);
  setenv("NO_PROXY", ".corp.invalid", 1);
  auto r = For("http", "download.invalid");
  EXPECT_EQ(r.Kind, plat::proxy::TProxyKind::pkHttp);
  EXPECT_EQ(r.Host, u"127.0.0.1");
  EXPECT_EQ(r.Port, 3128);
  EXPECT_EQ(r.Username, u"bob");
  EXPECT_EQ(r.Password, u"pw");
  auto s = For("https", "download.invalid");
  EXPECT_EQ(s.Kind, plat::proxy::TProxyKind::pkSocks5);
  EXPECT_TRUE(s.RemoteResolve);
  EXPECT_EQ(s.Source, u"ALL_PROXY");
  EXPECT_TRUE(For("http", "files.corp.invalid").Direct());
  setenv("http_proxy", "socks6://127.0.0.1", 1);
  EXPECT_FALSE(For("http", "download.invalid").Usable());
}

}  // namespace
