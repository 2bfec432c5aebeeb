// Facts about the machine.
//
// Win32: GetComputerNameW, GetVersionExW, GetNativeSystemInfo, RtlGenRandom.
// POSIX: gethostname, uname, getrandom.
//
// Threads: any.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace plat {

// The computer's name as the system reports it (at most 256 characters); false when it cannot
// be read.
bool GetComputerName(String& name);
// True when the native processor architecture is 64-bit x86 (a 32-bit program on 64-bit
// Windows). False on Windows older than 5.1, where the question is not asked.
bool IsNative64BitWindows();
// 64 bits from the system's secure random source. False when it cannot be read.
bool SecureRandom(std::uint64_t& value);

}  // namespace plat
