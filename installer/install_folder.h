// The destination folder: its default and the product folder appended after a browse.
#pragma once

#include <optional>

#include "platform/text.h"

namespace installer {

inline const String kProductFolderName = u"Norvane Vexlor";
inline const String kCurrentVersionKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
inline const String kProgramFilesDirValue = u"ProgramFilesDir";

// The program folder (or `fallback` when the system names none), then
// <delimiter> "Norvane Vexlor" <delimiter>.
String DefaultInstallFolderFrom(const std::optional<String>& program_files_dir,
                                const String& fallback, char16_t delimiter);
// From "ProgramFilesDir" of HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion, read
// in the 64-bit view, with the platform's fallback folder and delimiter.
String DefaultInstallFolder();

// Appends "Norvane Vexlor" + delimiter unless the path contains "Vexlor" (case-sensitive).
String AppendProductFolder(const String& path, char16_t delimiter);
// A folder chosen in the browser: a trailing delimiter added when missing, then
// AppendProductFolder.
String BrowsedInstallFolder(const String& chosen, char16_t delimiter);

}  // namespace installer
