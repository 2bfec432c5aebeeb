#include "platform/hmac_md5.h"

#include <cstdint>

namespace plat {

TMD5Digest HmacMD5(std::string_view key, std::string_view message) {
  std::uint8_t k[64] = {};
  if (key.size() > 64) {
    const TMD5Digest d = MD5(key);
    for (std::size_t i = 0; i < d.size(); ++i)
      k[i] = d[i];
  } else {
    for (std::size_t i = 0; i < key.size(); ++i)
      k[i] = static_cast<std::uint8_t>(key[i]);
  }
  std::uint8_t pad[64];
  TMD5 inner;
  for (int i = 0; i < 64; ++i)
    pad[i] = k[i] ^ 0x36;
  inner.Update(pad, 64);
  inner.Update(message.data(), message.size());
  const TMD5Digest ih = inner.Final();
  TMD5 outer;
  for (int i = 0; i < 64; ++i)
    pad[i] = k[i] ^ 0x5C;
  outer.Update(pad, 64);
  outer.Update(ih.data(), ih.size());
  return outer.Final();
}

}  // namespace plat
