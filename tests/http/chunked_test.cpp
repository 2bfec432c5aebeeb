// Chunked transfer decoding, whole and split at every byte.
#include <gtest/gtest.h>

#include <string>

#include "http/chunked.h"

namespace {

struct Decoded {
  std::string data;
  bool done = false;
  bool last_chunk = false;
  bool bad = false;
  THttpChunkParser::TResult result = THttpChunkParser::TResult::Ok;
  std::int64_t used = 0;  // bytes consumed in total
};

// Feeds `wire` in pieces cut at the given offsets.
Decoded Decode(const std::string& wire, const std::vector<std::size_t>& cuts = {}) {
  THttpChunkParser p;
  Decoded out;
  std::size_t from = 0;
  auto feed_to = [&](std::size_t to) {
    std::int64_t used = 0;
    auto r = p.Feed(
        wire.data() + from, static_cast<std::int64_t>(to - from),
        [&](const char* d, std::int32_t n) {
          out.data.append(d, static_cast<std::size_t>(n));
          return true;
        },
        used);
    out.used += used;
    if (r != THttpChunkParser::TResult::Ok) {
      out.bad = true;
      out.result = r;
    }
    from = to;
  };
  for (auto c : cuts) {
    if (out.bad || p.Done()) break;
    feed_to(c);
  }
  if (!out.bad && !p.Done()) feed_to(wire.size());
  out.done = p.Done();
  out.last_chunk = p.LastChunkSeen();
  return out;
}

TEST(ChunkParser, DecodesBodies) {
  struct {
    std::string wire;
    std::string data;
    bool done;
  } cases[] = {
      {"4\r\nWiki\r\n0\r\n\r\n", "Wiki", true},
      {"1A;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", "abcdefghijklmnopqrstuvwxyz",
       true},
      {"4\nWiki\n5\npedia\n0\n\n", "Wikipedia", true},
      {"a\r\n0123456789\r\n0;ext\r\nTrailer: x\r\n\r\n", "0123456789", true},
      {"4\r\nWi", "Wi", false},
      {"4\r\nWiki\r\n", "Wiki", false},
      {"0000004\r\nWiki\r\n0\r\n\r\n", "Wiki", true},
      {"4 \t;a=\"b;c\"\r\nWiki\r\n0 ;x\r\n\r\n", "Wiki", true},
      {"4\r\nWiki\r\n0\r\nA: 1\r\nB: 2\nC:\r\n\r\n", "Wiki", true},
      {"4\r\nWiki\r\n0\r\n", "Wiki", false},
      {"4\r\nWiki\r\n0\r\nA: 1\r\n", "Wiki", false},
  };
  for (const auto& c : cases) {
    Decoded d = Decode(c.wire);
    EXPECT_FALSE(d.bad) << c.wire;
    EXPECT_EQ(d.data, c.data) << c.wire;
    EXPECT_EQ(d.done, c.done) << c.wire;
  }
}

TEST(ChunkParser, SameDocumentWhereverTheBytesAreSplit) {
  const std::string wire =
      "4;x=y\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nT: \r\n\r\n\r\n";
  const std::string want = "Wikipedia in\r\n\r\nchunks.";
  for (std::size_t a = 0; a <= wire.size(); ++a) {
    Decoded one = Decode(wire, {a});
    EXPECT_EQ(one.data, want) << "cut at " << a;
    EXPECT_TRUE(one.done) << "cut at " << a;
    for (std::size_t b = a; b <= wire.size(); b += 3) {
      Decoded two = Decode(wire, {a, b});
      EXPECT_EQ(two.data, want) << "cuts at " << a << ", " << b;
      EXPECT_TRUE(two.done);
    }
  }
}

TEST(ChunkParser, StopsAfterTheTrailerSectionLeavingTheRest) {
  THttpChunkParser p;
  const std::string wire = "1\r\nx\r\n0\r\nT: t\r\n\r\nrest";
  std::int64_t used = 0;
  p.Feed(
      wire.data(), static_cast<std::int64_t>(wire.size()),
      [](const char*, std::int32_t) { return true; }, used);
  EXPECT_TRUE(p.Done());
  EXPECT_EQ(used, static_cast<std::int64_t>(wire.size() - 4));
}

TEST(ChunkParser, LastChunkCompletesTheDataBeforeTheTrailerEnds) {
  struct {
    std::string wire;
    bool last_chunk;
    bool done;
  } cases[] = {{"1\r\nx\r\n", false, false},       {"1\r\nx\r\n0", false, false},
               {"1\r\nx\r\n0\r\n", true, false},   {"1\r\nx\r\n0\r\nT: t\r", true, false},
               {"1\r\nx\r\n0\r\n\r", true, false}, {"1\r\nx\r\n0\r\n\r\n", true, true},
               {"1\r\nx\r\n0\n\n", true, true}};
  for (const auto& c : cases) {
    Decoded d = Decode(c.wire);
    EXPECT_FALSE(d.bad) << c.wire;
    EXPECT_EQ(d.last_chunk, c.last_chunk) << c.wire;
    EXPECT_EQ(d.done, c.done) << c.wire;
  }
}

// A body whose framing is broken never decodes to a document: a chunk announced shorter than
// its data, junk on a size line, a CR that is not part of a line end.
TEST(ChunkParser, BrokenFramingIsAnError) {
  using R = THttpChunkParser::TResult;
  struct {
    std::string wire;
    R result;
  } cases[] = {{"4\r\nWikipedia\r\n0\r\n\r\n", R::BadDataEnd},
               {"4\r\nWiki\r\r\n0\r\n\r\n", R::BadDataEnd},
               {"4\r\nWiki0\r\n\r\n", R::BadDataEnd},
               {"4 x\r\nWiki\r\n", R::BadSize},
               {"4\rx\nWiki\r\n", R::BadSize},
               {"4\r\r\nWiki\r\n", R::BadSize},
               {"-4\r\nWiki\r\n", R::BadSize},
               {"0x4\r\nWiki\r\n", R::BadSize}};
  for (const auto& c : cases) {
    for (std::size_t cut = 0; cut <= c.wire.size(); ++cut) {
      Decoded d = Decode(c.wire, {cut});
      EXPECT_TRUE(d.bad) << c.wire << " cut at " << cut;
      EXPECT_EQ(d.result, c.result) << c.wire << " cut at " << cut;
      EXPECT_FALSE(d.last_chunk) << c.wire;
    }
  }
}

TEST(ChunkParser, RejectsSizesBeyond31BitsAndSizeLinesWithoutDigits) {
  struct {
    std::string wire;
    bool bad;
  } cases[] = {{"7fffffff\r\n", false}, {"80000000\r\nxx", true},
               {"100000000\r\n", true}, {"fffffffffffffffff\r\n", true},
               {"\r\n", true},          {"zz\r\n", true},
               {";ext\r\n", true}};
  for (const auto& c : cases)
    EXPECT_EQ(Decode(c.wire).bad, c.bad) << c.wire;
}

TEST(ChunkParser, DataCallbackCanStopTheFeed) {
  THttpChunkParser p;
  const std::string wire = "2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n";
  std::string got;
  std::int64_t used = 0;
  p.Feed(
      wire.data(), static_cast<std::int64_t>(wire.size()),
      [&](const char* d, std::int32_t n) {
        got.append(d, static_cast<std::size_t>(n));
        return false;
      },
      used);
  EXPECT_EQ(got, "ab");
  EXPECT_EQ(used, 5);
}

}  // namespace
