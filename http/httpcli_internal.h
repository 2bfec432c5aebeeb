// Helpers shared by the source files of THttpCli (httpcli*.cpp); not part of its interface.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace httpcli_detail {

inline bool StartsWithNoCase(const String& s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  return text::LowerAscii(std::u16string_view(s).substr(0, prefix.size())) ==
         text::LowerAscii(prefix);
}

// The port a URL without one means: 443 for https, 80 for everything else.
inline String DefaultPort(const String& Proto) {
  return Proto == u"https" ? String(u"443") : String(u"80");
}

}  // namespace httpcli_detail
