// SHA-256 (FIPS 180-4), for the digest a server sends with a download. Beside it: md5.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

class TStream;

namespace plat {

using TSha256Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256: Update any number of times with pieces of any size, then Final once.
// Reset starts a new message.
class TSha256 {
 public:
  TSha256() { Reset(); }
  void Reset();
  void Update(const void* data, std::size_t len);
  TSha256Digest Final();
  // Bytes given to Update since the last Reset.
  std::uint64_t Length() const { return length_; }

 private:
  void Transform(const std::uint8_t block[64]);

  std::uint32_t state_[8];
  std::uint64_t length_ = 0;
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
};

TSha256Digest Sha256(std::string_view bytes);

// Feeds `hash` the bytes of `stream` from `from` up to `to` (-1: its end), read back in blocks;
// the stream's position is kept. False when the stream ends before `to` or cannot be read (an
// EStreamError is caught here).
bool HashStream(TStream& stream, std::int64_t from, std::int64_t to, TSha256& hash);

}  // namespace plat
