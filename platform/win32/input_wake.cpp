// Windows delivers window input through the thread's own queue: there is nothing to watch.
#include "platform/input_wake.h"

namespace plat {

bool WatchInputDescriptor(WindowHandle, int, std::uint32_t, std::function<bool()>) {
  return false;
}

void UnwatchInputDescriptor(WindowHandle, int) {}

}  // namespace plat
