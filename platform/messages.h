// Per-thread message queues and hidden windows: the operating-system side of event dispatch.
//
// The model is the Windows one. Every thread that touches this module gets its own queue on
// first use. A window belongs to the thread that created it; a message posted to a window from
// any thread is delivered, in posting order, on the owning thread when that thread takes it
// from its queue (PeekMessage/GetMessage) and dispatches it (DispatchMessage), which calls the
// window's procedure. A destroyed window receives nothing more, also not messages that were
// already queued for it.
//
// Win32: thin wrappers over user32. POSIX: one epoll set per thread holding an eventfd (wakes
// the thread when something is posted), a timerfd (window timers) and whatever poll sources the
// socket binding registers.
//
// Threads: PostMessage may be called from any thread. Every other call acts on the calling
// thread's queue, or on windows the calling thread owns.
#pragma once

#include <cstdint>

namespace plat {

using WindowHandle = std::uintptr_t;  // 0 means "no window"
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

// A window procedure. Called on the window's thread only.
using WindowProc = LResult (*)(WindowHandle window, std::uint32_t msg, WParam wparam,
                               LParam lparam);

constexpr std::uint32_t kMsgQuit = 18;    // WM_QUIT
constexpr std::uint32_t kMsgTimer = 275;  // WM_TIMER
constexpr std::uint32_t kMsgUser = 1024;  // WM_USER: first id free for private use
constexpr std::uint32_t kErrorInvalidWindowHandle = 1400;
constexpr std::uint32_t kErrorClassAlreadyExists = 1410;
constexpr std::uint32_t kErrorClassDoesNotExist = 1411;
constexpr std::uint32_t kErrorClassHasWindows = 1412;
constexpr std::uint32_t kErrorCannotFindWndClass = 1407;

struct Message {
  WindowHandle window = 0;  // 0 for a thread message (the quit request)
  std::uint32_t msg = 0;
  WParam wparam = 0;
  LParam lparam = 0;
};

// Last error of the calling thread, as the system numbers it (GetLastError).
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// Window classes are process-wide, keyed by name (ASCII).
bool IsWindowClassRegistered(const char* class_name);
bool RegisterWindowClass(const char* class_name, WindowProc proc);  // false + last error
bool UnregisterWindowClass(const char* class_name);                 // false + last error

// Creates a hidden (never shown) window of a registered class, owned by the calling thread.
// Returns 0 and sets the last error on failure.
WindowHandle CreateHiddenWindow(const char* class_name);
// Destroys a window of the calling thread. Messages still queued for it are never delivered.
bool DestroyWindow(WindowHandle window);
bool IsWindow(WindowHandle window);

// The one pointer-sized user slot of a window (slot 0 of the window's extra bytes).
void SetWindowSlot(WindowHandle window, void* value);
void* GetWindowSlot(WindowHandle window);

// Neutral handling of a message nobody handles.
LResult DefWindowProc(WindowHandle window, std::uint32_t msg, WParam wparam, LParam lparam);

// Queues a message for the window's thread. Any thread. False + last error when the window
// does not exist.
bool PostMessage(WindowHandle window, std::uint32_t msg, WParam wparam, LParam lparam);
// Queues a quit request (message 18, window 0) for the calling thread.
void PostQuitMessage(int exit_code);

// Takes the next message of the calling thread without waiting. False when there is none.
bool PeekMessage(Message& out);
// Takes the next message, waiting as long as needed: 1 for a message, 0 for a quit request,
// -1 on error.
int GetMessage(Message& out);
// Keyboard translation step of the Windows loop; nothing on POSIX.
void TranslateMessage(const Message& m);
// Calls the procedure of the message's window (nothing for a thread message or a destroyed
// window) and returns its result.
LResult DispatchMessage(const Message& m);

// Removes every queued message with this id for this window of the calling thread.
void PurgeMessages(WindowHandle window, std::uint32_t msg);
// Whether a message with this id is queued for this window of the calling thread.
bool HasQueuedMessage(WindowHandle window, std::uint32_t msg);

// Whether window input or painting of the calling thread waits in its queue (Windows: the
// queue hands them out only when no posted message waits). Always false where the toolkit's
// events do not pass through this queue (POSIX: FLTK takes its own between two turns).
bool WindowInputWaiting();

// Waits until input is available for the calling thread or the time limit passes
// (MsgWaitForMultipleObjects with no handles and QS_ALLINPUT). Returns true when input is
// available. Returns at once when something is already queued or was posted meanwhile, also
// by another thread.
bool WaitForInput(std::uint32_t timeout_ms);

// Process-wide message ids by name, from 0xC000 upward; the same name gives the same id.
std::uint32_t RegisterWindowMessage(const char* name);

// Window timers: a message 275 (wparam = id) is delivered when due, at most one pending per
// timer, and again every interval until killed. Set on an existing id restarts it. SetTimer
// acts on windows of the calling thread; KillTimer, as on Windows, on any window of the
// process (a component that moved to another thread stops the timer of its old window).
// POSIX also removes a tick of the timer that is queued already; Windows may still deliver
// one, so the receiver checks that the timer is still its own.
bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t interval_ms);
bool KillTimer(WindowHandle window, std::uintptr_t id);

// A descriptor that becomes readable when the calling thread has input (POSIX: the thread's
// epoll set), so a toolkit's own loop can watch it. -1 where the platform has none (Win32).
int QueueWaitDescriptor();

}  // namespace plat
