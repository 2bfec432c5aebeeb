// The destination folder.
#include "installer/install_folder.h"

#include "platform/files.h"
#include "platform/registry.h"

namespace installer {

String DefaultInstallFolderFrom(const std::optional<String>& program_files_dir,
                                const String& fallback, char16_t delimiter) {
  String folder = program_files_dir ? *program_files_dir : fallback;
  return folder + delimiter + kProductFolderName + delimiter;
}

String DefaultInstallFolder() {
  std::optional<String> dir;
  plat::TRegistryKey key;
  if (key.Open(plat::TRegistryRoot::rkLocalMachine, kCurrentVersionKey,
               plat::kKeyRead | plat::kKeyWow64_64Key, false)) {
    String value;
    if (key.ValueExists(kProgramFilesDirValue) && key.ReadString(kProgramFilesDirValue, value))
      dir = value;
  }
  return DefaultInstallFolderFrom(dir, plat::FallbackProgramFolder(), plat::PathDelimiter());
}

String AppendProductFolder(const String& path, char16_t delimiter) {
  if (path.find(u"Vexlor") != String::npos) return path;
  return path + kProductFolderName + delimiter;
}

String BrowsedInstallFolder(const String& chosen, char16_t delimiter) {
  String path = chosen;
  if (path.empty() || path.back() != delimiter) path.push_back(delimiter);
  return AppendProductFolder(path, delimiter);
}

}  // namespace installer
