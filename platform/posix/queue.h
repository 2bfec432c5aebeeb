// POSIX only: hooks of the per-thread message queue for other parts of the POSIX backend.
//
// A poll source is a descriptor in the epoll set of the thread that owns a window. When the
// thread looks for input (PeekMessage, GetMessage, WaitForInput) and epoll reports the
// descriptor ready, the source's OnReady runs on that thread; it typically posts a notice to
// its window. The asynchronous socket selection is built on this.
//
// A source may also take part in the thread's waits (AddWaitCheck): a library that reads its
// descriptor itself can hold input the descriptor no longer shows (an X client library queues
// the events it read while it waited for a reply), and a wait on the epoll set alone would
// sleep on it.
#pragma once

#include <cstdint>

#include "platform/messages.h"

namespace plat::posix {

class PollSource {
 public:
  virtual ~PollSource() = default;
  // Runs on the owning thread with the epoll events that were reported.
  virtual void OnReady(std::uint32_t epoll_events) = 0;
  // For sources added with AddWaitCheck: runs on the owning thread when a wait for input
  // (GetMessage, WaitForInput) finds nothing queued, before it blocks. Posting a message here
  // ends the wait at once. A plain look (PeekMessage) does not run it.
  virtual void BeforeWait() {}
};

// Adds, changes or removes `fd` in the epoll set of the thread that owns `window`. The source
// must stay alive until removed. Add/Modify return false + errno on failure.
bool AddPollSource(WindowHandle window, int fd, std::uint32_t epoll_events, PollSource* source);
bool ModifyPollSource(WindowHandle window, int fd, std::uint32_t epoll_events, PollSource* source);
void RemovePollSource(WindowHandle window, int fd);

// Makes the calling thread's waits run source->BeforeWait first; the source must stay alive
// until removed. Adding twice does nothing more.
void AddWaitCheck(PollSource* source);
void RemoveWaitCheck(PollSource* source);

// The id of the thread that owns a window, 0 when the window does not exist.
std::uint32_t WindowThreadId(WindowHandle window);

}  // namespace plat::posix
