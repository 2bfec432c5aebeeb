// Starting programs on Win32: CreateProcessW and ShellExecuteW.
#include "platform/win32/win.h"

#include <shellapi.h>

#include <cstdlib>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

namespace plat {

bool RunProcess(const String& application, const String& command_line, std::int32_t& exit_code,
                std::uint32_t& error, TFileStream* held_image) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> cmd(command_line.begin(), command_line.end());
  cmd.push_back(L'\0');
  std::wstring app(application.begin(), application.end());
  const BOOL created = CreateProcessW(app.empty() ? nullptr : app.c_str(), cmd.data(), nullptr,
                                      nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  const DWORD create_error = created ? ERROR_SUCCESS : ::GetLastError();
  // The system has opened the program file (or given up): the hold ends here.
  if (held_image != nullptr) held_image->Close();
  if (!created) {
    error = create_error;
    return false;
  }
  bool waited = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0;
  DWORD code = 0;
  bool read = waited && GetExitCodeProcess(pi.hProcess, &code);
  error = read ? 0 : ::GetLastError();
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  // An exit code that cannot be read must not pass for 0.
  exit_code = SettledExitCode(waited, read, code);
  return true;
}

String GetEnvVar(const String& name) {
  std::wstring n(name.begin(), name.end());
  DWORD size = GetEnvironmentVariableW(n.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::vector<wchar_t> buf(size);
  DWORD got = GetEnvironmentVariableW(n.c_str(), buf.data(), size);
  if (got == 0 || got >= size) return {};
  return String(buf.data(), buf.data() + got);
}

bool SetEnvVar(const String& name, const String& value) {
  std::wstring n(name.begin(), name.end()), v(value.begin(), value.end());
  // The C runtime keeps its own copy for getenv; both are set.
  _wputenv_s(n.c_str(), v.c_str());  // an empty value removes it there
  return SetEnvironmentVariableW(n.c_str(), v.empty() ? nullptr : v.c_str()) != 0;
}

void ShellOpen(const String& file) {
  std::wstring f(file.begin(), file.end());
  ShellExecuteW(nullptr, L"open", f.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::vector<String> ProgramArguments() {
  const wchar_t* line = GetCommandLineW();
  String s(line, line + wcslen(line));
  return SplitCommandLine(s, [](const String& path) { return FileExists(path); });
}

}  // namespace plat
