// Makes one system call fail on the calling thread, for faults a test cannot cause otherwise
// (no local port left for a connect, no thread to spare). Linux x86-64 only: a seccomp filter that
// answers the call with an error number; other threads and the rest of the process are not
// affected. The filter stays until the thread ends, so call it on a thread of the test's own.
#pragma once

namespace support {

enum class SystemCall {
  kConnect,
  kThreadCreation,  // clone and clone3: starting a thread fails
};

// False when the system refuses the filter (or has none); the caller then skips.
bool FailSystemCallOnThisThread(SystemCall call, int error_number);

}  // namespace support
