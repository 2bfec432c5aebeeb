// The running-product check: the product holds a named mutex whose name (the running-product
// key) is derived from the machine; the installer derives the same key and asks whether a mutex
// of that name exists.
//
// Threads: the user-interface thread (any thread works; nothing is shared).
#pragma once

#include "platform/registry.h"
#include "platform/text.h"

namespace installer {

// The key that holds the processor description, under HKEY_LOCAL_MACHINE.
inline const String kProcessorKey = u"\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
inline const String kRunningProductSeed = u"NorvaneVexlor";

// Opens the key read-only (without a view flag) and reads a string value; empty when the key
// or the value is missing.
String ReadRegistryString(plat::TRegistryRoot root, const String& key_path,
                          const String& value_name);

// The processor description from the three registry values: the name when it has one (trimmed),
// else "vendor - identifier", else the vendor alone, else "Unknown processor". An identifier
// without a vendor is not used.
String ProcessorDescription(const String& name, const String& vendor, const String& identifier);

// The computer name; empty when it cannot be read.
String GetMachineName();
// ProcessorDescription of the values under kProcessorKey.
String GetProcessorName();

// The key from its text (machine + processor + seed): the upper-case hexadecimal MD5 of the
// text in the system's ANSI code page.
String RunningProductKeyOf(const String& key_text);
// The key of this machine.
String RunningProductKey();

// True when a mutex of this name exists; the handle opened to ask is closed at once.
bool IsMutexHeld(const String& name);
// True when a mutex named by the running-product key exists. The installer's own handle is
// closed at once, so it never keeps the name alive.
bool IsProductRunning();

}  // namespace installer
