// Timers of the asynchronous components: TNetTimer (a window timer) and TNetThreadTimer (a
// timer driven by a pool of clock threads). Both are owned by a TNetWndControl and deliver
// OnTimer on the owner's thread through the owner's hidden window.
//
// TNetTimer: the system timer of the owner's window, with the timer's address as its id and
// its stamp. TNetThreadTimer: a clock thread (TNetClockThread) of a shared pool
// (TNetClockPool) scans its timers every 100 ms and posts one tick message, the registered
// "BRISKOLA_NET_THREAD_TIMER", with the timer in wparam and its serial-number stamp in lparam.
// A tick is posted at the first scan at which Interval ms have passed since the previous tick
// was handled (or since the timer was started), and never while a previous tick of the same
// timer is queued or being handled.
//
// Ticks reach a timer only while it is alive: the dispatcher of the hidden windows asks the
// process-wide registry of live timers (keyed by stamp) before it fires anything, so a tick
// queued for a timer that has been destroyed is dropped without touching it. The registry also
// knows the thread a timer was last started on, and a tick dispatched on any other thread (one
// queued at the old window of an owner that has moved) is dropped as well.
//
// A timer follows its owner from thread to thread: a running timer stops when the owner
// detaches (TNetWndFollower) and starts again, with a fresh interval, when it attaches.
//
// Threads: a timer is created, changed, fired and destroyed on its owner's thread. Clock
// threads only read the timers of their clock under the clock's list lock and post messages;
// they never call OnTimer. An OnTimer handler may change or destroy its own timer (or the
// owner). The pool is process-wide; its lock, then a clock's lock, then that clock's list lock.
//
// Ownership: a timer is a component of its owner and is destroyed with it. The pool owns the
// clocks, a clock owns its thread; a clock's list references timers without owning them.
//
// Time: everything reads the tick count and waits through one process-wide
// TNetTimerClockSource. The default one is the system's tick counter and real waits; a test
// installs a controlled one (while no clock exists) to step clock threads deterministically.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "events/component.h"
#include "events/netwnd.h"
#include "platform/messages.h"
#include "platform/sync.h"
#include "platform/thread.h"

class TNetClock;
class TNetClockPool;
class TNetClockThread;

// An interval of all bits set: a clock thread waits without time limit (parked).
constexpr std::uint32_t NetClockWaitInfinite = 0xFFFFFFFFu;
// A thread timer's window after a post to it failed because the window was gone.
constexpr plat::WindowHandle NetTimerInvalidHandle = ~static_cast<plat::WindowHandle>(0);

// An auto-reset event: Set wakes the waiter, which consumes the signal.
// Threads: any thread may Set; one thread waits.
class TNetWakeUpEvent {
 public:
  void Set();
  bool IsSet() const { return FSet.load(); }
  // Waits at most TimeoutMs (NetClockWaitInfinite: no limit) of real time. True when the
  // event was set (and is now reset), false on time-out.
  bool WaitFor(std::uint32_t TimeoutMs);
  // Waits until the event is set (true; reset again) or Stop() reads true (false). Stop is
  // evaluated under the event's lock, again after every Notify.
  template <typename Pred>
  bool WaitUntil(Pred Stop) {
    std::unique_lock<plat::Mutex> lock(FMutex);
    FCond.wait(lock, [&] { return FSet.load() || Stop(); });
    if (FSet.load()) {
      FSet.store(false);
      return true;
    }
    return false;
  }
  // Makes a WaitUntil re-evaluate its condition.
  void Notify();

 private:
  plat::Mutex FMutex;
  plat::ConditionVariable FCond;
  std::atomic<bool> FSet{false};
};

enum class TNetClockWaitResult { cwSignaled, cwTimeout, cwAbandoned, cwFailed };

// Where the timers read the time and where the clock threads wait.
// Threads: every member may be called from the clock threads and the timers' threads at once.
class TNetTimerClockSource {
 public:
  virtual ~TNetTimerClockSource() = default;
  // Milliseconds, 32 bits, wrapping.
  virtual std::uint32_t TickCount() = 0;
  // Waits on Event for TimeoutMs (NetClockWaitInfinite: no limit). On cwFailed, ErrorText says
  // why.
  virtual TNetClockWaitResult Wait(TNetWakeUpEvent& Event, std::uint32_t TimeoutMs,
                                   std::string& ErrorText) = 0;
  // Gives up the rest of the clock thread's time slice between two waits.
  virtual void Yield() = 0;
  // A clock thread was created (called on the creating thread) / its loop has ended (called
  // on the clock thread, last thing).
  virtual void ThreadStarted() {}
  virtual void ThreadEnded() {}
};

