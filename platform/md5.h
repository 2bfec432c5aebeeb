// MD5 message digest (RFC 1321), for the running-product key. Beside it: sha256.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

using TMD5Digest = std::array<std::uint8_t, 16>;

// Incremental MD5: Update any number of times, then Final once.
class TMD5 {
 public:
  TMD5();
  void Update(const void* data, std::size_t len);
  TMD5Digest Final();

 private:
  void Transform(const std::uint8_t block[64]);

  std::uint32_t state_[4];
  std::uint64_t bit_count_ = 0;
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
};

TMD5Digest MD5(std::string_view bytes);
// The digest as 32 upper-case hexadecimal digits, bytes in order.
std::string DigestToHex(const TMD5Digest& digest);

}  // namespace plat
