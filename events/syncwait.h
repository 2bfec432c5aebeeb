// Waiting for a component's own asynchronous work on the component's thread while the rest of
// the thread (its window, other components, timers) stays live.
//
// The loop: while the work is not done, wait at most `input_wait_ms` for any input, pump the
// thread's messages through the component (MessagePump) when some arrived, re-test the work
// (the handlers run by the pump may have finished or aborted it), then give up when the
// component reads Terminated or the caller's own time-out has passed. Nothing is kept across a
// pump: every test reads the current state.
#pragma once

#include <cstdint>
#include <functional>

class TNetWndControl;

enum class TSyncWaitResult { swDone, swTerminated, swTimedOut };

struct TSyncWait {
  // The work is finished.
  std::function<bool()> Done;
  // The caller's own time-out has passed (may be empty: no time-out).
  std::function<bool()> TimedOut;
  std::uint32_t InputWaitMs = 1000;

  TSyncWaitResult Run(TNetWndControl& Component) const;
};
