// The socket's HTTP-tunnel and SOCKS layers against a scripted loopback peer that plays the
// proxy and then, on the same connection, the target. Each case is data: the bytes the proxy
// sends, the exact bytes the socket must send, and the events the owner must see.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/proxy_protocol.h"
#include "net/wsocket.h"
#include "tests/support/pump.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_proxy.h"

using support::PumpUntil;
using support::ScriptedServer;
using support::ServerScript;

namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes)
    s.push_back(static_cast<char>(b));
  return s;
}

// A socket whose events are written down in order.
class Recorder {
 public:
  Recorder() : sock(std::make_unique<TWSocket>(nullptr)) {
    TWSocket& s = *sock;
    s.OnError = [this](TObject*) { Log("error " + std::to_string(sock->LastError())); };
    s.OnChangeState = [this](TObject*, TSocketState o, TSocketState n) {
      states.push_back(std::to_string(o) + ">" + std::to_string(n));
    };
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      Log("connected " + std::to_string(e));
    };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      Log("closed " + std::to_string(e));
      closed = true;
    };
    s.OnDataAvailable = [this](TObject*, std::uint16_t) {
      char buf[1024];
      std::int32_t n = sock->Receive(buf, sizeof buf);
      if (n > 0) data.append(buf, static_cast<std::size_t>(n));
    };
    s.OnHttpTunnelConnected = [this](TObject*, std::uint16_t e) {
      Log("tunnel " + std::to_string(e));
    };
    s.OnHttpTunnelError = [this](TObject*, std::uint16_t e) {
      Log("tunnel-error " + std::to_string(e));
    };
    s.OnSocksConnected = [this](TObject*, std::uint16_t e) { Log("socks " + std::to_string(e)); };
    s.OnSocksError = [this](TObject*, std::uint16_t e) { Log("socks-error " + std::to_string(e)); };
    s.OnSocksAuthState = [this](TObject*, int a) { Log("auth " + std::to_string(a)); };
  }
  void Log(std::string line) { events.push_back(std::move(line)); }
  std::string Events() const {
    std::string r;
    for (const std::string& e : events)
      r += (r.empty() ? "" : ", ") + e;
    return r;
  }

  std::unique_ptr<TWSocket> sock;
  std::vector<std::string> events;
  std::vector<std::string> states;
  std::string data;
  bool closed = false;
};

const std::string kConnect10 =
    "CONNECT target.invalid:443 HTTP/1.0\r\nHost: target.invalid:443\r\n"
    "Proxy-Connection: Keep-Alive\r\n\r\n";
const std::string kConnectBasic10 =
    "CONNECT target.invalid:443 HTTP/1.0\r\nHost: target.invalid:443\r\n"
    "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n";

void StartTunnel(Recorder& r, const ScriptedServer& proxy, const char16_t* user = u"",
                 THttpTunnelAuthType type = htatDetect) {
  TWSocket& s = *r.sock;
  s.SetHttpTunnelServer(u"127.0.0.1");
  s.SetHttpTunnelPort(text::IntToStr(proxy.Port()));
  s.SetHttpTunnelUsercode(user);
  s.SetHttpTunnelPassword(u"pass");
  s.SetHttpTunnelAuthType(type);
  s.SetAddr(u"target.invalid");
  s.SetPort(u"443");
  s.Connect();
}

// --- The tunnel --------------------------------------------------------------------------------

TEST(HttpTunnel, TheSessionIsTheTargetsOnceTheProxyAnswers200AndItsNextBytesAreKept) {
  // The target's first bytes come in the same packet as the proxy's answer.
  ScriptedServer proxy({ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.0 200 Connection established\r\n\r\nHELLO")
                            .ReadBytes(4)
                            .Send("WORLD")
                            .Close()});
  Recorder r;
  r.sock->OnSessionConnected = [&](TObject*, std::uint16_t e) {
    r.Log("connected " + std::to_string(e));
    if (e == 0) r.sock->SendStr(AnsiString("ping"));
  };
  StartTunnel(r, proxy);
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  ASSERT_TRUE(proxy.WaitFinished(5000));
  EXPECT_EQ(proxy.Received(0), kConnect10 + "ping");
  EXPECT_EQ(r.Events(), "tunnel 0, connected 0, closed 0");
  EXPECT_EQ(r.data, "HELLOWORLD");
  // wsClosed > wsOpened > wsConnecting > wsConnected > wsClosed: the negotiation is unseen.
  EXPECT_EQ(r.states, (std::vector<std::string>{"8>1", "1>3", "3>5", "5>8"}));
}

