// DES (FIPS 46-3), encryption of one block, for the LM and NTLMv1 responses of NTLM. Beside
// it: md4.h, md5.h.
#pragma once

#include <cstdint>

namespace plat {

// Encrypts one 8-byte block with an 8-byte key (parity bits ignored).
void DesEncryptBlock(const std::uint8_t key[8], const std::uint8_t in[8], std::uint8_t out[8]);

// Spreads 56 key bits (7 bytes) over 8 bytes, seven bits each, as NTLM keys DES; the low bit
// of each byte (parity) is left 0.
void DesKeyFrom56(const std::uint8_t key7[7], std::uint8_t key8[8]);

}  // namespace plat
