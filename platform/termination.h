// Requests from the system to end the program (POSIX: SIGTERM, SIGINT, SIGHUP), delivered as
// a message to a window of the calling thread, so the program ends along the same path as
// when its window is closed and cleans up what it leaves behind.
//
// POSIX: each signal's handler writes its number into a pipe (nothing else is safe in a signal
// handler); the pipe's read end is a poll source of the watching thread's queue, which posts
// `msg` to `window` with the signal number in wparam. The handlers stay installed until
// UnwatchTerminationSignals, which puts the previous ones back. Programs started meanwhile get
// the default actions (a handler does not survive exec).
//
// Win32: nothing to watch; a GUI program is asked to end through its windows
// (WM_CLOSE, WM_QUERYENDSESSION).
//
// Threads: watch and unwatch on the thread that owns `window`; one watch per process.
#pragma once

#include <cstdint>

#include "platform/messages.h"

namespace plat {

// Starts delivering termination signals to `window`. False where there is nothing to watch
// (Win32), when a watch exists already, or when the signals cannot be caught.
bool WatchTerminationSignals(WindowHandle window, std::uint32_t msg);
// Stops the watch and restores the handlers it replaced. Nothing happens without a watch.
void UnwatchTerminationSignals();
// Ends the process the way `signal_number` does by default (the parent sees the signal), for
// a program that has cleaned up after catching it. Returns only where that is not possible.
void RaiseTerminationSignal(int signal_number);

}  // namespace plat