TEST(HttpTunnel, WithTheOptionTheRequestIsHttp11AndAnIPv6TargetIsBracketed) {
  ScriptedServer proxy({ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                            .Close()});
  Recorder r;
  r.sock->SetComponentOptions({wsoNoHttp10Tunnel});
  r.sock->SetHttpTunnelServer(u"127.0.0.1");
  r.sock->SetHttpTunnelPort(text::IntToStr(proxy.Port()));
  r.sock->SetAddr(u"::1");
  r.sock->SetPort(u"8443");
  r.sock->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  EXPECT_EQ(proxy.Received(0), "CONNECT [::1]:8443 HTTP/1.1\r\nHost: [::1]:8443\r\n\r\n");
  EXPECT_EQ(r.Events(), "tunnel 0, connected 0, closed 0");
}

struct TunnelFailureCase {
  const char* name;
  std::string answer;
  int code;
  const char* user;
};

class HttpTunnelFailure : public ::testing::TestWithParam<TunnelFailureCase> {};

TEST_P(HttpTunnelFailure, EndsAsARefusedConnectWithItsCode) {
  const TunnelFailureCase& c = GetParam();
  ServerScript script;
  script.ReadUntil("\r\n\r\n");
  if (!c.answer.empty()) script.Send(c.answer);
  script.Close();
  ScriptedServer proxy({script});
  Recorder r;
  StartTunnel(r, proxy, text::FromUtf8(c.user).c_str());
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  const std::string code = std::to_string(c.code);
  EXPECT_EQ(r.Events(), "tunnel-error " + code + ", connected " + code + ", closed 0");
  EXPECT_EQ(r.sock->State(), wsClosed);
  EXPECT_EQ(text::ToUtf8(DescribeSocketError(c.code)).rfind("HTTP Proxy - ", 0), 0u);
  EXPECT_EQ(r.data, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpTunnelFailure,
    ::testing::Values(
        TunnelFailureCase{"Forbidden", "HTTP/1.0 403 Forbidden\r\n\r\nsecret", 21403, ""},
        TunnelFailureCase{"BadGateway", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n",
                          21502, ""},
        TunnelFailureCase{"NotHttp", "SSH-2.0-OpenSSH\r\n\r\n", 21001, ""},
        TunnelFailureCase{"BadStatus", "HTTP/1.1 2000 OK\r\n\r\n", 21001, ""},
        TunnelFailureCase{"FieldWithoutColon", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n", 21001, ""},
        TunnelFailureCase{"HeaderTooLarge",
                          "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 21002,
                          ""},
        TunnelFailureCase{"ClosedBeforeAnswer", "", 21003, ""},
        TunnelFailureCase{"ClosedMidHeader", "HTTP/1.1 200 OK\r\nVia: x", 21003, ""},
        TunnelFailureCase{"ChallengeWithoutCredentials",
                          "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
                          "Content-Length: 0\r\n\r\n",
                          21407, ""},
        TunnelFailureCase{"ChallengeOfAnUnknownScheme",
                          "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Kerberos-9\r\n"
                          "Content-Length: 0\r\n\r\n",
                          21004, "user"}),
    [](const ::testing::TestParamInfo<TunnelFailureCase>& i) { return std::string(i.param.name); });

TEST(HttpTunnel, A407IsAnsweredWithBasicOnTheSameConnectionAfterItsBodyIsSkipped) {
  ScriptedServer proxy({ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"corp\"\r\n"
                                  "Content-Length: 6\r\n\r\ndenied")
                            .ReadUntil("Basic dXNlcjpwYXNz\r\n\r\n")
                            .Send("HTTP/1.1 200 Connection established\r\n\r\nOK")
                            .Close()});
  Recorder r;
  StartTunnel(r, proxy, u"user");
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  EXPECT_EQ(proxy.AcceptedCount(), 1);
  EXPECT_EQ(proxy.Received(0), kConnect10 + kConnectBasic10);
  EXPECT_EQ(r.Events(), "tunnel 0, connected 0, closed 0");
  EXPECT_EQ(r.data, "OK");
}

TEST(HttpTunnel, AProxyThatClosesAfterIts407IsConnectedToAgainUnseenByTheOwner) {
  ScriptedServer proxy({ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.0 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"corp\"\r\n\r\n")
                            .Close(),
                        ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send("HTTP/1.0 200 Connection established\r\n\r\nOK")
                            .Close()});
  Recorder r;
  StartTunnel(r, proxy, u"user", htatBasic);
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  ASSERT_TRUE(proxy.WaitFinished(5000));
  EXPECT_EQ(proxy.Received(0), kConnect10);
  EXPECT_EQ(proxy.Received(1), kConnectBasic10);
  EXPECT_EQ(r.Events(), "tunnel 0, connected 0, closed 0");
  EXPECT_EQ(r.states, (std::vector<std::string>{"8>1", "1>3", "3>5", "5>8"}));
  EXPECT_EQ(r.data, "OK");
}

