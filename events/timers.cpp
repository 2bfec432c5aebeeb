// Window timers, thread timers and the clock-thread pool.
#include "events/timers.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <unordered_map>

#include "platform/exceptions.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

constexpr const char* kThreadTimerMessageName = "BRISKOLA_NET_THREAD_TIMER";
// The owner's queue is full: the rest of the scan waits for the next one.
constexpr std::uint32_t kErrorNotEnoughQuota = 1816;

plat::Mutex g_module_lock;
std::atomic<bool> g_module_ready{false};
std::atomic<std::uint32_t> g_thread_timer_message{0};
std::atomic<std::uint32_t> g_serial{0};
std::atomic<TNetTimerClockSource*> g_source{nullptr};

// Guarded by ClockPoolLock().
TNetClockPool* g_shared_pool = nullptr;

// Process-wide objects used up to the very end of the program: never destroyed.
TNetCriticalSection& ClockPoolLock() {
  static auto* lock = new TNetCriticalSection;
  return *lock;
}

TNetSystemClockSource& SystemSource() {
  static auto* source = new TNetSystemClockSource;
  return *source;
}

// The live timers by stamp. A tick names its timer by stamp (and pointer); only a timer found
// here is touched, so a tick that outlived its timer is dropped without reading freed memory.
struct TTimerEntry {
  TNetTimer* Timer = nullptr;
  // The thread the timer was last started on: only a tick dispatched there fires it.
  std::uint32_t Thread = 0;
};
struct TTimerRegistry {
  plat::Mutex Lock;
  std::unordered_map<std::uintptr_t, TTimerEntry> WindowTimers;
  std::unordered_map<std::uintptr_t, TTimerEntry> ThreadTimers;
};

TTimerRegistry& Registry() {
  static auto* registry = new TTimerRegistry;
  return *registry;
}

void Unregister(std::unordered_map<std::uintptr_t, TTimerEntry>& map, std::uintptr_t uid,
                TNetTimer* timer) {
  auto it = map.find(uid);
  if (it != map.end() && it->second.Timer == timer) map.erase(it);
}

// Registers the tick message and hands the dispatcher its timer hooks, once, before the first
// timer exists (no tick can arrive earlier). A refused registration is retried by the next
// timer.
void InitTimerModule() {
  if (g_module_ready.load(std::memory_order_acquire)) return;
  std::lock_guard<plat::Mutex> lock(g_module_lock);
  if (g_module_ready.load(std::memory_order_relaxed)) return;
  std::uint32_t id = plat::RegisterWindowMessage(kThreadTimerMessageName);
  if (id == 0) {
    throw ENetTimerException("Unable to register the thread timer message. Error #" +
                             text::DecimalStr(plat::GetLastError()) + ".");
  }
  g_thread_timer_message.store(id);
  TNetTimerDispatch& dispatch = NetTimerDispatch();
  dispatch.WindowTimerTick = DispatchWindowTimerTick;
  dispatch.ThreadTimerTick = DispatchThreadTimerTick;
  dispatch.ThreadTimerMessage = id;
  g_module_ready.store(true, std::memory_order_release);
}

TNetWndControl* RequireOwner(TNetWndControl* AOwner) {
  if (AOwner == nullptr) throw ENetTimerException("Owner not assigned");
  InitTimerModule();
  return AOwner;
}

std::uintptr_t NextSerial() {
  std::uint32_t serial;
  do {
    serial = g_serial.fetch_add(1) + 1;
  } while (serial == 0);  // 0 is the stamp of a timer being destroyed
  return serial;
}

// Program end: stops every clock thread while the rest of the program still exists.
struct TClockPoolFinalizer {
  ~TClockPoolFinalizer() { ShutDownClockPool(); }
} g_clock_pool_finalizer;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Time

void TNetWakeUpEvent::Set() {
  std::lock_guard<plat::Mutex> lock(FMutex);
  FSet.store(true);
  FCond.notify_all();
}

