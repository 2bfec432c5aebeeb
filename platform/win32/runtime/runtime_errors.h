// The error the Windows program's own copies of the C++ runtime's error helpers raise
// (runtime_errors.cpp): std::exception with the library's message text.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace plat {

class RuntimeLibraryError final : public std::exception {
 public:
  explicit RuntimeLibraryError(std::string message);
  const char* what() const noexcept override;

 private:
  std::string message_;
};

// Raises the error for a system error number (std::__throw_system_error, in its own file so a
// program that needs the library's std::system_error can leave it out).
[[noreturn]] void ThrowErrorNumber(int error);

// The library's printf-like message formats (%s, %zu and %%), as its own helper writes them.
std::string FormatRuntimeMessage(const char* format, std::va_list args);

}  // namespace plat
