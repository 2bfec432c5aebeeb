// TThread: a worker thread whose completion handler runs on the thread that created it.
//
// Created (suspended or not) on a thread that dispatches its message queue, normally the
// user-interface thread. When Execute has returned, the worker posts a message to a hidden
// window of the creating thread and waits until that thread has dispatched it and run
// OnTerminate; then the worker ends and, with FreeOnTerminate, frees the object itself. Should
// the creating thread end first, the worker stops waiting and the handler never runs.
//
// Threads: construct, Start, set the fields and destroy on the creating thread. Execute runs
// on the worker. OnTerminate runs on the creating thread, from its message queue. A thread
// object without FreeOnTerminate may be destroyed at any time on the creating thread: its
// completion handler then no longer runs, and the destructor waits for Execute to return.
// The program may end while a worker with FreeOnTerminate still runs: what the worker touches
// after its body (the completion table, the message queues) is never destroyed, and a
// completion that can no longer be posted just frees the object.
//
// Ownership: with FreeOnTerminate nobody may touch the object after Start except from inside
// OnTerminate; the creating thread may keep a pointer only for use there.
#pragma once

#include <cstdint>
#include <mutex>

#include "events/component.h"
#include "platform/thread.h"

namespace installer {

class TThread : public TObject {
 public:
  explicit TThread(bool CreateSuspended);
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts a thread created suspended. Once only. Raises an exception derived from
  // std::exception when the system cannot start a thread; the object is then as before, and
  // its owner frees it.
  void Start();
  bool Started() const { return started_; }

  bool FreeOnTerminate = false;
  // Runs on the creating thread after Execute has returned.
  TNotifyEvent OnTerminate;

 protected:
  virtual void Execute() = 0;

 private:
  friend struct TThreadSync;
  void Run();
  // Runs the completion handler on the creating thread (from the sync window).
  void DeliverTerminate();

  plat::Thread worker_;
  bool started_ = false;
  std::uintptr_t sync_window_ = 0;

  plat::Mutex mu_;
  plat::ConditionVariable cv_;
  std::uint64_t pending_id_ = 0;  // the posted completion that has not been handled yet
  bool handled_ = false;
  bool destroying_ = false;
};

}  // namespace installer
