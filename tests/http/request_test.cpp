// Request header lines and their bytes.
#include <gtest/gtest.h>

#include "http/request.h"

namespace {

AnsiString Bytes(const std::vector<String>& lines) {
  AnsiString out;
  for (const auto& l : lines)
    AppendRequestLine(out, l);
  AppendRequestLine(out, String());
  return out;
}

// The installer's form settings.
THttpRequestHeader InstallerGet(const String& host) {
  THttpRequestHeader h;
  h.Method = u"GET";
  h.Target = u"/download.php";
  h.Version = u"1.0";
  h.Accept = u"image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  h.Agent = u"Mozilla/4.0 (compatible; Vexlor)";
  h.TargetHost = host;
  h.TargetPort = u"80";
  return h;
}

TEST(RequestLines, InstallerDownloadByteForByte) {
  EXPECT_EQ(Bytes(BuildRequestLines(InstallerGet(u"dl.norvane.invalid"))),
            "GET /download.php HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "User-Agent: Mozilla/4.0 (compatible; Vexlor)\r\n"
            "Host: dl.norvane.invalid\r\n"
            "\r\n");
}

TEST(RequestLines, EveryOptionalLineInItsPlace) {
  THttpRequestHeader h;
  h.Method = u"POST";
  h.Target = u"/form";
  h.Version = u"1.1";
  h.Sender = u"me@example.invalid";
  h.Accept = u"*/*";
  h.Reference = u"http://ref.invalid/";
  h.Connection = u"keep-alive";
  h.AcceptLanguage = u"de";
  h.AcceptEncoding = u"gzip";
  h.ContentType = u"application/x-www-form-urlencoded";
  h.Agent = u"A";
  h.TargetHost = u"h";
  h.TargetPort = u"8080";
  h.NoCache = true;
  h.ProxyConnection = u"close";
  h.ContentLength = 12;
  h.ModifiedSince = 34653 + (8 * 3600 + 12 * 60 + 31) / 86400.0;
  h.Authorization = u"Authorization: Basic am9lOnB3";
  h.ProxyAuthorization = u"Proxy-Authorization: Basic eDp5";
  h.Cookie = u"a=b";
  h.RangeBegin = u"100";
  EXPECT_EQ(Bytes(BuildRequestLines(h)),
            "POST /form HTTP/1.1\r\n"
            "From: me@example.invalid\r\n"
            "Accept: */*\r\n"
            "Referer: http://ref.invalid/\r\n"
            "Connection: keep-alive\r\n"
            "Accept-Language: de\r\n"
            "Accept-Encoding: gzip\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "User-Agent: A\r\n"
            "Host: h:8080\r\n"
            "Pragma: no-cache\r\n"
            "Proxy-Connection: close\r\n"
            "Content-Length: 12\r\n"
            "If-Modified-Since: Tue, 15 Nov 1994 08:12:31 GMT\r\n"
            "Authorization: Basic am9lOnB3\r\n"
            "Proxy-Authorization: Basic eDp5\r\n"
            "Cookie: a=b\r\n"
            "Range: bytes=100-\r\n"
            "\r\n");
}

// If-Range goes with a range only, after it.
TEST(RequestLines, IfRangeOnlyWithARange) {
  struct {
    const char16_t* begin;
    const char16_t* if_range;
    const char* tail;
  } cases[] = {
      {u"100", u"\"v1\"", "Range: bytes=100-\r\nIf-Range: \"v1\"\r\n\r\n"},
      {u"100", u"", "Range: bytes=100-\r\n\r\n"},
      {u"", u"\"v1\"", "Host: h\r\n\r\n"},
  };
  for (const auto& c : cases) {
    THttpRequestHeader h = InstallerGet(u"h");
    h.RangeBegin = c.begin;
    h.IfRange = c.if_range;
    const AnsiString bytes = Bytes(BuildRequestLines(h));
    const std::string tail = c.tail;
    EXPECT_EQ(bytes.substr(bytes.size() - std::min(bytes.size(), tail.size())), tail) << bytes;
  }
}

TEST(RequestLines, MethodDecidesBodyAndEncodingLines) {
  struct {
    const char16_t* method;
    bool has_content_type;
    bool has_encoding;
  } cases[] = {{u"GET", false, true},
               {u"HEAD", false, false},
               {u"DELETE", false, true},
               {u"PUT", true, true},
               {u"POST", true, true}};
  for (const auto& c : cases) {
    THttpRequestHeader h = InstallerGet(u"h");
    h.Method = c.method;
    h.ContentType = u"t/x";
    h.AcceptEncoding = u"gzip";
    h.ContentLength = 5;
    AnsiString bytes = Bytes(BuildRequestLines(h));
    EXPECT_EQ(bytes.find("Content-Type: t/x") != AnsiString::npos, c.has_content_type) << bytes;
    EXPECT_EQ(bytes.find("Content-Length: 5") != AnsiString::npos, c.has_content_type) << bytes;
    EXPECT_EQ(bytes.find("Accept-Encoding: gzip") != AnsiString::npos, c.has_encoding) << bytes;
  }
}

TEST(RequestLines, ConnectNamesTheTargetAndAnEmptyBody) {
  THttpRequestHeader h = InstallerGet(u"secure.invalid");
  h.Method = u"CONNECT";
  h.TargetPort = u"443";
  EXPECT_EQ(Bytes(BuildRequestLines(h)),
            "CONNECT secure.invalid:443 HTTP/1.0\r\n"
            "User-Agent: Mozilla/4.0 (compatible; Vexlor)\r\n"
            "Host: secure.invalid\r\n"
            "Content-Length: 0\r\n"
            "\r\n");
}

TEST(RequestLines, HostCarriesThePortUnless80Or443) {
  EXPECT_EQ(HostLine(u"h", u"8080"), u"Host: h:8080");
  EXPECT_EQ(HostLine(u"h", u"80"), u"Host: h");
  EXPECT_EQ(HostLine(u"h", u"443"), u"Host: h");
  EXPECT_EQ(HostLine(u"h", u""), u"Host: h");
  EXPECT_EQ(HostLine(u"::1", u"8080"), u"Host: [::1]:8080");
  EXPECT_EQ(HostLine(u"fe80::1", u"80"), u"Host: [fe80::1]");
  EXPECT_EQ(UrlHost(u"[::1]"), u"[::1]");
}

// Nothing taken from a URL or a Location can end the request line or start a header of its own.
TEST(RequestTarget, FragmentDroppedControlsAndBlanksEncoded) {
  using namespace std::string_literals;
  struct {
    String target;
    String sent;
  } cases[] = {{u"/download.php"s, u"/download.php"s},
               {u"/a?b=c#frag"s, u"/a?b=c"s},
               {u"/#"s, u"/"s},
               {u"/my file.exe"s, u"/my%20file.exe"s},
               {u"/a\r\nX-Injected: 1"s, u"/a%0D%0AX-Injected:%201"s},
               {u"/nul\0\x01\x1f\x7f"s, u"/nul%00%01%1F%7F"s},
               {u"/tab\t"s, u"/tab%09"s},
               {u"/100%25/%E9"s, u"/100%25/%E9"s},
               {u"/caf\u00e9"s, u"/caf\u00e9"s}};
  for (const auto& c : cases)
    EXPECT_EQ(EncodeRequestTarget(c.target), c.sent);
}

TEST(RequestSafety, HostsPortsAndHeaderValues) {
  using namespace std::string_literals;
  struct {
    String text;
    bool host, port, value;  // fit as a host, as a port, as a header value
  } cases[] = {{u"example.invalid"s, true, false, true},
               {u"8080"s, true, true, true},
               {u""s, true, true, true},
               {u"::1"s, true, false, true},
               {u"a b"s, false, false, true},
               {u"a\tb"s, false, false, true},
               {u"h\r\nX: y"s, false, false, false},
               {u"h\0"s, false, false, false},
               {u"h\x7f"s, false, false, false},
               {u"80x"s, true, false, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeHost(c.text), c.host) << text::ToUtf8(c.text);
    EXPECT_EQ(IsSafePort(c.text), c.port) << text::ToUtf8(c.text);
    EXPECT_EQ(!HasControlCharacter(c.text), c.value) << text::ToUtf8(c.text);
  }
}

TEST(RequestLines, EmptyAgentDropsTheLineHostStays) {
  THttpRequestHeader h = InstallerGet(u"h");
  h.Agent.clear();
  h.Accept.clear();
  EXPECT_EQ(Bytes(BuildRequestLines(h)), "GET /download.php HTTP/1.0\r\nHost: h\r\n\r\n");
}

TEST(RequestLines, CharactersOutsideTheCodePageBecomeTheDefaultCharacter) {
  AnsiString out;
  AppendRequestLine(out, u"X-Name: \u00e9\u4e2d");
  EXPECT_EQ(out, "X-Name: \xe9?\r\n");
}

TEST(FormatHttpDate, FormatsDayMonthYearAndTime) {
  struct {
    double value;
    const char16_t* text;
  } cases[] = {
      {34653 + (8 * 3600 + 12 * 60 + 31) / 86400.0, u"Tue, 15 Nov 1994 08:12:31"},
      {45351, u"Thu, 29 Feb 2024 00:00:00"},
      {2, u"Mon, 01 Jan 1900 00:00:00"},
      {36525 + 0.999988425925926, u"Fri, 31 Dec 1999 23:59:59"},
      // Before the epoch day the fraction is still the time of day.
      {-1.25, u"Fri, 29 Dec 1899 06:00:00"},
      {-36463, u"Sat, 01 Mar 1800 00:00:00"},
      // Years outside four digits: more digits, or a sign before four.
      {2958466, u"Sat, 01 Jan 10000 00:00:00"},
      {1e8 + 0.5, u"Mon, 11 Sep 275690 12:00:00"},
      {-693594.75, u"Sun, 31 Dec 0000 18:00:00"},
      {-700000.5, u"Sat, 18 Jun -0017 12:00:00"},
      {-1e8, u"Thu, 18 Apr -271891 00:00:00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatHttpDate(c.value), c.text) << c.value;
}

}  // namespace
