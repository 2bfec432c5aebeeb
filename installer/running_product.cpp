// The running-product check.
#include "installer/running_product.h"

#include "platform/md5.h"
#include "platform/named_mutex.h"
#include "platform/sysinfo.h"

namespace installer {

String ReadRegistryString(plat::TRegistryRoot root, const String& key_path,
                          const String& value_name) {
  plat::TRegistryKey key;
  if (!key.Open(root, key_path, plat::kKeyRead, false)) return {};
  String value;
  if (!key.ReadString(value_name, value)) value.clear();
  return value;
}

String ProcessorDescription(const String& name, const String& vendor, const String& identifier) {
  String result = text::Trim(name);
  if (!result.empty()) return result;
  String v = text::Trim(vendor), ident = text::Trim(identifier);
  result = v;
  if (!ident.empty() && !result.empty()) result += u" - " + ident;
  if (result.empty()) result = u"Unknown processor";
  return result;
}

String GetMachineName() {
  String name;
  if (!plat::GetComputerName(name)) return {};
  return name;
}

String GetProcessorName() {
  auto read = [](const char16_t* value) {
    return ReadRegistryString(plat::TRegistryRoot::rkLocalMachine, kProcessorKey, value);
  };
  return ProcessorDescription(read(u"ProcessorNameString"), read(u"VendorIdentifier"),
                              read(u"Identifier"));
}

String RunningProductKeyOf(const String& key_text) {
  AnsiString bytes = text::UnicodeToAnsi(key_text, text::kCodePageAnsi);
  std::string hex = plat::DigestToHex(plat::MD5(bytes));
  return String(hex.begin(), hex.end());
}

String RunningProductKey() {
  return RunningProductKeyOf(GetMachineName() + GetProcessorName() + kRunningProductSeed);
}

bool IsMutexHeld(const String& name) {
  plat::TNamedMutex mutex(name);
  bool running = mutex.AlreadyExisted();
  mutex.Close();
  return running;
}

bool IsProductRunning() {
  return IsMutexHeld(RunningProductKey());
}

}  // namespace installer
