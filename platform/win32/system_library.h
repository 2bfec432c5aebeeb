// System DLLs that the Windows backends load at run time (nothing new linked: the program stays
// small and starts on systems that lack one): loading from the system folder, and typed
// procedure addresses.
#pragma once

#include <windows.h>

namespace plat::win32 {

inline HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE m = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems without the search flags refuse it; the plain call searches the system folder
  // first for these names anyway (they are known DLLs).
  if (m == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) m = LoadLibraryW(name);
  return m;
}

// The address of `name` in `m` as the function pointer type of `out`; false if there is none.
template <typename F>
bool Find(HMODULE m, const char* name, F& out) {
  out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  return out != nullptr;
}

}  // namespace plat::win32
