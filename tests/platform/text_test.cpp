// The shared text helpers.
#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

TEST(Text, AnsiCodePageRoundTripsWindows1252) {
  String s = u"Caf\u00e9 \u20ac5 \u2014 na\u00efve";
  AnsiString a = text::UnicodeToAnsi(s);
  EXPECT_EQ(a,
            "Caf\xe9 \x80"
            "5 \x97 na\xefve");
  EXPECT_EQ(text::AnsiToUnicode(a), s);
}

TEST(Text, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(text::UnicodeToAnsi(u"\u4e2d!", text::kCodePageWindows1252), "?!");
}

TEST(Text, WideningMapsEachByteToOneCharacter) {
  String w =
      text::WidenBytes(std::string("\x80\xff"
                                   "A",
                                   3));
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0], 0x80);
  EXPECT_EQ(w[1], 0xFF);
  EXPECT_EQ(w[2], u'A');
}

TEST(Text, Utf8RoundTripAndRepair) {
  String s = u"\u00e9\u20ac\U0001F600x";
  EXPECT_EQ(text::FromUtf8(text::ToUtf8(s)), s);
  // A cut sequence and a stray continuation byte become U+FFFD, the rest is kept.
  EXPECT_EQ(text::FromUtf8("a\xe2\x82"), u"a\uFFFD\uFFFD");
  EXPECT_EQ(text::FromUtf8("\x80z"), u"\uFFFDz");
}

TEST(Text, TrimRemovesBytesBelow33AtBothEnds) {
  EXPECT_EQ(text::Trim(" \t\r\n 12 34\x01\x1f "), "12 34");
  EXPECT_EQ(text::Trim("\x05\x06"), "");
  EXPECT_EQ(text::Trim("x"), "x");
  EXPECT_EQ(text::Trim(std::u16string_view(u"\t 80 \r\n")), u"80");
  EXPECT_EQ(text::Trim(std::u16string_view(u" \u00a0x\u00a0 ")), u"\u00a0x\u00a0");
}

TEST(Text, LowerAsciiChangesOnlyAtoZ) {
  EXPECT_EQ(text::LowerAscii(std::string_view("Content-LENGTH \xC9")), "content-length \xC9");
  EXPECT_EQ(text::LowerAscii(std::u16string_view(u"HTTP \u00C9")), u"http \u00C9");
}

TEST(Text, DecimalReader) {
  struct Case {
    const char* in;
    std::int64_t value;
    std::size_t stop;
  } cases[] = {
      {"  200 OK", 200, 5},
      {"-5", 0, 0},
      {"", 0, 0},
      {"12abc", 12, 2},
      {"99999999999999999999999", INT64_MAX, 23},
  };
  for (const auto& c : cases) {
    std::size_t pos = 0;
    EXPECT_EQ(text::ReadDecimal(std::string_view(c.in), pos), c.value) << c.in;
    EXPECT_EQ(pos, c.stop) << c.in;
  }
}

TEST(Text, HexDigits) {
  for (char16_t c : std::u16string(u"0123456789abcdefABCDEF"))
    EXPECT_TRUE(text::IsHexDigit(c));
  for (char16_t c : std::u16string(u"gG -x"))
    EXPECT_FALSE(text::IsHexDigit(c));
  EXPECT_EQ(text::HexValue(u'0'), 0);
  EXPECT_EQ(text::HexValue(u'a'), 10);
  EXPECT_EQ(text::HexValue(u'F'), 15);
  EXPECT_EQ(text::IntToStr(-42), u"-42");
}

}  // namespace
