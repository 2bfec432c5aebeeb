// SHA-256 as FIPS 180-4 section 6.2 defines it: 64-byte blocks, a 64-word message schedule and
// 64 rounds, big-endian words and a big-endian 64-bit bit length in the padding.
#include "platform/sha256.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "platform/stream.h"

namespace plat {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t RotateRight(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

}  // namespace

void TSha256::Reset() {
  static constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(state_, kInitial, sizeof state_);
  length_ = 0;
  buffered_ = 0;
}

void TSha256::Transform(const std::uint8_t block[64]) {
  std::uint32_t w[64];
  for (int t = 0; t < 16; ++t)
    w[t] = static_cast<std::uint32_t>(block[t * 4]) << 24 |
           static_cast<std::uint32_t>(block[t * 4 + 1]) << 16 |
           static_cast<std::uint32_t>(block[t * 4 + 2]) << 8 |
           static_cast<std::uint32_t>(block[t * 4 + 3]);
  for (int t = 16; t < 64; ++t) {
    const std::uint32_t s0 =
        RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const std::uint32_t s1 =
        RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int t = 0; t < 64; ++t) {
    const std::uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    const std::uint32_t choose = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + sum1 + choose + kRound[t] + w[t];
    const std::uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void TSha256::Update(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  length_ += len;
  // Whole blocks straight from the caller's memory once nothing is buffered.
  while (len > 0) {
    if (buffered_ == 0 && len >= 64) {
      Transform(p);
      p += 64;
      len -= 64;
      continue;
    }
    const std::size_t take = std::min<std::size_t>(64 - buffered_, len);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    len -= take;
    if (buffered_ == 64) {
      Transform(buffer_);
      buffered_ = 0;
    }
  }
}

TSha256Digest TSha256::Final() {
  const std::uint64_t bits = length_ * 8;
  static const std::uint8_t kPad[64] = {0x80};
  const std::size_t pad = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
  Update(kPad, pad);
  std::uint8_t length[8];
  for (int i = 0; i < 8; ++i)
    length[i] = static_cast<std::uint8_t>(bits >> (8 * (7 - i)));
  Update(length, 8);
  TSha256Digest out;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j)
      out[i * 4 + j] = static_cast<std::uint8_t>(state_[i] >> (8 * (3 - j)));
  return out;
}

TSha256Digest Sha256(std::string_view bytes) {
  TSha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.Final();
}

bool HashStream(TStream& stream, std::int64_t from, std::int64_t to, TSha256& hash) {
  try {
    const std::int64_t kept = stream.Position();
    stream.SetPosition(from);
    std::vector<char> block(64 * 1024);
    std::int64_t at = from;
    while (to < 0 || at < to) {
      const std::int64_t want = to < 0 ? static_cast<std::int64_t>(block.size())
                                       : std::min<std::int64_t>(to - at, block.size());
      const std::int32_t n = stream.Read(block.data(), static_cast<std::int32_t>(want));
      if (n <= 0) break;
      hash.Update(block.data(), static_cast<std::size_t>(n));
      at += n;
    }
    stream.SetPosition(kept);
    return to < 0 || at == to;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace plat
