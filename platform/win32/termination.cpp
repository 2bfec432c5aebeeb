// Windows asks a GUI program to end through its windows: there are no signals to watch.
#include "platform/termination.h"

namespace plat {

bool WatchTerminationSignals(WindowHandle, std::uint32_t) {
  return false;
}

void UnwatchTerminationSignals() {}

void RaiseTerminationSignal(int) {}

}  // namespace plat
