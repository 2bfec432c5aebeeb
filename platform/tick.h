// The millisecond tick counter and thread ids.
#pragma once

#include <cstdint>

namespace plat {

// Milliseconds since system start, 32 bits, wrapping (GetTickCount). Includes the test offset.
std::uint32_t GetTickCount();

// Test hook: every later GetTickCount() returns the system's value plus this offset (mod 2^32),
// so a test can start the counter just below its wrap-around. 0 restores the real counter.
void SetTickCountOffset(std::uint32_t offset);
std::uint32_t TickCountOffset();

// Milliseconds from start to now across the counter's wrap-around: the 32-bit difference.
inline std::uint32_t TicksBetween(std::uint32_t start, std::uint32_t now) {
  return static_cast<std::uint32_t>(now - start);
}

// The calling thread's system id, never 0.
std::uint32_t CurrentThreadId();

}  // namespace plat
