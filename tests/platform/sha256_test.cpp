// SHA-256 against the FIPS 180-4 examples (NIST's published vectors), and the same digests when
// the input comes in pieces of odd sizes.
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/stream.h"

namespace {

std::string Hex(const plat::TSha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

struct Sha256Case {
  std::string input;
  const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<Sha256Case> {};

TEST_P(Sha256Vectors, MatchesNistExamples) {
  EXPECT_EQ(Hex(plat::Sha256(GetParam().input)), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Vectors,
    ::testing::Values(
        Sha256Case{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Sha256Case{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Two blocks: the padding starts a block of its own.
        Sha256Case{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Sha256Case{
            "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
            "klmnopqrlmnopqrsmnopqrstnopqrstu",
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        Sha256Case{std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

// A million "a" given in pieces of 1, 3, 7, 63, 64, 65, 127 and 4099 bytes in turn: every way a
// piece can meet the block boundary.
TEST(Sha256, LongInputInOddPieces) {
  const std::string data(1000000, 'a');
  const std::size_t pieces[] = {1, 3, 7, 63, 64, 65, 127, 4099};
  plat::TSha256 sha;
  std::size_t at = 0;
  for (int i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(pieces[i % 8], data.size() - at);
    sha.Update(data.data() + at, n);
    at += n;
  }
  EXPECT_EQ(sha.Length(), data.size());
  EXPECT_EQ(Hex(sha.Final()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the padding's edges (55, 56, 63, 64 bytes and more), whole and split at every
// place, agree; Reset starts a new message.
TEST(Sha256, SplitsAndResetAgree) {
  for (std::size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u}) {
    std::string data;
    for (std::size_t i = 0; i < len; ++i)
      data.push_back(static_cast<char>(i * 37 + 11));
    const plat::TSha256Digest whole = plat::Sha256(data);
    plat::TSha256 sha;
    for (std::size_t split = 0; split <= len; ++split) {
      sha.Reset();
      sha.Update("something else", 14);
      sha.Reset();
      sha.Update(data.data(), split);
      sha.Update(data.data() + split, len - split);
      EXPECT_EQ(sha.Final(), whole) << "length " << len << ", split at " << split;
    }
  }
}

// A stream read back in blocks: a range across the block size, the rest to its end, and a range
// that runs past the end, which is reported; the position stays where it was.
TEST(Sha256, HashStreamReadsTheRangeBack) {
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 131 + i / 7);
  TMemoryStream stream;
  stream.Write(data.data(), static_cast<std::int32_t>(data.size()));
  struct Range {
    std::int64_t from, to;
    bool whole;
  } ranges[] = {{0, 200000, true}, {5, 70000, true}, {65536, -1, true}, {100, 200001, false}};
  for (const Range& r : ranges) {
    stream.SetPosition(1234);
    plat::TSha256 sha;
    EXPECT_EQ(plat::HashStream(stream, r.from, r.to, sha), r.whole) << r.from << "-" << r.to;
    const std::size_t end = r.to < 0 || !r.whole ? data.size() : static_cast<std::size_t>(r.to);
    const std::string want = data.substr(static_cast<std::size_t>(r.from), end - r.from);
    EXPECT_EQ(sha.Final(), plat::Sha256(want)) << r.from << "-" << r.to;
    EXPECT_EQ(stream.Position(), 1234);
  }
}

}  // namespace