// The system tick counter (plat::GetTickCount, test offset included) and real waits.
class TNetSystemClockSource : public TNetTimerClockSource {
 public:
  std::uint32_t TickCount() override;
  TNetClockWaitResult Wait(TNetWakeUpEvent& Event, std::uint32_t TimeoutMs,
                           std::string& ErrorText) override;
  void Yield() override;
};

// The source in use. SetNetTimerClockSource(nullptr) restores the system one. Changing it
// while clocks exist raises ENetTimerException; the caller keeps ownership.
TNetTimerClockSource& NetTimerClockSource();
void SetNetTimerClockSource(TNetTimerClockSource* Source);
// The tick count of the source in use.
std::uint32_t NetTimerTickCount();

// The registered id of the thread-timer tick message. Registers it (and installs the
// dispatcher's timer hooks) on first use; ENetTimerException when the system refuses.
std::uint32_t ThreadTimerMessage();

class TNetTimer : public TComponent, public TNetWndFollower {
 public:
  // ENetTimerException "Owner not assigned" when AOwner is null. Creating does not start it.
  explicit TNetTimer(TNetWndControl* AOwner);
  ~TNetTimer() override;

  // Writing Enabled or Interval with the current value does nothing; any other write (and
  // every write of OnTimer) requires the owner to be bound (ENetTimerException "No window
  // available") and restarts the timer's interval.
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  std::uint32_t Interval() const { return FInterval.load(std::memory_order_relaxed); }
  void SetInterval(std::uint32_t Value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  void SetOnTimer(TNotifyEvent Value);

  // The stamp the dispatcher compares: the address (window timer) or the serial number
  // (thread timer); 0 once destruction has begun.
  std::uintptr_t UID() const { return FUID.load(); }
  // Tick count of the last start of the system timer.
  std::uint32_t LastEvent() const { return FLastEvent; }
  TNetWndControl* NetWndControl() const { return FNetWndControl; }

  // The owner moves: a running timer stops on the old thread and starts on the new one.
  void OwnerLeavingThread() override;
  void OwnerJoinedThread() override;
  TNetWndFollower* NetWndFollower() override { return this; }

 protected:
  enum class TKind { tkWindow, tkThread };
  TNetTimer(TNetWndControl* AOwner, TKind Kind);

  // Enabled, with an interval and a handler: the timer ticks (unless its owner is detached).
  bool WantsTicks() const { return FEnabled && Interval() > 0 && FOnTimer; }
  // Stops the system timer or leaves the clock, without changing the settings.
  virtual void StopTicking();
  // Records the calling thread (0: none) as the one whose ticks may fire the timer.
  void SetTickThread(std::uint32_t ThreadId);

  virtual void ApplyTimerSettings();
  virtual void FireTimer();
  void CheckOwnerWindow();
  // Calls OnTimer through a copy, since the handler may replace it.
  void CallOnTimer();

  // True until destruction begins. Code after an OnTimer call holds a copy to learn whether
  // the handler destroyed the timer (then nothing of it may be touched). Not make_shared (here
  // and elsewhere): without run-time type information, as the Windows build is, its control
  // block calls a type comparison of libstdc++'s shared_ptr.o, 2.5 KB of the program.
  std::shared_ptr<bool> FAlive{new bool(true)};

  std::atomic<std::uintptr_t> FUID{0};
  std::atomic<std::uint32_t> FInterval{1000};
  bool FEnabled = true;
  TNotifyEvent FOnTimer;
  std::uint32_t FLastEvent = 0;
  TNetWndControl* FNetWndControl;
  // Stopped by the owner's detach; restarted by its attach.
  bool FSuspended = false;

 private:
  friend void DispatchWindowTimerTick(plat::WParam);
  friend void DispatchThreadTimerTick(plat::WParam, plat::LParam);

  TKind FKind;
  // The window the system timer was last set on (0: none).
  plat::WindowHandle FTimerWindow = 0;
};

class TNetThreadTimer : public TNetTimer {
 public:
  // Takes the next serial number and reserves a place on a clock of the shared pool.
  explicit TNetThreadTimer(TNetWndControl* AOwner);
  ~TNetThreadTimer() override;

  // The keep-alive flag of the timer's clock, shared by all timers of that clock.
  bool KeepThreadAlive() const;
  void SetKeepThreadAlive(bool Value);

  TNetClock* Clock() const { return FClock; }
  // The window ticks are posted to; NetTimerInvalidHandle once a post found it gone.
  plat::WindowHandle CurHandle() const;
  bool MsgQueued() const;

 protected:
  void ApplyTimerSettings() override;
  void FireTimer() override;
  void StopTicking() override;

 private:
  friend class TNetClock;
  friend class TNetClockThread;
  friend void ShutDownClockPool();

