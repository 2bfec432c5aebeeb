// Win32 side of the socket library binding: the libraries are the system's DLLs, loaded by
// name at run time; the procedures are called through the addresses GetProcAddress gives.
#include "platform/win32/win.h"

#include <string>

#include "platform/sockets.h"
#include "platform/sockets_backend.h"
#include "platform/text.h"

namespace plat::sock::backend {
namespace {

std::wstring Wide(const char* s) {
  return std::wstring(s, s + std::char_traits<char>::length(s));
}

}  // namespace

// A lookup the system runs on a thread of its own (WSAAsyncGetHostByName and its kin) may still
// be running in the library's code when the last socket unloads the library: a cancel need not
// stop it (Wine's does nothing). The first load therefore pins the module: the unload still
// cleans up and closes our handle, but the code stays mapped until the process ends.
void* OpenLibrary(const char* file_name) {
  const std::wstring name = Wide(file_name);
  HMODULE library = LoadLibraryW(name.c_str());
  if (library != nullptr) {
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, name.c_str(), &pinned);
  }
  return reinterpret_cast<void*>(library);
}

void* LibraryProc(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

std::string LastErrorText() {
  DWORD code = ::GetLastError();
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n != 0 && buffer != nullptr) {
    int len =
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), text.data(), len, nullptr,
                        nullptr);
  }
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) text = "System error " + text::DecimalStr(code);
  return text;
}

bool OsSupportsIPv6Api() {
  // GetVersionExW reports the version the program is manifested for, which is what matters
  // for the calls it may use.
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExW(&info)) return false;
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         (info.dwMajorVersion > 5 || (info.dwMajorVersion == 5 && info.dwMinorVersion >= 1));
}

}  // namespace plat::sock::backend