TEST(HttpTunnel, RefusedCredentialsEndWith21407AndTheRoundsAreBounded) {
  const std::string challenge =
      "HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=\"corp\"\r\nContent-Length: 0\r\n\r\n";
  ScriptedServer proxy({ServerScript()
                            .ReadUntil("\r\n\r\n")
                            .Send(challenge)
                            .ReadUntil("Basic dXNlcjpwYXNz\r\n\r\n")
                            .Send(challenge)
                            .Close()});
  Recorder r;
  StartTunnel(r, proxy, u"user");
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  EXPECT_EQ(r.Events(), "tunnel-error 21407, connected 21407, closed 0");
  EXPECT_EQ(r.sock->HttpTunnelStatusCode(), 407);
  EXPECT_EQ(r.sock->HttpTunnelLastResponse(), "HTTP/1.1 407 No");
}

TEST(HttpTunnel, ATargetThatWouldSplitTheRequestLineIsRefusedBeforeConnecting) {
  ScriptedServer proxy({});
  Recorder r;
  r.sock->SetHttpTunnelServer(u"127.0.0.1");
  r.sock->SetHttpTunnelPort(text::IntToStr(proxy.Port()));
  for (const char16_t* host : {u"evil.invalid:1 HTTP/1.0\r\nX: y", u"a b", u""}) {
    r.events.clear();
    r.sock->SetAddr(host);
    r.sock->SetPort(u"443");
    r.sock->Connect();
    EXPECT_EQ(r.sock->State(), wsClosed);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].rfind("error", 0), 0u);
  }
  EXPECT_EQ(proxy.AcceptedCount(), 0);
}

struct TunnelAuthCase {
  const char* name;
  support::TestHttpProxy::Auth auth;
  bool close_after_407;
  const char* scheme;  // of the last Proxy-Authorization sent
  int connections;
  std::string events;
};

std::string AllRequests(const support::TestHttpProxy& p) {
  std::string r;
  for (auto& q : p.Requests())
    r += q;
  return r;
}
class HttpTunnelAuth : public ::testing::TestWithParam<TunnelAuthCase> {};

TEST_P(HttpTunnelAuth, TheStrongestOfferedSchemeOpensTheTunnel) {
  const TunnelAuthCase& c = GetParam();
  ScriptedServer target({ServerScript().Send("HELLO").Close()});
  support::TestHttpProxy proxy;
  proxy.MapHost("target.invalid", "127.0.0.1");
  using Auth = support::TestHttpProxy::Auth;
  if (c.auth == Auth::Basic) proxy.RequireBasic("user", "pass");
  if (c.auth == Auth::Digest) proxy.RequireDigest("user", "pass");
  if (c.auth == Auth::Ntlm) proxy.RequireNtlm();
  // A weaker scheme is always offered first: htatDetect must not take it.
  if (c.auth != Auth::Basic) proxy.AlsoOffer("Basic realm=\"weak\"");
  proxy.SetCloseAfter407(c.close_after_407);
  Recorder r;
  r.sock->SetHttpTunnelServer(u"127.0.0.1");
  r.sock->SetHttpTunnelPort(text::IntToStr(proxy.Port()));
  r.sock->SetHttpTunnelUsercode(u"user");
  r.sock->SetHttpTunnelPassword(u"pass");
  r.sock->SetAddr(u"target.invalid");
  r.sock->SetPort(text::IntToStr(target.Port()));
  r.sock->Connect();
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  EXPECT_EQ(r.Events(), c.events) << AllRequests(proxy);
  EXPECT_EQ(proxy.AcceptedCount(), c.connections);
  const auto requests = proxy.Requests();
  ASSERT_FALSE(requests.empty());
  const std::string last = requests.back();
  EXPECT_NE(last.find(std::string("Proxy-Authorization: ") + c.scheme + " "), std::string::npos)
      << last << " all: " << requests.size();
  if (c.events.rfind("tunnel 0", 0) == 0) {
    EXPECT_EQ(r.data, "HELLO");
  }
}

