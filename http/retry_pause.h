// TRetryPause: the wait between two download attempts.
//
// The time runs on the timers' clock (a TNetThreadTimer), so a test steps it instead of
// sleeping. While it runs, the thread's messages are dispatched (clicks, repaints, questions),
// and it ends early once the caller's Stop condition holds after a handler ran, or once the
// application is ending.
//
// Threads: create, run and destroy it on one thread, the thread whose messages it dispatches.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "events/netwnd.h"
#include "events/timers.h"

class TRetryPause : public TNetWndControl {
 public:
  TRetryPause();
  ~TRetryPause() override;

  // Waits Ms milliseconds on the timers' clock. True when the time has passed; false when Stop
  // (may be empty) read true or the application is ending.
  bool Run(std::uint32_t Ms, const std::function<bool()>& Stop);

 private:
  TNetThreadTimer* FTimer = nullptr;  // owned as a component of this control
  bool FElapsed = false;
};