void TNetWakeUpEvent::Notify() {
  std::lock_guard<plat::Mutex> lock(FMutex);
  FCond.notify_all();
}

bool TNetWakeUpEvent::WaitFor(std::uint32_t TimeoutMs) {
  std::unique_lock<plat::Mutex> lock(FMutex);
  auto is_set = [&] { return FSet.load(); };
  if (TimeoutMs == NetClockWaitInfinite) {
    FCond.wait(lock, is_set);
  } else if (!plat::WaitFor(FCond, lock, std::chrono::milliseconds(TimeoutMs), is_set)) {
    return false;
  }
  FSet.store(false);
  return true;
}

std::uint32_t TNetSystemClockSource::TickCount() {
  return plat::GetTickCount();
}

TNetClockWaitResult TNetSystemClockSource::Wait(TNetWakeUpEvent& Event, std::uint32_t TimeoutMs,
                                                std::string&) {
  return Event.WaitFor(TimeoutMs) ? TNetClockWaitResult::cwSignaled
                                  : TNetClockWaitResult::cwTimeout;
}

void TNetSystemClockSource::Yield() {
  plat::YieldThread();
}

TNetTimerClockSource& NetTimerClockSource() {
  TNetTimerClockSource* source = g_source.load();
  return source != nullptr ? *source : SystemSource();
}

void SetNetTimerClockSource(TNetTimerClockSource* Source) {
  std::lock_guard<TNetCriticalSection> lock(ClockPoolLock());
  // A running clock thread keeps the source it started with; a change now would mix times.
  if (g_shared_pool != nullptr)
    throw ENetTimerException("The timer clock source cannot change while clocks exist");
  g_source.store(Source);
}

std::uint32_t NetTimerTickCount() {
  return NetTimerClockSource().TickCount();
}

std::uint32_t ThreadTimerMessage() {
  InitTimerModule();
  return g_thread_timer_message.load();
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void DispatchWindowTimerTick(plat::WParam WParam) {
  TNetTimer* timer = nullptr;
  {
    TTimerRegistry& reg = Registry();
    std::lock_guard<plat::Mutex> lock(reg.Lock);
    auto it = reg.WindowTimers.find(WParam);
    if (it != reg.WindowTimers.end() && it->second.Timer->FUID.load() == WParam &&
        it->second.Thread == plat::CurrentThreadId())
      timer = it->second.Timer;
  }
  // Only a timer started on this thread fires, and it is also destroyed here: it cannot go
  // away between the test above and the call.
  if (timer != nullptr) timer->FireTimer();
}

void DispatchThreadTimerTick(plat::WParam WParam, plat::LParam LParam) {
  auto uid = static_cast<std::uintptr_t>(LParam);
  TNetTimer* timer = nullptr;
  {
    TTimerRegistry& reg = Registry();
    std::lock_guard<plat::Mutex> lock(reg.Lock);
    auto it = reg.ThreadTimers.find(uid);
    if (it != reg.ThreadTimers.end() &&
        reinterpret_cast<plat::WParam>(it->second.Timer) == WParam &&
        it->second.Timer->FUID.load() == uid && it->second.Thread == plat::CurrentThreadId()) {
      timer = it->second.Timer;
    }
  }
  if (timer != nullptr) timer->FireTimer();
}

// ---------------------------------------------------------------------------------------------
// TNetTimer

TNetTimer::TNetTimer(TNetWndControl* AOwner) : TNetTimer(AOwner, TKind::tkWindow) {}

TNetTimer::TNetTimer(TNetWndControl* AOwner, TKind Kind)
    : TComponent(RequireOwner(AOwner)), FNetWndControl(AOwner), FKind(Kind) {
  if (FKind == TKind::tkWindow) {
    auto uid = reinterpret_cast<std::uintptr_t>(this);
    FUID.store(uid);
    TTimerRegistry& reg = Registry();
    std::lock_guard<plat::Mutex> lock(reg.Lock);
    reg.WindowTimers[uid] = TTimerEntry{this, 0};
  }
}

TNetTimer::~TNetTimer() {
  *FAlive = false;
  std::uintptr_t uid = FUID.exchange(0);
  if (uid != 0) {
    TTimerRegistry& reg = Registry();
    std::lock_guard<plat::Mutex> lock(reg.Lock);
    Unregister(FKind == TKind::tkWindow ? reg.WindowTimers : reg.ThreadTimers, uid, this);
  }
  // The system timer is killed where it was set. The owner is not asked: when it destroys its
  // components it has already left its window (which took its timers along).
  FEnabled = false;
  if (FKind == TKind::tkWindow && FTimerWindow != 0) {
    plat::KillTimer(FTimerWindow, reinterpret_cast<std::uintptr_t>(this));
    FTimerWindow = 0;
  }
}

void TNetTimer::CheckOwnerWindow() {
  if (FNetWndControl->ThreadID() == 0) throw ENetTimerException("No window available");
}

void TNetTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  CheckOwnerWindow();
  FEnabled = Value;
  ApplyTimerSettings();
}

