// The helpers that the parsers of the proxy settings share (proxy_settings.cpp, proxy_curl.cpp).
// Internal to the platform's proxy settings. Pure functions.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/proxy_settings.h"

namespace plat::proxy::parse {

bool IsBlank(char16_t c);
std::u16string_view TrimBlanks(std::u16string_view s);
// The pieces of `s` between separators (`seps`), blanks always among them; empty pieces dropped.
std::vector<std::u16string_view> SplitList(std::u16string_view s, std::u16string_view seps);
// A port "1".."65535" in decimal digits only.
bool ReadPort(std::u16string_view s, std::uint16_t& port);
// A host name or address fit for a connect.
bool IsPlainHost(std::u16string_view h);
// A scheme as a message may show it (no credentials can come through).
String SchemeForMessage(std::u16string_view scheme);
// A route that cannot be used, and why.
TProxyRoute Unusable(const String& source, const String& why);
// "host[:port]" or "[v6][:port]" into host and port (default when absent); false, with why.
bool SplitHostPort(std::u16string_view hp, String& host, std::uint16_t& port,
                   std::uint16_t default_port, String& why);
std::u16string_view StripBrackets(std::u16string_view h);
bool IsAddress(std::u16string_view host);
// A host as the matchers compare it: brackets off, lower case, no trailing dot.
String NormalHost(std::u16string_view host);

}  // namespace plat::proxy::parse
