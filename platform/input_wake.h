// Window input for the thread's waits on POSIX, where a toolkit's user input arrives on a
// descriptor of its own (the X connection) rather than in the thread's message queue.
//
// On Windows, waiting for the thread's input (WaitForInput, GetMessage) also returns for
// keyboard, mouse and paint input to the thread's windows. A POSIX toolkit hands its display
// descriptor here to get the same: each time new data arrives on it, `msg` is posted to
// `window`, which wakes every wait on the thread's queue, so a synchronous wait that dispatches
// only the queue (and then lets the toolkit handle its events) answers the user at once.
//
// A library that reads the descriptor itself may also read input ahead and keep it (Xlib
// queues the events it meets while waiting for a reply); the descriptor then stays quiet while
// input waits. `buffered` tells of such input: every wait of the thread that would block asks
// it first, and when it says yes `msg` is posted as if new data had arrived.
//
// Threads: call on the thread that owns `window`; the message arrives on that thread.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/messages.h"

namespace plat {

// Starts watching. False where the platform has no such descriptors (Win32), or when the
// window is not one of the calling thread's or the descriptor cannot be watched. `buffered`
// (may be empty) is called on this thread only and must not block or read.
bool WatchInputDescriptor(WindowHandle window, int fd, std::uint32_t msg,
                          std::function<bool()> buffered = {});
// Stops watching (before the window or the descriptor goes away).
void UnwatchInputDescriptor(WindowHandle window, int fd);

}  // namespace plat