using Auth = support::TestHttpProxy::Auth;
INSTANTIATE_TEST_SUITE_P(
    Cases, HttpTunnelAuth,
    ::testing::Values(
        TunnelAuthCase{"Basic", Auth::Basic, false, "Basic", 1, "tunnel 0, connected 0, closed 0"},
        TunnelAuthCase{"BasicClosing", Auth::Basic, true, "Basic", 2,
                       "tunnel 0, connected 0, closed 0"},
        TunnelAuthCase{"Digest", Auth::Digest, false, "Digest", 1,
                       "tunnel 0, connected 0, closed 0"},
        TunnelAuthCase{"DigestClosing", Auth::Digest, true, "Digest", 2,
                       "tunnel 0, connected 0, closed 0"},
        TunnelAuthCase{"Ntlm", Auth::Ntlm, false, "NTLM", 1, "tunnel 0, connected 0, closed 0"},
        // NTLM authenticates a connection: a proxy that closes after every 407 cannot be
        // answered, and the rounds end.
        TunnelAuthCase{"NtlmClosing", Auth::Ntlm, true, "NTLM", TWSocket::kTunnelMaxRounds,
                       "tunnel-error 21407, connected 21407, closed 0"}),
    [](const ::testing::TestParamInfo<TunnelAuthCase>& i) { return std::string(i.param.name); });

// --- SOCKS -------------------------------------------------------------------------------------

void StartSocks(Recorder& r, const ScriptedServer& server, const char16_t* level,
                const char16_t* host, bool password = false) {
  TWSocket& s = *r.sock;
  s.SetSocksServer(u"127.0.0.1");
  s.SetSocksPort(text::IntToStr(server.Port()));
  s.SetSocksLevel(level);
  s.SetSocksUsercode(u"user");
  s.SetSocksPassword(u"secret");
  s.SetSocksAuthentication(password ? socksAuthenticateUsercode : socksNoAuthentication);
  s.SetAddr(host);
  s.SetPort(u"8080");
  s.Connect();
}

TEST(Socks, Level5WithANameLeavesTheResolutionToTheServerAndKeepsTheTargetsFirstBytes) {
  const std::string request = B({5, 1, 0, 3, 14}) + "target.invalid" + B({0x1f, 0x90});
  ScriptedServer server({ServerScript()
                             .ReadBytes(3)
                             .Send(B({5, 0}))
                             .ReadBytes(request.size())
                             .Send(B({5, 0, 0, 1, 127, 0, 0, 1, 0x1f, 0x90}) + "HELLO")
                             .ReadBytes(4)
                             .Close()});
  Recorder r;
  std::vector<TSocketState> during;
  r.sock->OnSessionConnected = [&](TObject*, std::uint16_t e) {
    r.Log("connected " + std::to_string(e));
    r.sock->SendStr(AnsiString("ping"));
  };
  StartSocks(r, server, u"5", u"target.invalid");
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  EXPECT_EQ(server.Received(0), B({5, 1, 0}) + request + "ping");
  EXPECT_EQ(r.Events(), "auth 3, socks 0, connected 0, closed 0");
  EXPECT_EQ(r.data, "HELLO");
  // wsConnecting > wsSocksConnected while negotiating > wsConnected.
  EXPECT_EQ(r.states, (std::vector<std::string>{"8>1", "1>3", "3>4", "4>5", "5>8"}));
}

struct SocksCase {
  const char* name;
  const char16_t* level;
  const char16_t* host;
  bool password;
  std::vector<std::pair<std::string, std::string>> exchange;  // expected request, reply
  std::string events;
};

class SocksExchange : public ::testing::TestWithParam<SocksCase> {};

TEST_P(SocksExchange, SendsTheseBytesAndSeesTheseEvents) {
  const SocksCase& c = GetParam();
  ServerScript script;
  std::string expected;
  for (const auto& [request, reply] : c.exchange) {
    script.ReadBytes(request.size());
    if (!reply.empty()) script.Send(reply);
    expected += request;
  }
  script.Close();
  ScriptedServer server({script});
  Recorder r;
  StartSocks(r, server, c.level, c.host, c.password);
  ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(server.Received(0), expected);
  EXPECT_EQ(r.Events(), c.events);
  EXPECT_EQ(r.sock->State(), wsClosed);
}

const std::string kName = B({14}) + "target.invalid";
const std::string kPort = B({0x1f, 0x90});
const std::string kOkReply4 = B({5, 0, 0, 1, 10, 0, 0, 1, 0, 80});

