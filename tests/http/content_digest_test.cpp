// The sha-256 entry of a digest field: the dictionary grammar decides between a usable digest,
// no sha-256 at all, and a field that cannot be read.
#include "http/content_digest.h"

#include <gtest/gtest.h>

namespace {

using http_digest::TDigestField;

// sha-256 of "hello".
const char16_t kHello[] = u"LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=";

String Hello() {
  return kHello;
}

TEST(ContentDigest, ReadsTheSha256EntryAndOnlyIt) {
  struct {
    String value;
    TDigestField result;
  } cases[] = {
      {u"sha-256=:" + Hello() + u":", TDigestField::dfSha256},
      {u"  sha-256=:" + Hello() + u":  ", TDigestField::dfSha256},
      // Padding may be left out.
      {u"sha-256=:LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ:", TDigestField::dfSha256},
      // Other algorithms, parameters, inner lists and every kind of item are read and ignored.
      {u"sha-512=:AAAA:, sha-256=:" + Hello() + u":;x=1;y=?0", TDigestField::dfSha256},
      {u"md5=(1 2.5 \"a\\\"b\" tok/en:x ?1);p=*q, sha-256=:" + Hello() + u":",
       TDigestField::dfSha256},
      {u"unixsum=30637,\tsha-256=:" + Hello() + u":", TDigestField::dfSha256},
      {u"sha-512=:AAAA:", TDigestField::dfNoSha256},
      {u"id-sha-256=:" + Hello() + u":", TDigestField::dfNoSha256},
      {u"", TDigestField::dfAbsent},
      {u"   ", TDigestField::dfAbsent},
      // Not a dictionary: never taken for "no digest".
      {u"sha-256=" + Hello(), TDigestField::dfMalformed},            // no byte sequence marks
      {u"SHA-256=:" + Hello() + u":", TDigestField::dfMalformed},    // keys are lower case
      {u"sha-256=:" + Hello(), TDigestField::dfMalformed},           // no closing ":"
      {u"sha-256=:" + Hello() + u":,", TDigestField::dfMalformed},   // trailing comma
      {u"sha-256=:" + Hello() + u": x", TDigestField::dfMalformed},  // no comma
      {u"sha-512=:A*A:, sha-256=:" + Hello() + u":", TDigestField::dfMalformed},
      {u"md5=\"open, sha-256=:" + Hello() + u":", TDigestField::dfMalformed},
      {u"md5=1.2345, sha-256=:" + Hello() + u":", TDigestField::dfMalformed},
      {u"md5=?2, sha-256=:" + Hello() + u":", TDigestField::dfMalformed},
      {u"=:" + Hello() + u":", TDigestField::dfMalformed},
      {u"sha-256=:\u00e9" + Hello() + u":", TDigestField::dfMalformed},
      // A sha-256 entry that is no 32-byte byte sequence.
      {u"sha-256=:AAAA:", TDigestField::dfMalformed},
      {u"sha-256=\"" + Hello() + u"\"", TDigestField::dfMalformed},
      {u"sha-256", TDigestField::dfMalformed},
      {u"sha-256=:" + Hello() + u"AA:", TDigestField::dfMalformed},
      {u"sha-256=:" + Hello().substr(0, 43) + u"=A:", TDigestField::dfMalformed},
  };
  for (const auto& c : cases) {
    plat::TSha256Digest digest{};
    EXPECT_EQ(http_digest::ParseSha256Digest(c.value, digest), c.result) << text::ToUtf8(c.value);
    if (c.result == TDigestField::dfSha256) {
      EXPECT_EQ(digest, plat::Sha256("hello")) << text::ToUtf8(c.value);
    }
  }
}

// A key given twice counts with its last value, as in every dictionary.
TEST(ContentDigest, TheLastOfTwoEntriesCounts) {
  plat::TSha256Digest digest{};
  const String two = u"sha-256=:AAAA:, sha-256=:" + Hello() + u":";
  EXPECT_EQ(http_digest::ParseSha256Digest(two, digest), TDigestField::dfSha256);
  EXPECT_EQ(digest, plat::Sha256("hello"));
  const String good_then_short = u"sha-256=:" + Hello() + u":, sha-256=:AAAA:";
  EXPECT_EQ(http_digest::ParseSha256Digest(good_then_short, digest), TDigestField::dfMalformed);
}

TEST(ContentDigest, Base64RoundTrips) {
  const plat::TSha256Digest d = plat::Sha256("hello");
  EXPECT_EQ(http_digest::Base64(d.data(), d.size()), text::ToUtf8(kHello));
  EXPECT_EQ(http_digest::Base64("a", 1), "YQ==");
  EXPECT_EQ(http_digest::Base64("ab", 2), "YWI=");
  EXPECT_EQ(http_digest::Base64("abc", 3), "YWJj");
}

}  // namespace
