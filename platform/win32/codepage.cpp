// Code pages on Win32: the system's own converters (code page 0 is CP_ACP).
#include "platform/win32/win.h"

#include "platform/codepage.h"

namespace plat {

std::string EncodeCodePage(std::u16string_view s, unsigned code_page) {
  if (s.empty()) return {};
  auto w = reinterpret_cast<const wchar_t*>(s.data());
  int n = WideCharToMultiByte(code_page, 0, w, static_cast<int>(s.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return EncodeWindows1252(s);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, w, static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string DecodeCodePage(std::string_view s, unsigned code_page) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(code_page, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return DecodeWindows1252(s);
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(code_page, 0, s.data(), static_cast<int>(s.size()),
                      reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

}  // namespace plat
