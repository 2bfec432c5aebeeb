// Machine facts on Win32.
#include "platform/win32/win.h"

#include "platform/sysinfo.h"

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace plat {

bool GetComputerName(String& name) {
  wchar_t buf[257];
  DWORD size = 256;
  if (!GetComputerNameW(buf, &size)) return false;
  name.assign(buf, buf + size);
  return true;
}

bool IsNative64BitWindows() {
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&v)) return false;
#pragma GCC diagnostic pop
  if (v.dwMajorVersion < 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion < 1)) return false;
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  return si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

bool SecureRandom(std::uint64_t& value) {
  return SystemFunction036(&value, sizeof value) != 0;
}

}  // namespace plat
