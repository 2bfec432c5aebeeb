// Named mutexes on Win32: CreateMutexW.
#include "platform/win32/win.h"

#include <string>

#include "platform/named_mutex.h"

namespace plat {

TNamedMutex::TNamedMutex(const String& name) {
  std::wstring n(name.begin(), name.end());
  HANDLE h = CreateMutexW(nullptr, TRUE, n.c_str());
  already_existed_ = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (h == nullptr) already_existed_ = false;
  handle_ = h;
}

TNamedMutex::~TNamedMutex() {
  Close();
}

void TNamedMutex::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

}  // namespace plat
