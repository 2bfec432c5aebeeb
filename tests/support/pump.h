// Message pumping for asynchronous tests: every wait has its own deadline, so a lost message
// fails the test instead of hanging it.
#pragma once

#include <functional>

namespace support {

// Dispatches the calling thread's messages until `done` returns true (true) or timeout_ms has
// passed (false). Waits for input in short slices between the checks.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 5000);

// Dispatches everything that is queued or ready now (socket notices included) and returns
// once nothing more is waiting.
void PumpPending();

}  // namespace support
