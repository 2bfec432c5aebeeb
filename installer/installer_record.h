// The installer record: the installer's own file name, without the counters a browser adds to
// a file downloaded more than once, under the product's registry key.
#pragma once

#include "platform/exceptions.h"
#include "platform/text.h"

namespace installer {

inline const String kProductKey = u"Software\\Norvane\\Vexlor";
inline const String kInstallerFileNameValue = u"InstallerFileName";

// Raised when the record cannot be written: "Failed to set data for 'InstallerFileName'".
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// Removes counter groups such as "(1)" or "[2]" from a file name, keeping its extension, while
// groups that hold years from 1900 on, words or nothing stay. The rules, including their
// quirks, are those of the product's other tools that read the record:
// - "/" becomes "\";
// - round groups are taken before square ones; positions are found in a copy of the name that
//   never shrinks ("scan") and applied to the name as it shrinks, so a later group is tested
//   at the place it had in the name as given;
// - a group is removed when its contents are an optionally signed run of decimal digits that
//   fits in 32 bits and is below 1900; the name is then trimmed and keeps its extension, and a
//   name that would become empty stays as given.
String NormalizeInstallerFileName(const String& name);

// The file name part of a path: everything after the last "\", ":" or platform delimiter.
String ExtractFileName(const String& path);

// Writes NormalizeInstallerFileName of the running program's file name as "InstallerFileName"
// under HKEY_LOCAL_MACHINE\Software\Norvane\Vexlor (created if missing), in the 64-bit view on
// 64-bit Windows. Raises ERegistryException when it cannot be written.
void WriteInstallerRecord();
// The same with a given file name (already normalised).
void WriteInstallerRecordValue(const String& recorded_name);

}  // namespace installer