void TNetTimer::SetInterval(std::uint32_t Value) {
  if (Value == Interval()) return;
  CheckOwnerWindow();
  FInterval.store(Value);
  ApplyTimerSettings();
}

void TNetTimer::SetOnTimer(TNotifyEvent Value) {
  CheckOwnerWindow();
  FOnTimer = std::move(Value);
  ApplyTimerSettings();
}

void TNetTimer::SetTickThread(std::uint32_t ThreadId) {
  std::uintptr_t uid = FUID.load();
  if (uid == 0) return;
  TTimerRegistry& reg = Registry();
  std::lock_guard<plat::Mutex> lock(reg.Lock);
  auto& map = FKind == TKind::tkWindow ? reg.WindowTimers : reg.ThreadTimers;
  auto it = map.find(uid);
  if (it != map.end() && it->second.Timer == this) it->second.Thread = ThreadId;
}

void TNetTimer::StopTicking() {
  if (FTimerWindow != 0) {
    // The window may belong to the thread the owner has left (a timer not changed since):
    // the system timer is killed there all the same.
    plat::KillTimer(FTimerWindow, reinterpret_cast<std::uintptr_t>(this));
    FTimerWindow = 0;
  }
}

void TNetTimer::OwnerLeavingThread() {
  if (!WantsTicks()) return;
  FSuspended = true;
  StopTicking();
  SetTickThread(0);
}

void TNetTimer::OwnerJoinedThread() {
  if (!FSuspended) return;
  FSuspended = false;
  ApplyTimerSettings();
}

void TNetTimer::ApplyTimerSettings() {
  plat::WindowHandle window = FNetWndControl->Handle();
  auto id = reinterpret_cast<std::uintptr_t>(this);
  StopTicking();
  plat::KillTimer(window, id);
  FSuspended = false;
  if (!WantsTicks()) return;
  SetTickThread(plat::CurrentThreadId());
  if (!plat::SetTimer(window, id, Interval())) {
    FEnabled = false;
    throw ENetTimerException("No more timers");
  }
  FTimerWindow = window;
  FLastEvent = NetTimerTickCount();
}

void TNetTimer::CallOnTimer() {
  TNotifyEvent handler = FOnTimer;
  handler(this);
}

void TNetTimer::FireTimer() {
  if (FOnTimer) CallOnTimer();
}

// ---------------------------------------------------------------------------------------------
// TNetThreadTimer

TNetThreadTimer::TNetThreadTimer(TNetWndControl* AOwner) : TNetTimer(AOwner, TKind::tkThread) {
  std::uintptr_t uid = NextSerial();
  FClock = TNetClockPool::Acquire();
  FUID.store(uid);
  TTimerRegistry& reg = Registry();
  std::lock_guard<plat::Mutex> lock(reg.Lock);
  reg.ThreadTimers[uid] = TTimerEntry{this, 0};
}

