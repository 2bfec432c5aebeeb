// Backend of the code-page conversions in text.h: each platform converts UTF-16 to and from
// 8-bit text in a given code page (0 is the system's ANSI code page).
#pragma once

#include <string>
#include <string_view>

namespace plat {

std::string EncodeCodePage(std::u16string_view s, unsigned code_page);
std::u16string DecodeCodePage(std::string_view s, unsigned code_page);

// The portable converters the POSIX backend uses (Windows-1252 with '?' for what it cannot
// hold, ISO-8859-1, UTF-8).
std::string EncodeWindows1252(std::u16string_view s);
std::u16string DecodeWindows1252(std::string_view s);
std::string EncodeLatin1(std::u16string_view s);
std::u16string DecodeLatin1(std::string_view s);

}  // namespace plat
