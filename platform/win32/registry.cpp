// The registry on Win32: advapi32.
#include "platform/win32/win.h"

#include <string>

#include "platform/registry.h"

namespace plat {
namespace {

std::wstring W(const String& s) {
  return std::wstring(s.begin(), s.end());
}

HKEY RootKey(TRegistryRoot root) {
  return root == TRegistryRoot::rkLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

HKEY H(void* h) {
  return static_cast<HKEY>(h);
}

}  // namespace

TRegistryKey::~TRegistryKey() {
  Close();
}

void TRegistryKey::Close() {
  if (handle_ != nullptr) RegCloseKey(H(handle_));
  handle_ = nullptr;
}

bool TRegistryKey::Open(TRegistryRoot root, const String& path, std::uint32_t access, bool create) {
  Close();
  String relative = path;
  while (!relative.empty() && relative.front() == u'\\')
    relative.erase(0, 1);
  std::wstring sub = W(relative);
  HKEY key = nullptr;
  LONG r;
  if (create) {
    r = RegCreateKeyExW(RootKey(root), sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        static_cast<REGSAM>(access), nullptr, &key, nullptr);
  } else {
    r = RegOpenKeyExW(RootKey(root), sub.c_str(), 0, static_cast<REGSAM>(access), &key);
  }
  if (r != ERROR_SUCCESS) {
    last_error_ = static_cast<std::uint32_t>(r);
    return false;
  }
  handle_ = key;
  last_error_ = 0;
  return true;
}

bool TRegistryKey::ValueExists(const String& name) {
  if (handle_ == nullptr) return false;
  std::wstring n = W(name);
  LONG r = RegQueryValueExW(H(handle_), n.c_str(), nullptr, nullptr, nullptr, nullptr);
  last_error_ = static_cast<std::uint32_t>(r);
  return r == ERROR_SUCCESS;
}

bool TRegistryKey::ReadString(const String& name, String& value) {
  if (handle_ == nullptr) return false;
  std::wstring n = W(name);
  DWORD type = 0, size = 0;
  LONG r = RegQueryValueExW(H(handle_), n.c_str(), nullptr, &type, nullptr, &size);
  if (r == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) r = ERROR_INVALID_DATA;
  if (r != ERROR_SUCCESS) {
    last_error_ = static_cast<std::uint32_t>(r);
    return false;
  }
  std::wstring buf(size / sizeof(wchar_t) + 1, L'\0');
  DWORD bytes = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
  r = RegQueryValueExW(H(handle_), n.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                       &bytes);
  if (r != ERROR_SUCCESS) {
    last_error_ = static_cast<std::uint32_t>(r);
    return false;
  }
  buf.resize(bytes / sizeof(wchar_t));
  while (!buf.empty() && buf.back() == L'\0')
    buf.pop_back();
  value.assign(buf.begin(), buf.end());
  return true;
}

bool TRegistryKey::WriteString(const String& name, const String& value) {
  if (handle_ == nullptr) {
    last_error_ = ERROR_INVALID_HANDLE;
    return false;
  }
  std::wstring n = W(name), v = W(value);
  LONG r =
      RegSetValueExW(H(handle_), n.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                     static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  last_error_ = static_cast<std::uint32_t>(r);
  return r == ERROR_SUCCESS;
}

}  // namespace plat
