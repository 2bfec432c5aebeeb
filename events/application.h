// The toolkit application as the network components see it: the thread's pump for nested
// waits, and the application-wide terminate flag.
//
// The process has one current application. Until a toolkit installs its own (the FLTK or the
// Win32 wizard), the headless one is used, which runs on the thread's own message queue.
//
// Threads: the application belongs to the user-interface thread; every call is made there.
#pragma once

#include <cstdint>

class TApplicationBase {
 public:
  virtual ~TApplicationBase() = default;
  // Dispatches every message queued for the calling thread and returns when the queue is
  // empty; never waits for a new one. A quit request sets the terminate flag and is consumed.
  // A toolkit's pump gives its own events (input, painting) a turn at least every
  // kQueueTurnMs while the queue stays full, and returns early once the terminate flag is set,
  // so a nested wait sees the quit even while a fast download keeps the queue full.
  virtual void ProcessMessages() = 0;
  // Set once the application is ending (a quit request was taken, or Terminate was called).
  virtual bool Terminated() const = 0;
  virtual void Terminate() = 0;
  // Runs the application loop until the main window closes or the application terminates.
  virtual void Run() = 0;
};

// Runs on the calling thread's message queue, without any window of its own.
class THeadlessApplication : public TApplicationBase {
 public:
  void ProcessMessages() override;
  bool Terminated() const override { return terminated_; }
  void Terminate() override { terminated_ = true; }
  // Dispatches messages until a quit request or Terminate.
  void Run() override;

 private:
  bool terminated_ = false;
};

// How long one turn of a pump may dispatch the thread's queue before the toolkit's own events
// get theirs, in milliseconds.
constexpr std::uint32_t kQueueTurnMs = 10;
// A turn that lasts until the queue is empty.
constexpr std::uint32_t kQueueTurnUnbounded = 0xFFFFFFFFu;

// One turn of the calling thread's queue: dispatches its messages in order, those posted
// meanwhile included, until the queue is empty (true) or `budget_ms` have passed on the timers'
// clock (NetTimerTickCount), which is read after each message (false: messages are left). A
// turn dispatches at least one message when one is queued. A quit request sets `terminated`
// and is consumed; the turn goes on.
bool DispatchQueueTurn(bool& terminated, std::uint32_t budget_ms);

// The current application (the process's headless one unless another was installed).
TApplicationBase& Application();
// Installs an application (nullptr restores the headless one). The caller keeps ownership.
void SetApplication(TApplicationBase* app);