  // Guarded by the clock's list lock.
  bool FMsgQueued = false;
  std::uint32_t FQueuedTicks = 0;
  plat::WindowHandle FCurHandle = 0;
  TNetClock* FClock = nullptr;
};

// A set of up to MaxTimerPerClock thread timers served by one clock thread.
// Threads: SetTimer, KillTimer and MessageProcessed are called on the timers' threads.
class TNetClock {
 public:
  explicit TNetClock(TNetClockPool* AOwner);
  ~TNetClock();  // stops and frees the thread
  TNetClock(const TNetClock&) = delete;
  TNetClock& operator=(const TNetClock&) = delete;

  // Starts serving TimerObj (starting or waking the thread). ENetTimerException "Timer already
  // exists" when it is served already.
  void SetTimer(TNetThreadTimer* TimerObj);
  // Stops serving TimerObj. The last one parks the thread (keep-alive) or stops it.
  void KillTimer(TNetThreadTimer* TimerObj);
  // TimerObj's tick has been handled: its next interval starts now.
  void MessageProcessed(TNetThreadTimer* TimerObj);

  bool KeepThreadAlive() const { return FKeepThreadAlive.load(); }
  void SetKeepThreadAlive(bool Value) { FKeepThreadAlive.store(Value); }
  // Observation.
  TNetClockThread* Thread();
  int TimerCount();
  TNetClockPool* ClockPool() const { return FClockPool; }

 private:
  friend class TNetClockThread;
  friend class TNetThreadTimer;

  std::unique_ptr<TNetClockThread> FThread;
  TNetClockPool* FClockPool;
  std::vector<TNetThreadTimer*> FTimerList;
  TNetCriticalSection FTimerListLock;
  TNetCriticalSection FCritSecClock;
  std::atomic<bool> FKeepThreadAlive{false};
};

// The thread of a clock: waits FInterval ms, scans the clock's timers, posts the ticks due.
// Created running; destroyed by its clock (which stops it and waits for it).
class TNetClockThread {
 public:
  explicit TNetClockThread(TNetClock* AClock);
  ~TNetClockThread();
  TNetClockThread(const TNetClockThread&) = delete;
  TNetClockThread& operator=(const TNetClockThread&) = delete;

  // Never below the pool's resolution (NetClockWaitInfinite stays: a wait without limit);
  // wakes the thread so that its next wait uses the new value.
  void SetInterval(std::uint32_t Value);
  std::uint32_t Interval() const { return FInterval.load(); }
  // The loop has ended (told to, or its wait failed).
  bool Finished() const { return FFinished.load(); }
  // Why the loop ended on its own; empty otherwise. Read after Finished().
  std::string FatalError() const;

 private:
  void Execute();
  void Scan();

  TNetClock* FClock;
  TNetTimerClockSource* FSource;
  TNetWakeUpEvent FWakeUpEvent;
  std::atomic<std::uint32_t> FInterval;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  mutable plat::Mutex FErrorLock;
  std::string FFatalError;
  plat::Thread FThread;
};

class TNetClockPool {
 public:
  TNetClockPool() = default;
  ~TNetClockPool();  // frees every clock with its thread
  TNetClockPool(const TNetClockPool&) = delete;
  TNetClockPool& operator=(const TNetClockPool&) = delete;

  // A clock with room for one more timer (the first in list order; a new one when all are
  // full), creating the shared pool on demand.
  static TNetClock* Acquire();
  // Gives a place back. Keep-alive keeps the last user's place (and the clock with its
  // thread); otherwise a clock without users is freed, and the pool with its last clock.
  static void Release(TNetClock* AClock);
  // The shared pool, null while none exists. Read under the pool lock or on a quiet process.
  static TNetClockPool* Shared();

  int ClockCount() const { return static_cast<int>(FClockList.size()); }
  TNetClock* ClockAt(int Index) const {
    return FClockList[static_cast<std::size_t>(Index)].Clock.get();
  }
  // UserCount of AClock's entry, -1 when it has none.
  int UserCount(const TNetClock* AClock) const;
  int MaxTimerPerClock() const { return FMaxTimerPerClock; }
  std::uint32_t MinTimerRes() const { return FMinTimerRes; }

 private:
  struct TClockEntry {
    std::unique_ptr<TNetClock> Clock;
    int UserCount = 0;
  };
  TNetClock* TakeClock();
  void DropClock(TNetClock* AClock);

  std::vector<TClockEntry> FClockList;
  int FMaxTimerPerClock = 1000;
  std::uint32_t FMinTimerRes = 100;
};

// Program end: frees the shared pool with all its clocks and threads, whatever their users. A
// thread timer still alive afterwards takes a new place when it is next started. Call only
// while no other thread uses timers.
void ShutDownClockPool();

// The dispatcher's side (installed into NetTimerDispatch()): fire a live timer named by a
// tick, ignore anything else. Exceptions of OnTimer pass to the caller.
void DispatchWindowTimerTick(plat::WParam WParam);
void DispatchThreadTimerTick(plat::WParam WParam, plat::LParam LParam);
