// The content-coding handler: pass-through to the stream, decoder chains, Accept-Encoding.
#include <gtest/gtest.h>

#include <string>

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

TEST(ContCodingsList, AnUnnamedCodingIsRefused) {
  EXPECT_THROW(TContCodingsList::Instance().Register(u"", 1, nullptr, "TMyCoding"),
               EHttpContentCodingException);
}

}  // namespace
