// Status lines and header fields.
#include <gtest/gtest.h>

#include <vector>

#include "http/header.h"

namespace {

struct StatusCase {
  const char16_t* line;
  bool valid;
  int code;
  const char16_t* reason;
  const char16_t* ver;
};

TEST(ParseStatusLine, ReadsCodeAndReason) {
  const StatusCase cases[] = {
      {u"HTTP/1.1 200 OK", true, 200, u"OK", u"1.1"},
      {u"HTTP/1.1 200", true, 200, u"", u"1.1"},
      {u"HTTP/1.0  404  Not Found", true, 404, u" Not Found", u"1.0"},
      {u"HTTP/1.0 302 Found", true, 302, u"Found", u"1.0"},
      {u"HTTP/1.1 100 Continue", true, 100, u"Continue", u"1.1"},
      {u"HTTP/1.1 OK", false, 0, u"", u"1.1"},
      {u"HTTP/1.0", false, 0, u"", u"1.0"},
      {u"HTTP/1.0 20 OK", false, 0, u"K", u"1.0"},
  };
  for (const auto& c : cases) {
    auto st = ParseStatusLine(c.line);
    ASSERT_TRUE(st) << ::testing::PrintToString(String(c.line));
    EXPECT_EQ(st->CodeValid, c.valid) << ::testing::PrintToString(String(c.line));
    EXPECT_EQ(st->StatusCode, c.code);
    EXPECT_EQ(st->ReasonPhrase, c.reason);
    EXPECT_EQ(st->ResponseVer, c.ver);
  }
}

TEST(ParseStatusLine, OnlyHttp10And11AreStatusLines) {
  for (const char16_t* line : {u"HTTP/2 200 OK", u"http/1.1 200 OK", u"ICY 200 OK", u""})
    EXPECT_FALSE(ParseStatusLine(line)) << ::testing::PrintToString(String(line));
}

TEST(CloseRequiredFor, DependsOnBothVersions) {
  EXPECT_TRUE(CloseRequiredFor(u"1.0", u"1.1"));
  EXPECT_TRUE(CloseRequiredFor(u"1.0", u"1.0"));
  EXPECT_TRUE(CloseRequiredFor(u"1.1", u"1.0"));
  EXPECT_FALSE(CloseRequiredFor(u"1.1", u"1.1"));
}

TEST(ParseHeaderField, NameLowerCasedValueWithoutLeadingBlanks) {
  struct {
    const char16_t* line;
    const char16_t* name;
    const char16_t* value;
  } cases[] = {{u"Content-Length: 12345", u"content-length", u"12345"},
               {u"Content-Length : 1", u"content-length ", u"1"},
               {u"X:   v  ", u"x", u"v  "},
               {u"Location:", u"location", u""},
               {u"A: b: c", u"a", u"b: c"},
               {u"X:\tv", u"x", u"\tv"}};
  for (const auto& c : cases) {
    auto f = ParseHeaderField(c.line);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Name, c.name);
    EXPECT_EQ(f->Value, c.value);
  }
  EXPECT_FALSE(ParseHeaderField(u"no colon here"));
}

TEST(ParseContentLength, DecimalOrMinusOne) {
  struct {
    const char16_t* value;
    std::int64_t n;
  } cases[] = {{u"12345", 12345},
               {u" 7 ", 7},
               {u"\t7\t", 7},
               {u"007", 7},
               {u"abc", -1},
               {u"", -1},
               {u" ", -1},
               {u"-5", -1},
               {u"+5", -1},
               {u"12a", -1},
               {u"1 2", -1},
               {u"0x10", -1},
               {u"9223372036854775807", INT64_MAX},
               {u"9223372036854775808", -1},
               {u"5368709120", 5368709120LL},
               {u"5, 5", 5},
               {u"5,5,\t5", 5},
               {u"5, 6", -1},
               {u"5, x", -1},
               {u",", -1}};
  for (const auto& c : cases)
    EXPECT_EQ(ParseContentLength(c.value), c.n) << ::testing::PrintToString(String(c.value));
}

TEST(TransferCodings, ListOfLowerCasedNamesWithoutIdentity) {
  struct {
    const char16_t* value;
    std::vector<String> codings;
  } cases[] = {{u"chunked", {u"chunked"}},
               {u" \tChunKed\t ", {u"chunked"}},
               {u"gzip, chunked", {u"gzip", u"chunked"}},
               {u"gzip,chunked", {u"gzip", u"chunked"}},
               {u"identity, chunked", {u"chunked"}},
               {u"identity", {}},
               {u"", {}},
               {u" , ,chunked,", {u"chunked"}},
               {u"x-custom;q=1 , chunked", {u"x-custom", u"chunked"}},
               {u"chunked, gzip", {u"chunked", u"gzip"}}};
  for (const auto& c : cases)
    EXPECT_EQ(TransferCodings(c.value), c.codings) << ::testing::PrintToString(String(c.value));
}

TEST(ParseContentRange, FirstAndLastPosition) {
  String b, e;
  ParseContentRange(u"bytes 100-199/1000", b, e);
  EXPECT_EQ(b, u"100");
  EXPECT_EQ(e, u"199");
  ParseContentRange(u"bytes 5-/10", b, e);
  EXPECT_EQ(b, u"5");
  EXPECT_EQ(e, u"");
  ParseContentRange(u"garbage", b, e);
  EXPECT_EQ(b, u"");
  EXPECT_EQ(e, u"");
}

}  // namespace
