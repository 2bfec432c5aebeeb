// GoogleTest's Notification over the system's lock and condition (see
// gtest/internal/custom/gtest-port.h).
#include <windows.h>

#include "gtest/internal/gtest-port.h"

namespace testing {
namespace internal {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "the lock and the condition are one pointer each, initially zero");

void Notification::Notify() {
  auto* lock = reinterpret_cast<SRWLOCK*>(&lock_);
  AcquireSRWLockExclusive(lock);
  notified_ = true;
  ReleaseSRWLockExclusive(lock);
  WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&cond_));
}

void Notification::WaitForNotification() {
  auto* lock = reinterpret_cast<SRWLOCK*>(&lock_);
  AcquireSRWLockExclusive(lock);
  while (!notified_)
    SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(&cond_), lock, INFINITE, 0);
  ReleaseSRWLockExclusive(lock);
}

}  // namespace internal
}  // namespace testing
