// The proxy layers' protocol pieces alone: the CONNECT answer, the SOCKS messages, addresses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/proxy_protocol.h"
#include "net/wsocket.h"

namespace {

TEST(ProxyAnswer, TheHeaderEndsAtItsEmptyLineAndNotBefore) {
  EXPECT_EQ(proxy::AnswerHeaderEnd("HTTP/1.1 200 OK\r\n\r\nbody"), 19u);
  EXPECT_EQ(proxy::AnswerHeaderEnd("HTTP/1.1 200 OK\n\nbody"), 17u);
  EXPECT_EQ(proxy::AnswerHeaderEnd("HTTP/1.1 200 OK\r\nVia: x\r\n"), 0u);
  EXPECT_EQ(proxy::AnswerHeaderEnd(""), 0u);
}

struct AnswerCase {
  const char* header;
  bool valid;
  int status;
  bool close;
  bool has_length;
  std::uint64_t length;
};

TEST(ProxyAnswer, ParsesStatusLengthAndConnectionRules) {
  const AnswerCase cases[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", true, 200, false, false, 0},
      {"HTTP/1.0 200 Connection established\r\n\r\n", true, 200, true, false, 0},
      {"HTTP/1.0 407 x\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 12\r\n\r\n", true, 407,
       false, true, 12},
      {"HTTP/1.1 407 x\r\nConnection: close\r\n\r\n", true, 407, true, false, 0},
      {"HTTP/1.1 403\r\n\r\n", true, 403, false, false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", true, 200, false, true,
       5},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", false, 0, false, false,
       0},
      {"HTTP/1.1 407 x\r\nContent-Length: -1\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/1.1 407 x\r\nContent-Length: 99999999999999999999\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/2.0 200 OK\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/1.1 099 Low\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/1.1 600 High\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/1.1 20 OK\r\n\r\n", false, 0, false, false, 0},
      {"ICY 200 OK\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/1.1 200 OK\r\n: empty name\r\n\r\n", false, 0, false, false, 0},
      {"HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", false, 0, false, false, 0},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.header);
    proxy::TTunnelAnswer a;
    ASSERT_EQ(proxy::ParseTunnelAnswer(c.header, a), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.close, c.close);
    EXPECT_EQ(a.has_length, c.has_length);
    EXPECT_EQ(a.content_length, c.length);
  }
}

TEST(ProxyAnswer, KeepsEveryChallengeInOrder) {
  proxy::TTunnelAnswer a;
  ASSERT_TRUE(proxy::ParseTunnelAnswer(
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n"
      "proxy-authenticate:   Basic realm=\"x\"  \r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
      a));
  EXPECT_EQ(a.reason, "Proxy Authentication Required");
  EXPECT_EQ(a.proxy_authenticate, (std::vector<std::string>{"NTLM", "Basic realm=\"x\""}));
  EXPECT_TRUE(a.chunked);
}

TEST(ProxyTarget, AuthorityAndLineSafety) {
  EXPECT_EQ(proxy::TunnelAuthority("host.invalid", "443"), "host.invalid:443");
  EXPECT_EQ(proxy::TunnelAuthority("::1", "443"), "[::1]:443");
  EXPECT_EQ(proxy::TunnelAuthority("[::1]", "443"), "[::1]:443");
  EXPECT_TRUE(proxy::SafeRequestToken("a.b-c_d"));
  for (const char* bad : {"", "a b", "a\r\nb", "a\tb", "\x7f", "\xe9"})
    EXPECT_FALSE(proxy::SafeRequestToken(bad)) << bad;
  EXPECT_EQ(proxy::ParsePortNumber("443"), 443);
  for (const char* bad : {"", "0", "65536", "+1", "1a", "123456"})
    EXPECT_EQ(proxy::ParsePortNumber(bad), 0) << bad;
}