TNetThreadTimer::~TNetThreadTimer() {
  std::uintptr_t uid = FUID.exchange(0);
  {
    TTimerRegistry& reg = Registry();
    std::lock_guard<plat::Mutex> lock(reg.Lock);
    if (uid != 0) Unregister(reg.ThreadTimers, uid, this);
  }
  // Leaves the clock whatever the owner's state: a clock thread must never scan a freed timer.
  // (Switching off through Enabled would refuse an owner that has left its window.)
  FEnabled = false;
  if (FClock != nullptr) {
    FClock->KillTimer(this);
    TNetClockPool::Release(FClock);
    FClock = nullptr;
  }
}

bool TNetThreadTimer::KeepThreadAlive() const {
  return FClock != nullptr && FClock->KeepThreadAlive();
}

void TNetThreadTimer::SetKeepThreadAlive(bool Value) {
  if (FClock == nullptr) FClock = TNetClockPool::Acquire();
  FClock->SetKeepThreadAlive(Value);
}

plat::WindowHandle TNetThreadTimer::CurHandle() const {
  if (FClock == nullptr) return FCurHandle;
  std::lock_guard<TNetCriticalSection> lock(FClock->FTimerListLock);
  return FCurHandle;
}

bool TNetThreadTimer::MsgQueued() const {
  if (FClock == nullptr) return FMsgQueued;
  std::lock_guard<TNetCriticalSection> lock(FClock->FTimerListLock);
  return FMsgQueued;
}

void TNetThreadTimer::StopTicking() {
  if (FClock != nullptr) FClock->KillTimer(this);
}

void TNetThreadTimer::ApplyTimerSettings() {
  // After the pool was shut down the timer takes a new place.
  if (FClock == nullptr) FClock = TNetClockPool::Acquire();
  FClock->KillTimer(this);
  FSuspended = false;
  if (WantsTicks()) {
    SetTickThread(plat::CurrentThreadId());
    try {
      FClock->SetTimer(this);
    } catch (...) {
      FEnabled = false;
      throw;
    }
  }
}

void TNetThreadTimer::FireTimer() {
  std::shared_ptr<bool> alive = FAlive;
  try {
    if (FEnabled && FOnTimer) CallOnTimer();
  } catch (...) {
    // Ticking goes on after a failing handler.
    if (*alive && FClock != nullptr) FClock->MessageProcessed(this);
    throw;
  }
  if (*alive && FClock != nullptr) FClock->MessageProcessed(this);
}

// ---------------------------------------------------------------------------------------------
// TNetClock

TNetClock::TNetClock(TNetClockPool* AOwner) : FClockPool(AOwner) {}

TNetClock::~TNetClock() {
  std::lock_guard<TNetCriticalSection> lock(FCritSecClock);
  FThread.reset();
}

void TNetClock::SetTimer(TNetThreadTimer* TimerObj) {
  std::lock_guard<TNetCriticalSection> clock_lock(FCritSecClock);
  if (FThread && FThread->Finished()) FThread.reset();
  {
    std::lock_guard<TNetCriticalSection> list_lock(FTimerListLock);
    if (std::find(FTimerList.begin(), FTimerList.end(), TimerObj) != FTimerList.end())
      throw ENetTimerException("Timer already exists");
  }
  // Read before any thread starts: binding the owner may fail.
  plat::WindowHandle window = TimerObj->FNetWndControl->Handle();
  if (!FThread) FThread = std::make_unique<TNetClockThread>(this);
  {
    std::lock_guard<TNetCriticalSection> list_lock(FTimerListLock);
    TimerObj->FQueuedTicks = NetTimerTickCount();
    TimerObj->FMsgQueued = false;
    TimerObj->FCurHandle = window;
    FTimerList.push_back(TimerObj);
  }
  if (FThread->Interval() == NetClockWaitInfinite) FThread->SetInterval(FClockPool->MinTimerRes());
}

