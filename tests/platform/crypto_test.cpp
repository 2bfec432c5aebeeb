// The small primitives of NTLM against their published examples: MD4 (RFC 1320 appendix A.5),
// HMAC-MD5 (RFC 2104 / RFC 2202) and DES (the FIPS 46 worked example and a NBS validation
// vector), with the 56-bit key spreading NTLM uses.
#include <gtest/gtest.h>

#include <string>

#include "platform/des.h"
#include "platform/hmac_md5.h"
#include "platform/md4.h"

namespace {

template <typename D>
std::string Hex(const D& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(Md4, Rfc1320Examples) {
  const struct {
    const char* in;
    const char* digest;
  } cases[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "043f8582f241db351ce627e153e7f0e4"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Hex(plat::MD4(c.in)), c.digest) << c.in;
}

TEST(HmacMd5, Rfc2202Examples) {
  const struct {
    std::string key, data;
    const char* mac;
  } cases[] = {
      {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
      // A key longer than a block is hashed first.
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Hex(plat::HmacMD5(c.key, c.data)), c.mac) << c.data;
}

TEST(Des, PublishedBlocks) {
  const struct {
    const char *key, *plain, *cipher;
  } cases[] = {
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
      {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
      {"0101010101010101", "95f8a5e5dd31d900", "8000000000000000"},
  };
  for (const auto& c : cases) {
    const std::string key = Unhex(c.key), plain = Unhex(c.plain);
    std::uint8_t out[8];
    plat::DesEncryptBlock(reinterpret_cast<const std::uint8_t*>(key.data()),
                          reinterpret_cast<const std::uint8_t*>(plain.data()), out);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(out), 8)), c.cipher) << c.key;
  }
}

TEST(Des, KeyFrom56SpreadsSevenBitsPerByte) {
  const std::uint8_t key7[7] = {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF};
  std::uint8_t key8[8];
  plat::DesKeyFrom56(key7, key8);
  // 1111111 1000000 0011111 1110000 0000111 1111100 0000001 1111111, each moved up one bit.
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(key8), 8)), "fe803ee00ef802fe");
}

}  // namespace
