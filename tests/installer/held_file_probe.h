// What another opener can do with a file the installer holds (TFileMode::fmCreateHeld): read it,
// open it for writing, delete it, rename it. Each attempt that succeeds is undone as far as it
// can be (a rename is moved back).
#pragma once

#include "platform/text.h"

namespace testing_support {

struct HeldFileProbe {
  bool Read = false;
  bool Write = false;
  bool Delete = false;
  bool Rename = false;
};

HeldFileProbe ProbeHeldFile(const String& path);

// POSIX only: whether this process overrides file permissions (runs as root), so that a file's
// mode keeps it from nothing.
bool OverridesFilePermissions();

}  // namespace testing_support
