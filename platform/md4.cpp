// MD4 (RFC 1320): one pass over the message; NTLM hashes only short passwords.
#include "platform/md4.h"

#include <cstring>
#include <string>

namespace plat {
namespace {

inline std::uint32_t Rotl(std::uint32_t x, int s) {
  return (x << s) | (x >> (32 - s));
}

void Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = static_cast<std::uint32_t>(block[i * 4]) |
           static_cast<std::uint32_t>(block[i * 4 + 1]) << 8 |
           static_cast<std::uint32_t>(block[i * 4 + 2]) << 16 |
           static_cast<std::uint32_t>(block[i * 4 + 3]) << 24;
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  auto f = [](std::uint32_t x1, std::uint32_t y, std::uint32_t z) { return (x1 & y) | (~x1 & z); };
  auto g = [](std::uint32_t x1, std::uint32_t y, std::uint32_t z) {
    return (x1 & y) | (x1 & z) | (y & z);
  };
  auto h = [](std::uint32_t x1, std::uint32_t y, std::uint32_t z) { return x1 ^ y ^ z; };
  static const int kR1[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; ++i) {
    std::uint32_t t = a + f(b, c, d) + x[i];
    a = d;
    d = c;
    c = b;
    b = Rotl(t, kR1[i % 4]);
  }
  static const int kR2[4] = {3, 5, 9, 13};
  for (int i = 0; i < 16; ++i) {
    const int k = (i % 4) * 4 + i / 4;
    std::uint32_t t = a + g(b, c, d) + x[k] + 0x5A827999u;
    a = d;
    d = c;
    c = b;
    b = Rotl(t, kR2[i % 4]);
  }
  static const int kR3[4] = {3, 9, 11, 15};
  static const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  for (int i = 0; i < 16; ++i) {
    std::uint32_t t = a + h(b, c, d) + x[kOrder3[i]] + 0x6ED9EBA1u;
    a = d;
    d = c;
    c = b;
    b = Rotl(t, kR3[i % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

TMD4Digest MD4(std::string_view bytes) {
  std::uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  std::string msg(bytes);
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  msg.push_back(static_cast<char>(0x80));
  while (msg.size() % 64 != 56)
    msg.push_back('\0');
  for (int i = 0; i < 8; ++i)
    msg.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
  for (std::size_t off = 0; off < msg.size(); off += 64)
    Transform(state, reinterpret_cast<const std::uint8_t*>(msg.data() + off));
  TMD4Digest out;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      out[i * 4 + j] = static_cast<std::uint8_t>(state[i] >> (8 * j));
  return out;
}

}  // namespace plat
