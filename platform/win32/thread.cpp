// Threads on Win32: SRW locks, condition variables, the performance counter, _beginthreadex.
#include "platform/thread.h"

#include <process.h>

#include <exception>
#include <new>

#include "platform/win32/system_library.h"
#include "platform/win32/win.h"

namespace plat {

namespace {

SRWLOCK* Srw(void** state) {
  static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");
  return reinterpret_cast<SRWLOCK*>(state);
}

CONDITION_VARIABLE* Cond(void** state) {
  static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "a condition is one pointer");
  return reinterpret_cast<CONDITION_VARIABLE*>(state);
}

struct ThreadStart {
  void (*entry)(void*);
  void* arg;
};

unsigned __stdcall ThreadMain(void* start) {
  ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  s.entry(s.arg);
  return 0;
}

}  // namespace

void Mutex::lock() noexcept {
  AcquireSRWLockExclusive(Srw(&lock_));
}

void Mutex::unlock() noexcept {
  ReleaseSRWLockExclusive(Srw(&lock_));
}

bool Mutex::try_lock() noexcept {
  // The try of an SRW lock came with Windows 7. Found at run time, so the program still starts
  // on Vista, where a try fails as a try may (the program's own code never tries a lock).
  using TTryAcquire = BOOLEAN(WINAPI*)(PSRWLOCK);
  static const TTryAcquire try_acquire = [] {
    TTryAcquire f = nullptr;
    win32::Find(GetModuleHandleW(L"kernel32.dll"), "TryAcquireSRWLockExclusive", f);
    return f;
  }();
  return try_acquire != nullptr && try_acquire(Srw(&lock_)) != 0;
}

void RecursiveMutex::lock() noexcept {
  std::uint32_t self = GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) != self) {
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
  }
  ++depth_;
}

void RecursiveMutex::unlock() noexcept {
  if (--depth_ != 0) return;
  owner_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
}

bool RecursiveMutex::try_lock() noexcept {
  std::uint32_t self = GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) != self) {
    if (!mutex_.try_lock()) return false;
    owner_.store(self, std::memory_order_relaxed);
  }
  ++depth_;
  return true;
}

SteadyClock::time_point SteadyClock::now() noexcept {
  // Constant since system start; read once. Split so that counts times 10^9 never overflow.
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  std::int64_t c = counter.QuadPart;
  std::int64_t ns = c / frequency * 1000000000 + c % frequency * 1000000000 / frequency;
  return time_point(duration(ns));
}

void ConditionVariable::notify_one() noexcept {
  WakeConditionVariable(Cond(&cond_));
}

void ConditionVariable::notify_all() noexcept {
  WakeAllConditionVariable(Cond(&cond_));
}

void ConditionVariable::wait(std::unique_lock<Mutex>& lock) noexcept {
  SleepConditionVariableSRW(Cond(&cond_), Srw(&lock.mutex()->lock_), INFINITE, 0);
}

WaitStatus ConditionVariable::WaitUntil(std::unique_lock<Mutex>& lock,
                                        SteadyClock::time_point deadline) noexcept {
  for (;;) {
    SteadyClock::duration left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return WaitStatus::kTimeout;
    // Whole milliseconds, rounded up so that the system's time-out is never short of the
    // deadline; a wait longer than the system takes ends early and is repeated.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    DWORD limit = ms < static_cast<decltype(ms)>(INFINITE) ? static_cast<DWORD>(ms) : INFINITE - 1;
    if (SleepConditionVariableSRW(Cond(&cond_), Srw(&lock.mutex()->lock_), limit, 0))
      return WaitStatus::kNotified;
    // A time-out: the system's timer may end the wait a little before the counter reaches the
    // deadline, so the loop looks at the clock again.
    if (GetLastError() != ERROR_TIMEOUT) return WaitStatus::kNotified;
  }
}

Thread::~Thread() {
  if (Joinable()) std::terminate();
}

Thread::Thread(Thread&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (Joinable()) std::terminate();
  handle_ = other.handle_;
  other.handle_ = nullptr;
  return *this;
}

bool Thread::StartEntry(void (*entry)(void*), void* arg) noexcept {
  auto* start = new (std::nothrow) ThreadStart{entry, arg};
  if (start == nullptr) return false;
  // _beginthreadex rather than CreateThread: the C runtime sets up its own per-thread data.
  std::uintptr_t handle = _beginthreadex(nullptr, 0, &ThreadMain, start, 0, nullptr);
  if (handle == 0) {
    delete start;
    return false;
  }
  handle_ = reinterpret_cast<void*>(handle);
  return true;
}

bool Thread::Joinable() const noexcept {
  return handle_ != nullptr;
}

void Thread::Join() noexcept {
  if (handle_ == nullptr) return;
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

void Thread::Detach() noexcept {
  if (handle_ == nullptr) return;
  CloseHandle(handle_);
  handle_ = nullptr;
}

void YieldThread() noexcept {
  Sleep(0);  // gives up the rest of the time slice to any thread that is ready to run
}

unsigned ProcessorCount() noexcept {
  SYSTEM_INFO info;
  GetNativeSystemInfo(&info);  // the same count for a 32-bit program on a 64-bit system
  return info.dwNumberOfProcessors == 0 ? 1 : static_cast<unsigned>(info.dwNumberOfProcessors);
}

}  // namespace plat
