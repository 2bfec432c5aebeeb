// TThread. The completion crosses threads as a posted message carrying a request id, never a
// pointer: an object destroyed meanwhile simply has no entry left in the table, so a late
// message finds nothing to run.
#include "installer/thread.h"

#include <chrono>
#include <utility>
#include <vector>

#include "platform/exceptions.h"
#include "platform/messages.h"

namespace installer {

struct TThreadSync {
  static constexpr const char* kClassName = "VexlorThreadSyncWindow";
  static constexpr std::uint32_t kMsgTerminate = plat::kMsgUser;

  // Never destroyed: a worker may finish while the program ends (the setup program outlives
  // the window) and still looks here after the static objects are gone.
  static plat::Mutex& Mutex() {
    static auto* mu = new plat::Mutex;
    return *mu;
  }
  // The completions posted and not yet handled, by request id: one per running worker, so a
  // short list searched from the front.
  using TPending = std::vector<std::pair<std::uint64_t, TThread*>>;
  static TPending& Pending() {
    static auto* pending = new TPending;
    return *pending;
  }
  // Removes id's entry; its thread, or null when there was none.
  static TThread* TakePending(std::uint64_t id) {
    TPending& pending = Pending();
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (it->first != id) continue;
      TThread* thread = it->second;
      pending.erase(it);
      return thread;
    }
    return nullptr;
  }
  static std::uint64_t NextId() {
    static std::uint64_t next = 0;
    return ++next;
  }

  static plat::LResult Proc(plat::WindowHandle window, std::uint32_t msg, plat::WParam wparam,
                            plat::LParam lparam) {
    if (msg != kMsgTerminate) return plat::DefWindowProc(window, msg, wparam, lparam);
    TThread* thread = nullptr;
    {
      std::lock_guard<plat::Mutex> lock(Mutex());
      thread = TakePending(static_cast<std::uint64_t>(wparam));
      if (thread == nullptr) return 0;
    }
    thread->DeliverTerminate();
    return 0;
  }

  // The creating thread's hidden window, made on first use. It goes with the thread (the system
  // ends the windows of a thread that exits). The handle is a plain value on purpose: a
  // thread-local object with a destructor is unreliable on 32-bit mingw.
  static plat::WindowHandle WindowOfThisThread() {
    thread_local plat::WindowHandle window = 0;
    if (window == 0 || !plat::IsWindow(window)) {
      {
        std::lock_guard<plat::Mutex> lock(Mutex());
        if (!plat::IsWindowClassRegistered(kClassName))
          plat::RegisterWindowClass(kClassName, &TThreadSync::Proc);
      }
      window = plat::CreateHiddenWindow(kClassName);
    }
    return window;
  }
};

TThread::TThread(bool CreateSuspended) : sync_window_(TThreadSync::WindowOfThisThread()) {
  if (!CreateSuspended) Start();
}

TThread::~TThread() {
  if (!worker_.Joinable()) return;  // never started, or freeing itself on the worker
  {
    std::lock_guard<plat::Mutex> guard(TThreadSync::Mutex());
    std::lock_guard<plat::Mutex> lock(mu_);
    destroying_ = true;
    if (pending_id_ != 0) TThreadSync::TakePending(pending_id_);
    cv_.notify_all();
  }
  worker_.Join();
}

void TThread::Start() {
  if (started_) return;
  // The worker waits for this lock, so it cannot free the object before detach has run.
  std::lock_guard<plat::Mutex> lock(mu_);
  if (!worker_.Start([this] { Run(); }))
    throw Exception("Cannot start a thread: the system refused it");  // nothing started
  started_ = true;
  if (FreeOnTerminate) worker_.Detach();
}

void TThread::Run() {
  { std::lock_guard<plat::Mutex> started(mu_); }
  try {
    Execute();
  } catch (...) {
    // A body that fails still ends through its completion handler.
  }
  bool wait = false;
  std::uint64_t id = 0;
  {
    std::lock_guard<plat::Mutex> guard(TThreadSync::Mutex());
    std::lock_guard<plat::Mutex> lock(mu_);
    if (!destroying_) {
      id = pending_id_ = TThreadSync::NextId();
      TThreadSync::Pending().emplace_back(id, this);
      wait = plat::PostMessage(sync_window_, TThreadSync::kMsgTerminate, id, 0);
      if (!wait) TThreadSync::TakePending(id);
    }
  }
  while (wait) {
    {
      std::unique_lock<plat::Mutex> lock(mu_);
      if (plat::WaitFor(cv_, lock, std::chrono::milliseconds(100),
                        [this] { return handled_ || destroying_; }))
        break;
    }
    // The creating thread may have ended without dispatching the completion; its window went
    // with it, and nobody will ever run the handler.
    if (plat::IsWindow(sync_window_)) continue;
    std::lock_guard<plat::Mutex> guard(TThreadSync::Mutex());
    if (TThreadSync::TakePending(id) != nullptr) break;
    // Otherwise the handler is running right now: wait for it as usual.
  }
  if (FreeOnTerminate) delete this;
}

void TThread::DeliverTerminate() {
  try {
    if (OnTerminate) OnTerminate(this);
  } catch (...) {
    // The worker must be released whatever the handler does.
  }
  std::lock_guard<plat::Mutex> lock(mu_);
  handled_ = true;
  pending_id_ = 0;
  cv_.notify_all();
}

}  // namespace installer