void TNetClock::KillTimer(TNetThreadTimer* TimerObj) {
  std::lock_guard<TNetCriticalSection> clock_lock(FCritSecClock);
  bool empty;
  {
    std::lock_guard<TNetCriticalSection> list_lock(FTimerListLock);
    auto it = std::find(FTimerList.begin(), FTimerList.end(), TimerObj);
    if (it != FTimerList.end()) FTimerList.erase(it);
    empty = FTimerList.empty();
  }
  if (!empty || !FThread) return;
  // The thread takes only the list lock, so waiting for it here under the clock lock is safe.
  if (FKeepThreadAlive.load() && !FThread->Finished())
    FThread->SetInterval(NetClockWaitInfinite);
  else
    FThread.reset();
}

void TNetClock::MessageProcessed(TNetThreadTimer* TimerObj) {
  std::lock_guard<TNetCriticalSection> list_lock(FTimerListLock);
  TimerObj->FMsgQueued = false;
  TimerObj->FQueuedTicks = NetTimerTickCount();
}

TNetClockThread* TNetClock::Thread() {
  std::lock_guard<TNetCriticalSection> clock_lock(FCritSecClock);
  return FThread.get();
}

int TNetClock::TimerCount() {
  std::lock_guard<TNetCriticalSection> list_lock(FTimerListLock);
  return static_cast<int>(FTimerList.size());
}

// ---------------------------------------------------------------------------------------------
// TNetClockThread

TNetClockThread::TNetClockThread(TNetClock* AClock)
    : FClock(AClock),
      FSource(&NetTimerClockSource()),
      FInterval(AClock->ClockPool()->MinTimerRes()) {
  FSource->ThreadStarted();
  bool started = false;
  try {
    started = FThread.Start([this] { Execute(); });
  } catch (...) {  // no memory for the thread's start
  }
  if (!started) {
    FSource->ThreadEnded();
    throw ENetTimerException("Cannot start a clock thread: the system refused it");
  }
}

TNetClockThread::~TNetClockThread() {
  FTerminated.store(true);
  FWakeUpEvent.Set();
  FThread.Join();
}

void TNetClockThread::SetInterval(std::uint32_t Value) {
  FInterval.store(std::max(Value, FClock->ClockPool()->MinTimerRes()));
  FWakeUpEvent.Set();
}

std::string TNetClockThread::FatalError() const {
  std::lock_guard<plat::Mutex> lock(FErrorLock);
  return FFatalError;
}

void TNetClockThread::Execute() {
  std::string fatal;
  try {
    bool running = true;
    while (running && !FTerminated.load()) {
      std::string error;
      switch (FSource->Wait(FWakeUpEvent, FInterval.load(), error)) {
        case TNetClockWaitResult::cwSignaled:
          // A new interval, or the request to end.
          if (FTerminated.load()) running = false;
          break;
        case TNetClockWaitResult::cwAbandoned:
          running = false;
          break;
        case TNetClockWaitResult::cwFailed:
          throw ENetTimerException(error);
        case TNetClockWaitResult::cwTimeout:
          Scan();
          break;
      }
      if (running) FSource->Yield();
    }
  } catch (std::exception& E) {
    fatal = E.what();
  } catch (...) {
    fatal = "Unknown failure of the clock thread";
  }
  {
    std::lock_guard<plat::Mutex> lock(FErrorLock);
    FFatalError = fatal;
  }
  FTerminated.store(true);
  {
    // The timers of a clock without a thread are started again by their next SetTimer.
    std::lock_guard<TNetCriticalSection> list_lock(FClock->FTimerListLock);
    FClock->FTimerList.clear();
  }
  FFinished.store(true);
  FSource->ThreadEnded();
}