INSTANTIATE_TEST_SUITE_P(
    Cases, SocksExchange,
    ::testing::Values(
        SocksCase{"Password",
                  u"5",
                  u"target.invalid",
                  true,
                  {{B({5, 2, 0, 2}), B({5, 2})},
                   {B({1, 4}) + "user" + B({6}) + "secret", B({1, 0})},
                   {B({5, 1, 0, 3}) + kName + kPort, kOkReply4}},
                  "auth 0, auth 1, socks 0, connected 0, closed 0"},
        SocksCase{
            "PasswordRefused",
            u"5",
            u"target.invalid",
            true,
            {{B({5, 2, 0, 2}), B({5, 2})}, {B({1, 4}) + "user" + B({6}) + "secret", B({1, 1})}},
            "auth 0, auth 2, socks-error 20014, connected 20014, closed 0"},
        SocksCase{"IPv4Target",
                  u"5",
                  u"10.1.2.3",
                  false,
                  {{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 10, 1, 2, 3}) + kPort, kOkReply4}},
                  "auth 3, socks 0, connected 0, closed 0"},
        SocksCase{"IPv6TargetAndAReplyWithAName",
                  u"5",
                  u"::1",
                  false,
                  {{B({5, 1, 0}), B({5, 0})},
                   {B({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) + kPort,
                    B({5, 0, 0, 3, 3}) + "abc" + kPort}},
                  "auth 3, socks 0, connected 0, closed 0"},
        SocksCase{"ConnectionRefusedByTheTarget",
                  u"5",
                  u"target.invalid",
                  false,
                  {{B({5, 1, 0}), B({5, 0})},
                   {B({5, 1, 0, 3}) + kName + kPort, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}},
                  "auth 3, socks-error 20007, connected 20007, closed 0"},
        SocksCase{"NoAcceptableMethod",
                  u"5",
                  u"target.invalid",
                  false,
                  {{B({5, 1, 0}), B({5, 0xFF})}},
                  "socks-error 20002, connected 20002, closed 0"},
        SocksCase{"MethodNotOffered",
                  u"5",
                  u"target.invalid",
                  false,
                  {{B({5, 1, 0}), B({5, 2})}},
                  "socks-error 20000, connected 20000, closed 0"},
        SocksCase{"WrongVersion",
                  u"5",
                  u"target.invalid",
                  false,
                  {{B({5, 1, 0}), B({4, 0})}},
                  "socks-error 20001, connected 20001, closed 0"},
        SocksCase{"UnknownAddressTypeInTheReply",
                  u"5",
                  u"target.invalid",
                  false,
                  {{B({5, 1, 0}), B({5, 0})},
                   {B({5, 1, 0, 3}) + kName + kPort, B({5, 0, 0, 9, 0, 0, 0, 0, 0, 0})}},
                  "auth 3, socks-error 20000, connected 20000, closed 0"},
        SocksCase{"ClosedInTheNegotiation",
                  u"5",
                  u"target.invalid",
                  false,
                  {{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 3}) + kName + kPort, B({5, 0, 0})}},
                  "auth 3, socks-error 20013, connected 20013, closed 0"},
        SocksCase{
            "Level4",
            u"4",
            u"10.1.2.3",
            false,
            {{B({4, 1, 0x1f, 0x90, 10, 1, 2, 3}) + "user" + B({0}), B({0, 90, 0, 0, 0, 0, 0, 0})}},
            "socks 0, connected 0, closed 0"},
        SocksCase{"Level4ARejected",
                  u"4A",
                  u"target.invalid",
                  false,
                  {{B({4, 1, 0x1f, 0x90, 0, 0, 0, 1}) + "user" + B({0}) + "target.invalid" + B({0}),
                    B({0, 91, 0, 0, 0, 0, 0, 0})}},
                  "socks-error 20015, connected 20015, closed 0"}),
    [](const ::testing::TestParamInfo<SocksCase>& i) { return std::string(i.param.name); });

TEST(Socks, ATargetThatCannotBeSentIsRefusedBeforeConnecting) {
  ScriptedServer server({});
  Recorder r;
  StartSocks(r, server, u"5", std::u16string(300, u'a').c_str());
  EXPECT_EQ(r.sock->State(), wsClosed);
  ASSERT_EQ(r.events.size(), 1u);
  EXPECT_EQ(r.events[0].rfind("error", 0), 0u);
  EXPECT_EQ(server.AcceptedCount(), 0);
}

TEST(Socks, BothProxiesAtOnceAreRefused) {
  Recorder r;
  r.sock->SetHttpTunnelServer(u"127.0.0.1");
  r.sock->SetHttpTunnelPort(u"1");
  r.sock->SetSocksServer(u"127.0.0.1");
  r.sock->SetAddr(u"target.invalid");
  r.sock->SetPort(u"80");
  r.sock->Connect();
  EXPECT_EQ(r.sock->State(), wsClosed);
  EXPECT_EQ(r.Events(), "error 0");
}

}  // namespace
