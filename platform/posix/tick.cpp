// Tick counter and thread ids on POSIX.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/tick.h"

namespace plat {
namespace {
std::atomic<std::uint32_t> g_offset{0};
}

std::uint32_t GetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
            static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms) + g_offset.load(std::memory_order_relaxed);
}

void SetTickCountOffset(std::uint32_t offset) {
  g_offset.store(offset);
}
std::uint32_t TickCountOffset() {
  return g_offset.load();
}

std::uint32_t CurrentThreadId() {
  thread_local std::uint32_t id = static_cast<std::uint32_t>(syscall(SYS_gettid));
  return id;
}

}  // namespace plat
