// HMAC-MD5 (RFC 2104), for the NTLMv2 responses of NTLM. Built on md5.h.
#pragma once

#include <string_view>

#include "platform/md5.h"

namespace plat {

TMD5Digest HmacMD5(std::string_view key, std::string_view message);

}  // namespace plat
