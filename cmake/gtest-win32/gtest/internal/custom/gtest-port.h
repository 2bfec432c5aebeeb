// GoogleTest's port settings for Windows programs built with the compiler's win32 thread model.
//
// GoogleTest locks and makes threads with the system's own calls on Windows, except for its
// Notification (a one-shot event for its own thread tests), which it writes with std::mutex and
// std::condition_variable; the win32 model's library has neither. This Notification waits on
// the system's lock and condition (notification.cpp) instead. Found before the copy of this
// header in GoogleTest's sources, which it then includes.
#ifndef VEXLOR_GTEST_CUSTOM_PORT_H_
#define VEXLOR_GTEST_CUSTOM_PORT_H_

#include_next "gtest/internal/custom/gtest-port.h"

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  // Lets every waiter go, now and later.
  void Notify();
  // Returns once Notify has been called.
  void WaitForNotification();

 private:
  void* lock_ = nullptr;  // an SRWLOCK
  void* cond_ = nullptr;  // a CONDITION_VARIABLE
  bool notified_ = false;
};

}  // namespace internal
}  // namespace testing

#endif  // VEXLOR_GTEST_CUSTOM_PORT_H_