TEST(ProxyAddress, IPv4AndIPv6Literals) {
  std::uint8_t a4[4];
  ASSERT_TRUE(proxy::ParseIPv4Literal("10.0.255.1", a4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a4), 4), std::string("\x0a\x00\xff\x01", 4));
  for (const char* bad : {"10.0.0", "10.0.0.256", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4 "})
    EXPECT_FALSE(proxy::ParseIPv4Literal(bad, a4)) << bad;

  struct V6 {
    const char* text;
    const char* hex;  // 32 hex digits, empty when invalid
  };
  const V6 cases[] = {
      {"::1", "00000000000000000000000000000001"},
      {"[::1]", "00000000000000000000000000000001"},
      {"::", "00000000000000000000000000000000"},
      {"2001:db8::7", "20010db8000000000000000000000007"},
      {"fe80::", "fe800000000000000000000000000000"},
      {"1:2:3:4:5:6:7:8", "00010002000300040005000600070008"},
      {"::ffff:10.1.2.3", "00000000000000000000ffff0a010203"},
      {"1:2:3:4:5:6:7:8:9", ""},
      {"1::2::3", ""},
      {"12345::1", ""},
      {"1:2", ""},
      {":1::", ""},
      {"1:", ""},
      {"g::1", ""},
      {"host.invalid", ""},
  };
  for (const V6& c : cases) {
    SCOPED_TRACE(c.text);
    std::uint8_t a6[16];
    const bool ok = proxy::ParseIPv6Literal(c.text, a6);
    if (std::strlen(c.hex) == 0) {
      EXPECT_FALSE(ok);
      continue;
    }
    ASSERT_TRUE(ok);
    std::string hex;
    for (std::uint8_t b : a6) {
      static const char kDigits[] = "0123456789abcdef";
      hex += kDigits[b >> 4];
      hex += kDigits[b & 15];
    }
    EXPECT_EQ(hex, c.hex);
  }
}

TEST(SocksMessages, RequestsAreBuiltAndBounded) {
  std::string out;
  EXPECT_EQ(proxy::Socks5Greeting(false), std::string("\x05\x01\x00", 3));
  EXPECT_EQ(proxy::Socks5Greeting(true), std::string("\x05\x02\x00\x02", 4));
  ASSERT_TRUE(proxy::Socks5PasswordRequest("u", "", out));
  EXPECT_EQ(out, std::string("\x01\x01u\x00", 4));
  EXPECT_FALSE(proxy::Socks5PasswordRequest("", "p", out));
  EXPECT_FALSE(proxy::Socks5PasswordRequest(std::string(256, 'u'), "p", out));
  EXPECT_FALSE(proxy::Socks5PasswordRequest("u", std::string(256, 'p'), out));
  EXPECT_TRUE(proxy::Socks5ConnectRequest(std::string(255, 'h'), 1, out));
  EXPECT_EQ(out.size(), 4u + 1 + 255 + 2);
  EXPECT_FALSE(proxy::Socks5ConnectRequest(std::string(256, 'h'), 1, out));
  EXPECT_FALSE(proxy::Socks5ConnectRequest("", 1, out));
  EXPECT_FALSE(proxy::Socks4AConnectRequest(std::string("a\0b", 3), 1, "", out));
  EXPECT_FALSE(proxy::Socks4AConnectRequest("host", 1, std::string(256, 'u'), out));
  ASSERT_TRUE(proxy::Socks4AConnectRequest("10.0.0.1", 80, "", out));
  EXPECT_EQ(out, std::string("\x04\x01\x00\x50\x0a\x00\x00\x01\x00", 9));
}

TEST(SocksMessages, ReplyLengthsAndCodes) {
  EXPECT_EQ(proxy::Socks5ReplyLength(std::string("\x05\x00\x00\x01", 4)), 0);
  EXPECT_EQ(proxy::Socks5ReplyLength(std::string("\x05\x00\x00\x01\x7f", 5)), 10);
  EXPECT_EQ(proxy::Socks5ReplyLength(std::string("\x05\x00\x00\x04\x00", 5)), 22);
  EXPECT_EQ(proxy::Socks5ReplyLength(std::string("\x05\x00\x00\x03\xff", 5)), 4 + 1 + 255 + 2);
  EXPECT_EQ(proxy::Socks5ReplyLength(std::string("\x05\x00\x00\x02\x00", 5)), -1);
  const int expected[] = {0, 20003, 20004, 20005, 20006, 20007, 20008, 20009, 20010, 20011};
  for (int rep = 0; rep <= 9; ++rep)
    EXPECT_EQ(proxy::Socks5ReplyError(static_cast<std::uint8_t>(rep)), expected[rep]) << rep;
  EXPECT_EQ(proxy::Socks4ReplyError(0, 90), 0);
  EXPECT_EQ(proxy::Socks4ReplyError(0, 91), 20015);
  EXPECT_EQ(proxy::Socks4ReplyError(0, 93), 20016);
  EXPECT_EQ(proxy::Socks4ReplyError(4, 90), 20001);
  EXPECT_EQ(proxy::Socks4ReplyError(0, 7), 20000);
}

TEST(ProxyErrors, EveryCodeHasItsText) {
  for (int code = 20000; code <= 20017; ++code) {
    const std::string t = text::ToUtf8(DescribeSocketError(code));
    EXPECT_EQ(t.rfind("SOCKS - ", 0), 0u) << code << ": " << t;
  }
  for (int code : {21000, 21001, 21002, 21003, 21004, 21100, 21403, 21407, 21502, 21599}) {
    const std::string t = text::ToUtf8(DescribeSocketError(code));
    EXPECT_EQ(t.rfind("HTTP Proxy - ", 0), 0u) << code << ": " << t;
  }
  EXPECT_EQ(text::ToUtf8(DescribeSocketError(21407)),
            "HTTP Proxy - Proxy authentication required (status 407)");
  EXPECT_EQ(text::ToUtf8(DescribeSocketError(20018)), "Not a Winsocket error");
  EXPECT_EQ(text::ToUtf8(DescribeSocketError(21005)), "Not a Winsocket error");
  EXPECT_EQ(text::ToUtf8(DescribeSocketError(21600)), "Not a Winsocket error");
}

}  // namespace
