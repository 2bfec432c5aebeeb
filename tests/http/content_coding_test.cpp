// The content-coding handler: pass-through to the stream, decoder chains, Accept-Encoding.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "http/content_coding.h"

namespace {

// A stream that takes at most `limit` bytes in all, then writes short.
class LimitedStream : public TMemoryStream {
 public:
  explicit LimitedStream(std::int64_t limit) : limit_(limit) {}
  std::int32_t Write(const void* b, std::int32_t n) override {
    auto room = static_cast<std::int32_t>(std::max<std::int64_t>(0, limit_ - Size()));
    return TMemoryStream::Write(b, std::min(n, room));
  }

 private:
  std::int64_t limit_;
};

struct HandlerFixture : ::testing::Test {
  TStream* stream = nullptr;
  std::string reported;
  THttpContCodHandler handler{&stream, [this](const void* b, std::int32_t n) {
                                reported.append(static_cast<const char*>(b),
                                                static_cast<std::size_t>(n));
                              }};
};

TEST_F(HandlerFixture, WritesToTheCurrentStreamThenReports) {
  TMemoryStream first, second;
  stream = &first;
  handler.Prepare(u"");
  handler.WriteBuffer("abc", 3);
  stream = &second;
  handler.WriteBuffer("de", 2);
  stream = nullptr;
  handler.WriteBuffer("f", 1);
  EXPECT_EQ(first.View(), "abc");
  EXPECT_EQ(second.View(), "de");
  EXPECT_EQ(reported, "abcdef");
}

TEST_F(HandlerFixture, ShortWriteRaisesAndReportsNothing) {
  LimitedStream full(4);
  stream = &full;
  handler.WriteBuffer("abc", 3);
  EXPECT_THROW(handler.WriteBuffer("def", 3), EStreamError);
  EXPECT_EQ(reported, "abc");
}

TEST_F(HandlerFixture, RegisteredCodingsChainOnlyWhenEnabled) {
  TMemoryStream out;
  stream = &out;
  handler.Prepare(u"identity");
  EXPECT_EQ(handler.ActiveDecoders(), 0);
  handler.SetEnabled(true);
  handler.Prepare(u"Identity, *");
  EXPECT_EQ(handler.ActiveDecoders(), 2);
  handler.WriteBuffer("xyz", 3);
  handler.Complete();
  EXPECT_EQ(out.View(), "xyz");
  EXPECT_EQ(reported, "xyz");
  handler.Prepare(u"identity, br");  // unknown coding: plain pass-through
  EXPECT_EQ(handler.ActiveDecoders(), 0);
}

TEST_F(HandlerFixture, AcceptEncodingText) {
  EXPECT_EQ(handler.HeaderText(), u"");  // not enabled
  handler.SetEnabled(true);
  EXPECT_EQ(handler.HeaderText(), u"");  // identity and * have quality 0
  handler.SetUseQuality(true);
  EXPECT_EQ(handler.HeaderText(), u"identity;q=0, *;q=0");
  handler.SetItemQuality(0, 0.5f);
  handler.SetItemQuality(1, 0.125f);
  EXPECT_EQ(handler.HeaderText(), u"identity;q=0.5, *;q=0.125");
  handler.SetItemEnabled(1, false);
  EXPECT_EQ(handler.HeaderText(), u"identity");
  handler.SetUseQuality(false);
  handler.SetItemEnabled(1, true);
  EXPECT_EQ(handler.HeaderText(), u"identity, *");
}

TEST(FormatQuality, UpToThreeDecimals) {
  EXPECT_EQ(FormatQuality(0), u"0");
  EXPECT_EQ(FormatQuality(1), u"1");
  EXPECT_EQ(FormatQuality(0.5f), u"0.5");
  EXPECT_EQ(FormatQuality(0.3333f), u"0.333");
}

// The digits are printf's "%.3f" of the value (rounded to three decimals, ties to even,
// exact for every float), with the trailing zeros and a lone point taken off.
TEST(FormatQuality, WritesTheDigitsOfPrintfsThreeDecimals) {
  auto printf_digits = [](float q) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(q));
    std::string s = buf;
    while (!s.empty() && s.back() == '0')
      s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return std::u16string(s.begin(), s.end());
  };
  std::vector<float> values = {0.0005f,
                               0.0015f,
                               0.0625f,
                               0.1875f,
                               0.9995f,
                               0.99951f,
                               -0.0001f,
                               -0.0f,
                               -2.5f,
                               16777217.0f,
                               1e10f,
                               9.0071993e12f,
                               1e20f,
                               -3.4028235e38f,
                               3.4028235e38f,
                               1e-30f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity()};
  for (int i = -2000; i <= 2000; ++i)
    values.push_back(static_cast<float>(i) / 1000.0f + 0.0005f);
  for (float q = 1e-6f; q < 1e30f; q *= 1.37f)
    values.push_back(q);
  for (float q : values)
    EXPECT_EQ(FormatQuality(q), printf_digits(q)) << q;
  EXPECT_EQ(FormatQuality(0.0625f), u"0.062");
  EXPECT_EQ(FormatQuality(1e20f), u"100000002004087734272");
  EXPECT_EQ(FormatQuality(-std::numeric_limits<float>::infinity()), u"-inf");
  EXPECT_EQ(FormatQuality(std::numeric_limits<float>::quiet_NaN()), u"nan");
}

TEST(ContCodingsList, AnUnnamedCodingIsRefused) {
  EXPECT_THROW(TContCodingsList::Instance().Register(u"", 1, nullptr, "TMyCoding"),
               EHttpContentCodingException);
}

}  // namespace
