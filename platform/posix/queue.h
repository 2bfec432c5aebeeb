// POSIX only: hooks of the per-thread message queue for other parts of the POSIX backend.
//
// A poll source is a descriptor in the epoll set of the thread that owns a window. When the
// thread looks for input (PeekMessage, GetMessage, WaitForInput) and epoll reports the
// descriptor ready, the source's OnReady runs on that thread; it typically posts a notice to
// its window. The asynchronous socket selection is built on this.
#pragma once

#include <cstdint>

#include "platform/messages.h"

namespace plat::posix {

class PollSource {
 public:
  virtual ~PollSource() = default;
  // Runs on the owning thread with the epoll events that were reported.
  virtual void OnReady(std::uint32_t epoll_events) = 0;
};

// Adds, changes or removes `fd` in the epoll set of the thread that owns `window`. The source
// must stay alive until removed. Add/Modify return false + errno on failure.
bool AddPollSource(WindowHandle window, int fd, std::uint32_t epoll_events, PollSource* source);
bool ModifyPollSource(WindowHandle window, int fd, std::uint32_t epoll_events, PollSource* source);
void RemovePollSource(WindowHandle window, int fd);

// The id of the thread that owns a window, 0 when the window does not exist.
std::uint32_t WindowThreadId(WindowHandle window);

}  // namespace plat::posix
