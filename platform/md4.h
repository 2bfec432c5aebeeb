// MD4 message digest (RFC 1320), for the NT password hash of NTLM. Beside it: md5.h.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace plat {

using TMD4Digest = std::array<std::uint8_t, 16>;

TMD4Digest MD4(std::string_view bytes);

}  // namespace plat
