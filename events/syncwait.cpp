// The synchronous wait loop.
#include "events/syncwait.h"

#include "events/netwnd.h"
#include "platform/messages.h"

TSyncWaitResult TSyncWait::Run(TNetWndControl& Component) const {
  while (!Done()) {
    if (plat::WaitForInput(InputWaitMs)) Component.MessagePump();
    // The pump may have run any handler of the thread: read everything afresh.
    if (Done()) break;
    if (Component.Terminated()) return TSyncWaitResult::swTerminated;
    if (TimedOut && TimedOut()) return TSyncWaitResult::swTimedOut;
  }
  return TSyncWaitResult::swDone;
}
