// Code pages on POSIX: the ANSI code page is Windows-1252; other 8-bit code pages this
// program meets are ISO-8859-1. Anything else is treated as Windows-1252.
#include "platform/codepage.h"
#include "platform/text.h"

namespace plat {

std::string EncodeCodePage(std::u16string_view s, unsigned code_page) {
  if (code_page == text::kCodePageLatin1) return EncodeLatin1(s);
  return EncodeWindows1252(s);
}

std::u16string DecodeCodePage(std::string_view s, unsigned code_page) {
  if (code_page == text::kCodePageLatin1) return DecodeLatin1(s);
  return DecodeWindows1252(s);
}

}  // namespace plat
