// The C++ runtime's error helpers (std::__throw_*), for the Windows program.
//
// libstdc++ raises its errors through these helpers: containers and strings that run out of
// room or are indexed past their end, a lock or thread the system refuses. Its own copies throw
// std::length_error, std::out_of_range, std::system_error and their kin, whose message members are
// reference-counted strings of the library's old string type: linking them brings in that whole
// second string type (about 90 KB of the program file with what comes along). The program defines
// the helpers itself instead (vexlor_runtime_errors, linked into the program), so the linker never
// takes the library's copies; a library member that still needs them then fails the link, as a
// duplicate. The errors they raise carry the same what() text and derive from std::exception, as
// every handler of the code base catches them (none catches a narrower standard type); the
// bad_alloc family keeps its own types, which need no message string.
#include <bits/functexcept.h>

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>

#include "platform/win32/runtime/runtime_errors.h"

namespace plat {

RuntimeLibraryError::RuntimeLibraryError(std::string message) : message_(std::move(message)) {}

const char* RuntimeLibraryError::what() const noexcept {
  return message_.c_str();
}

// The library's message formats use only %s, %zu and %%; anything else is copied as it is.
std::string FormatRuntimeMessage(const char* format, std::va_list args) {
  std::string out;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
    } else if (p[1] == '%') {
      out += '%';
      ++p;
    } else if (p[1] == 's') {
      const char* s = va_arg(args, const char*);
      out += s != nullptr ? s : "(null)";
      ++p;
    } else if (p[1] == 'z' && p[2] == 'u') {
      std::size_t n = va_arg(args, std::size_t);
      char digits[24];
      int i = sizeof digits;
      do {
        digits[--i] = static_cast<char>('0' + n % 10);
        n /= 10;
      } while (n != 0);
      out.append(digits + i, sizeof digits - static_cast<std::size_t>(i));
      p += 2;
    } else {
      out += *p;
    }
  }
  return out;
}

// The library's text for an error number of the generic category is strerror's.
void ThrowErrorNumber(int error) {
  throw RuntimeLibraryError(std::strerror(error));
}

}  // namespace plat

namespace std {

void __throw_bad_exception() {
  throw std::bad_exception();
}
void __throw_bad_alloc() {
  throw std::bad_alloc();
}
void __throw_bad_array_new_length() {
  throw std::bad_array_new_length();
}
void __throw_bad_cast() {
  throw std::bad_cast();
}
void __throw_bad_typeid() {
  throw std::bad_typeid();
}

void __throw_logic_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_domain_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_invalid_argument(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_length_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_out_of_range(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_runtime_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_range_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_overflow_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}
void __throw_underflow_error(const char* s) {
  throw plat::RuntimeLibraryError(s);
}

void __throw_out_of_range_fmt(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string message = plat::FormatRuntimeMessage(format, args);
  va_end(args);
  throw plat::RuntimeLibraryError(std::move(message));
}

}  // namespace std
