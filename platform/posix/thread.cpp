// Threads on POSIX: the standard library's.
#include "platform/thread.h"

#include <exception>
#include <system_error>

namespace plat {

Thread::~Thread() {
  if (Joinable()) std::terminate();
}

Thread::Thread(Thread&& other) noexcept = default;

Thread& Thread::operator=(Thread&& other) noexcept {
  if (Joinable()) std::terminate();
  thread_ = std::move(other.thread_);
  return *this;
}

bool Thread::StartEntry(void (*entry)(void*), void* arg) noexcept {
  try {
    thread_ = std::thread(entry, arg);
    return true;
  } catch (const std::system_error&) {  // the system refused a thread
    return false;
  }
}

bool Thread::Joinable() const noexcept {
  return thread_.joinable();
}

void Thread::Join() noexcept {
  if (thread_.joinable()) thread_.join();
}

void Thread::Detach() noexcept {
  if (thread_.joinable()) thread_.detach();
}

void YieldThread() noexcept {
  std::this_thread::yield();
}

unsigned ProcessorCount() noexcept {
  unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

}  // namespace plat
