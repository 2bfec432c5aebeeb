// The C++ runtime's helper for a lock, condition or thread the system refuses, for the Windows
// program: the library's own copy throws std::system_error (see runtime_errors.cpp).
#include <bits/functexcept.h>

#include "platform/win32/runtime/runtime_errors.h"

namespace std {

void __throw_system_error(int error) {
  plat::ThrowErrorNumber(error);
}

}  // namespace std
