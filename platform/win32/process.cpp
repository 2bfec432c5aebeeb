// Starting programs on Win32: CreateProcessW and ShellExecuteW.
#include "platform/win32/win.h"

#include <shellapi.h>

#include <vector>

#include "platform/process.h"

namespace plat {

bool RunProcess(const String& command_line, std::int32_t& exit_code, std::uint32_t& error) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
  cmd.push_back(L'\0');
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    error = ::GetLastError();
    return false;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  exit_code = static_cast<std::int32_t>(code);
  error = 0;
  return true;
}

void ShellOpen(const String& file) {
  std::wstring f(file.begin(), file.end());
  ShellExecuteW(nullptr, L"open", f.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace plat
