// The registry: keys holding named string values, under a few predefined roots.
//
// Win32: advapi32 (RegOpenKeyExW, RegCreateKeyExW, RegQueryValueExW, RegSetValueExW). The
// access mask is the system's, so KEY_WOW64_64KEY selects the 64-bit view for a 32-bit program.
//
// POSIX: a directory tree rooted at $VEXLOR_REGISTRY_ROOT (else /var/lib/vexlor/registry), one
// folder per root key ("HKEY_LOCAL_MACHINE") and per key below it, one file per string value
// holding its UTF-8 text. Names are matched without regard to case, as the system does, and a
// value is written atomically (a temporary file renamed over the old one). Two keys are answered
// even when the tree does not hold them: the processor key
// "HARDWARE\DESCRIPTION\System\CentralProcessor\0" from /proc/cpuinfo, and
// "SOFTWARE\Microsoft\Windows\CurrentVersion" with "ProgramFilesDir" = "/opt". Once the tree
// holds such a key folder, the tree alone answers for it. The view flags have no effect.
//
// Threads: a TRegistryKey is used on one thread at a time; different objects are independent.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace plat {

enum class TRegistryRoot { rkLocalMachine, rkCurrentUser };

constexpr std::uint32_t kKeyRead = 0x20019;       // KEY_READ
constexpr std::uint32_t kKeyWrite = 0x20006;      // KEY_WRITE
constexpr std::uint32_t kKeyWow64_64Key = 0x100;  // KEY_WOW64_64KEY
constexpr std::uint32_t kErrorFileNotFound = 2;   // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kErrorAccessDenied = 5;   // ERROR_ACCESS_DENIED

// One open key. Closed by Close or by the destructor.
class TRegistryKey {
 public:
  TRegistryKey() = default;
  ~TRegistryKey();
  TRegistryKey(const TRegistryKey&) = delete;
  TRegistryKey& operator=(const TRegistryKey&) = delete;

  // Opens `path` (components separated by "\"; a leading "\" is allowed) under `root` with the
  // access mask. With `create` the key and its missing parents are created first. False, with
  // the system's error code in LastError(), when it cannot be opened.
  bool Open(TRegistryRoot root, const String& path, std::uint32_t access, bool create);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // True when the key holds a value of this name.
  bool ValueExists(const String& name);
  // Reads a string value. False when it does not exist or is not a string.
  bool ReadString(const String& name, String& value);
  // Writes a string value (REG_SZ). False + LastError() on failure.
  bool WriteString(const String& name, const String& value);

  std::uint32_t LastError() const { return last_error_; }

 private:
  void* handle_ = nullptr;
  std::uint32_t last_error_ = 0;
};

}  // namespace plat
