// The client through proxies: plain requests through the test HTTP proxy (absolute form, 407
// answered with Basic and Digest), the CONNECT tunnel's refusals as the request's error, and
// requests through the test SOCKS server with the target's name resolved there. The origin is a
// scripted loopback server under a name that only the proxy knows (".invalid").
#include <gtest/gtest.h>

#include "tests/http/client_fixture.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_proxy.h"

namespace {

using namespace httptest;
using support::ScriptedServer;
using support::ServerScript;

const char kAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";

struct ProxyClientTest : ::testing::Test {
  TMemoryStream stream;
  Recorder rec;
  std::unique_ptr<THttpCli> cli;
  ScriptedServer origin{{ServerScript().ReadUntil("\r\n\r\n").Send(kAnswer).Close()}};

  void SetUp() override {
    cli = std::make_unique<THttpCli>(nullptr);
    cli->SetName(u"HttpCli");
    InstallerSettings(*cli);
    cli->SetTimeout(10);
    rec.Attach(*cli);
    cli->SetRcvdStream(&stream);
    cli->SetURL(U16("http://origin.invalid:" + std::to_string(origin.Port()) + "/doc"));
  }
  void UseProxy(const support::TestHttpProxy& proxy) {
    cli->SetProxy(u"127.0.0.1");
    cli->SetProxyPort(U16(std::to_string(proxy.Port())));
  }
  std::string Body() {
    std::string s(static_cast<std::size_t>(stream.Size()), '\0');
    stream.Seek(0, TSeekOrigin::soBeginning);
    stream.Read(s.data(), static_cast<std::int32_t>(s.size()));
    return s;
  }
};

TEST_F(ProxyClientTest, APlainRequestGoesInAbsoluteFormAndA407IsAnsweredWithBasic) {
  support::TestHttpProxy proxy;
  proxy.MapHost("origin.invalid", "127.0.0.1");
  proxy.RequireBasic("user", "pass");
  UseProxy(proxy);
  cli->SetProxyUsername(u"user");
  cli->SetProxyPassword(u"pass");
  cli->Get();
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_EQ(Body(), "hello");
  const std::string target = "http://origin.invalid:" + std::to_string(origin.Port()) + "/doc";
  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET " + target + " HTTP/1.0\r\n", 0), 0u) << requests[0];
  EXPECT_EQ(requests[0].find("Proxy-Authorization"), std::string::npos);
  EXPECT_NE(requests[1].find("Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos);
  EXPECT_EQ(proxy.Passed(), std::vector<std::string>{target});
  // The origin sees the request in origin form, without the proxy's fields.
  ASSERT_TRUE(origin.WaitFinished(5000));
  EXPECT_EQ(origin.Received(0).rfind("GET /doc HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(origin.Received(0).find("Proxy-"), std::string::npos);
}

TEST_F(ProxyClientTest, AnHttpsTunnelRefusedByTheProxyEndsTheRequestWithItsCode) {
  struct Case {
    int refuse;
    std::uint16_t code;
    const char* reason;
  };
  for (const Case& c : {Case{403, 21403, "HTTP Proxy - Forbidden (status 403) (Error #21403)"},
                        Case{502, 21502, "HTTP Proxy - Bad gateway (status 502) (Error #21502)"}}) {
    SCOPED_TRACE(c.refuse);
    support::TestHttpProxy proxy;
    proxy.SetRefuseStatus(c.refuse);
    UseProxy(proxy);
    cli->SetURL(u"https://secure.invalid/setup.exe");
    rec.done_count = 0;
    cli->GetASync();
    ASSERT_TRUE(PumpUntil([&] { return rec.done_count == 1; }));
    EXPECT_EQ(rec.done_err, c.code);
    EXPECT_EQ(U8(cli->ReasonPhrase()), c.reason);
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0],
              "CONNECT secure.invalid:443 HTTP/1.0\r\nHost: secure.invalid:443\r\n"
              "Proxy-Connection: Keep-Alive\r\n\r\n");
  }
}

TEST_F(ProxyClientTest, TheTunnelAnswersTheProxys407WithTheProxyCredentials) {
  // The target is plain text here (the tunnel does not care); the https case is in the TLS
  // tests. The proxy closes after its 407, so the tunnel connects again.
  ScriptedServer tls_origin({ServerScript().ReadBytes(5).Close()});
  support::TestHttpProxy proxy;
  proxy.MapHost("secure.invalid", "127.0.0.1");
  proxy.RequireBasic("user", "pass");
  proxy.SetCloseAfter407(true);
  UseProxy(proxy);
  cli->SetProxyUsername(u"user");
  cli->SetProxyPassword(u"pass");
  cli->SetURL(U16("https://secure.invalid:" + std::to_string(tls_origin.Port()) + "/doc"));
  cli->GetASync();
  ASSERT_TRUE(PumpUntil([&] { return rec.done_count == 1; }));
  // The tunnel stood (the origin saw the TLS client's first bytes) and TLS then failed on a
  // server that speaks no TLS: the proxy part is done.
  EXPECT_EQ(proxy.Passed(),
            std::vector<std::string>{"secure.invalid:" + std::to_string(tls_origin.Port())});
  EXPECT_EQ(proxy.AcceptedCount(), 2);
  ASSERT_TRUE(tls_origin.WaitFinished(5000));
  EXPECT_EQ(tls_origin.Received(0).substr(0, 1), "\x16");  // a TLS handshake record
  EXPECT_GE(rec.done_err, 22001);
}

struct SocksCase {
  const char* name;
  const char16_t* level;
  bool password;
  std::string target;  // as the SOCKS server saw it, with "PORT" for the origin's port
};

class ProxyClientSocks : public ProxyClientTest, public ::testing::WithParamInterface<SocksCase> {};

TEST_P(ProxyClientSocks, TheRequestGoesThroughTheSocksServer) {
  const SocksCase& c = GetParam();
  support::TestSocksServer socks;
  socks.MapHost("origin.invalid", "127.0.0.1");
  if (c.password) {
    socks.RequirePassword("user", "secret");
    cli->SetSocksUsercode(u"user");
    cli->SetSocksPassword(u"secret");
    cli->SetSocksAuthentication(socksAuthenticateUsercode);
  }
  cli->SetSocksServer(u"127.0.0.1");
  cli->SetSocksPort(U16(std::to_string(socks.Port())));
  cli->SetSocksLevel(c.level);
  cli->Get();
  EXPECT_EQ(cli->StatusCode(), 200);
  EXPECT_EQ(Body(), "hello");
  std::string expected = c.target;
  expected.replace(expected.find("PORT"), 4, std::to_string(origin.Port()));
  EXPECT_EQ(socks.Targets(), std::vector<std::string>{expected});
  ASSERT_TRUE(origin.WaitFinished(5000));
  EXPECT_EQ(origin.Received(0).rfind("GET /doc HTTP/1.0\r\n", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProxyClientSocks,
    ::testing::Values(SocksCase{"Level5", u"5", false, "5 origin.invalid:PORT"},
                      SocksCase{"Level5WithPassword", u"5", true, "5 origin.invalid:PORT"},
                      SocksCase{"Level4A", u"4A", false, "4a origin.invalid:PORT"}),
    [](const ::testing::TestParamInfo<SocksCase>& i) { return std::string(i.param.name); });

TEST_F(ProxyClientTest, ASocksRefusalEndsTheRequestWithItsCode) {
  support::TestSocksServer socks;  // knows no "origin.invalid": host unreachable
  cli->SetSocksServer(u"127.0.0.1");
  cli->SetSocksPort(U16(std::to_string(socks.Port())));
  cli->GetASync();
  ASSERT_TRUE(PumpUntil([&] { return rec.done_count == 1; }));
  EXPECT_EQ(rec.done_err, 20006);
  EXPECT_EQ(U8(cli->ReasonPhrase()), "SOCKS - Host unreachable (Error #20006)");
}

}  // namespace
