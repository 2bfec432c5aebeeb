// Text helpers shared by every component.
//
// Text inside the program is UTF-16 (String). 8-bit text (AnsiString) is what goes on the wire
// and what the MD5 key is computed from. The "ANSI code page" (code page 0) is the system's:
// on POSIX it is Windows-1252 with '?' for characters it cannot hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using String = std::u16string;
using AnsiString = std::string;

namespace text {

constexpr unsigned kCodePageAnsi = 0;
constexpr unsigned kCodePageWindows1252 = 1252;
constexpr unsigned kCodePageLatin1 = 28591;
constexpr unsigned kCodePageUtf8 = 65001;

// UTF-16 to 8-bit text in a code page (0: the system's ANSI code page).
AnsiString UnicodeToAnsi(std::u16string_view s, unsigned code_page = kCodePageAnsi);
// 8-bit text in a code page to UTF-16.
String AnsiToUnicode(std::string_view s, unsigned code_page = kCodePageAnsi);
// Received header bytes: one byte to one character (codes 0 to 255).
String WidenBytes(std::string_view s);

// UTF-8 <-> UTF-16, for file names, the toolkit and messages for display. Invalid input
// becomes U+FFFD.
String FromUtf8(std::string_view s);
std::string ToUtf8(std::u16string_view s);

// Removes the bytes below 33 at both ends.
std::string_view Trim(std::string_view s);
// Removes the characters below 33 at both ends.
String Trim(std::u16string_view s);
// Lower-cases A to Z only; every other byte stays.
AnsiString LowerAscii(std::string_view s);
String LowerAscii(std::u16string_view s);

// Reads a decimal number: skips leading blanks, stops at the first non-digit, no sign.
// `pos` is where reading starts and, on return, the first character not read. Saturates at
// INT64_MAX.
std::int64_t ReadDecimal(std::string_view s, std::size_t& pos);
std::int64_t ReadDecimal(std::u16string_view s, std::size_t& pos);

inline bool IsHexDigit(char16_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// Value of a hexadecimal digit (0 to 15); the caller tests IsHexDigit first.
inline int HexValue(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Decimal text of a number.
String IntToStr(std::int64_t v);
// The same in 8-bit text (std::to_string without the library's formatting code).
std::string DecimalStr(std::int64_t v);

// Appends value in decimal to out with at least min_digits digits (zeros in front), after a
// minus sign when negative. No locale, no formatting library.
void AppendDecimal(std::string& out, std::int64_t value, int min_digits = 1);
// A 32-bit status as the system shows it: "0x" and eight upper-case hex digits.
std::string HexStatus(std::uint32_t value);
// Appends a time of day given in seconds since midnight as "hh:mm:ss".
void AppendTimeOfDay(std::string& out, std::int64_t seconds);

}  // namespace text