void TNetClockThread::Scan() {
  std::uint32_t now = FSource->TickCount();
  std::uint32_t msg = g_thread_timer_message.load();
  std::lock_guard<TNetCriticalSection> list_lock(FClock->FTimerListLock);
  for (TNetThreadTimer* timer : FClock->FTimerList) {
    if (FTerminated.load()) return;
    if (timer->FCurHandle == NetTimerInvalidHandle) continue;
    if (timer->FMsgQueued) {
      timer->FQueuedTicks = now;
      continue;
    }
    if (timer->Interval() > plat::TicksBetween(timer->FQueuedTicks, now)) continue;
    if (plat::PostMessage(timer->FCurHandle, msg,
                          reinterpret_cast<plat::WParam>(static_cast<TNetTimer*>(timer)),
                          static_cast<plat::LParam>(timer->UID()))) {
      timer->FQueuedTicks = now;
      timer->FMsgQueued = true;
      continue;
    }
    std::uint32_t error = plat::GetLastError();
    if (error == plat::kErrorInvalidWindowHandle) {
      // The owner's window is gone: this timer is never posted again.
      timer->FCurHandle = NetTimerInvalidHandle;
    } else if (error == kErrorNotEnoughQuota) {
      break;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TNetClockPool

TNetClockPool::~TNetClockPool() {
  // Each clock stops and waits for its thread.
  FClockList.clear();
}

TNetClock* TNetClockPool::Acquire() {
  std::lock_guard<TNetCriticalSection> lock(ClockPoolLock());
  if (g_shared_pool == nullptr) g_shared_pool = new TNetClockPool;
  return g_shared_pool->TakeClock();
}

void TNetClockPool::Release(TNetClock* AClock) {
  std::lock_guard<TNetCriticalSection> lock(ClockPoolLock());
  if (g_shared_pool == nullptr) return;
  g_shared_pool->DropClock(AClock);
  if (g_shared_pool->FClockList.empty()) {
    delete g_shared_pool;
    g_shared_pool = nullptr;
  }
}

TNetClockPool* TNetClockPool::Shared() {
  std::lock_guard<TNetCriticalSection> lock(ClockPoolLock());
  return g_shared_pool;
}

int TNetClockPool::UserCount(const TNetClock* AClock) const {
  for (const auto& entry : FClockList)
    if (entry.Clock.get() == AClock) return entry.UserCount;
  return -1;
}

TNetClock* TNetClockPool::TakeClock() {
  for (auto& entry : FClockList) {
    if (entry.UserCount < FMaxTimerPerClock) {
      ++entry.UserCount;
      return entry.Clock.get();
    }
  }
  FClockList.push_back(TClockEntry{std::make_unique<TNetClock>(this), 1});
  return FClockList.back().Clock.get();
}

void TNetClockPool::DropClock(TNetClock* AClock) {
  auto it = std::find_if(FClockList.begin(), FClockList.end(),
                         [&](const TClockEntry& e) { return e.Clock.get() == AClock; });
  if (it == FClockList.end()) return;
  // With keep-alive the last user keeps its place, so the clock and its parked thread stay.
  if (!AClock->KeepThreadAlive() || it->UserCount > 1) --it->UserCount;
  if (it->UserCount > 0) return;
  std::unique_ptr<TNetClock> doomed = std::move(it->Clock);
  FClockList.erase(it);
  doomed.reset();
}

void ShutDownClockPool() {
  std::lock_guard<TNetCriticalSection> lock(ClockPoolLock());
  if (g_shared_pool == nullptr) return;
  {
    TTimerRegistry& reg = Registry();
    std::lock_guard<plat::Mutex> reg_lock(reg.Lock);
    for (auto& entry : reg.ThreadTimers)
      static_cast<TNetThreadTimer*>(entry.second.Timer)->FClock = nullptr;
  }
  delete g_shared_pool;
  g_shared_pool = nullptr;
}
