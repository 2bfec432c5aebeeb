// Tick counter and thread ids on Win32.
#include "platform/win32/win.h"

#include <atomic>

#include "platform/tick.h"

namespace plat {
namespace {
std::atomic<std::uint32_t> g_offset{0};
}

std::uint32_t GetTickCount() {
  return static_cast<std::uint32_t>(::GetTickCount()) + g_offset.load(std::memory_order_relaxed);
}

void SetTickCountOffset(std::uint32_t offset) {
  g_offset.store(offset);
}
std::uint32_t TickCountOffset() {
  return g_offset.load();
}

std::uint32_t CurrentThreadId() {
  return static_cast<std::uint32_t>(::GetCurrentThreadId());
}

}  // namespace plat
