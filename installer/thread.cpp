// TThread. The completion crosses threads as a posted message carrying a request id, never a
// pointer: an object destroyed meanwhile simply has no entry left in the table, so a late
// message finds nothing to run.
#include "installer/thread.h"

#include <unordered_map>

#include "platform/messages.h"

namespace installer {

struct TThreadSync {
  static constexpr const char* kClassName = "VexlorThreadSyncWindow";
  static constexpr std::uint32_t kMsgTerminate = plat::kMsgUser;

  static std::mutex& Mutex() {
    static std::mutex mu;
    return mu;
  }
  static std::unordered_map<std::uint64_t, TThread*>& Pending() {
    static std::unordered_map<std::uint64_t, TThread*> pending;
    return pending;
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
      std::lock_guard<std::mutex> lock(Mutex());
      auto it = Pending().find(static_cast<std::uint64_t>(wparam));
      if (it == Pending().end()) return 0;
      thread = it->second;
      Pending().erase(it);
    }
    thread->DeliverTerminate();
    return 0;
  }

  // The creating thread's hidden window, made on first use and destroyed with the thread.
  static plat::WindowHandle WindowOfThisThread() {
    struct Holder {
      plat::WindowHandle window = 0;
      ~Holder() {
        if (window == 0) return;
        // Workers still waiting for this thread to run their completion are let go: nobody
        // will dispatch their messages any more.
        {
          std::lock_guard<std::mutex> lock(Mutex());
          for (auto it = Pending().begin(); it != Pending().end();) {
            TThread* t = it->second;
            if (t->sync_window_ != window) {
              ++it;
              continue;
            }
            it = Pending().erase(it);
            std::lock_guard<std::mutex> tl(t->mu_);
            t->pending_id_ = 0;
            t->abandoned_ = true;
            t->cv_.notify_all();
          }
        }
        plat::DestroyWindow(window);
      }
    };
    thread_local Holder holder;
    if (holder.window == 0 || !plat::IsWindow(holder.window)) {
      {
        std::lock_guard<std::mutex> lock(Mutex());
        if (!plat::IsWindowClassRegistered(kClassName))
          plat::RegisterWindowClass(kClassName, &TThreadSync::Proc);
      }
      holder.window = plat::CreateHiddenWindow(kClassName);
    }
    return holder.window;
  }
};

TThread::TThread(bool CreateSuspended) : sync_window_(TThreadSync::WindowOfThisThread()) {
  if (!CreateSuspended) Start();
}

TThread::~TThread() {
  if (!worker_.joinable()) return;  // never started, or freeing itself on the worker
  {
    std::lock_guard<std::mutex> guard(TThreadSync::Mutex());
    std::lock_guard<std::mutex> lock(mu_);
    destroying_ = true;
    if (pending_id_ != 0) TThreadSync::Pending().erase(pending_id_);
    cv_.notify_all();
  }
  worker_.join();
}

void TThread::Start() {
  if (started_) return;
  started_ = true;
  // The worker waits for this lock, so it cannot free the object before detach has run.
  std::lock_guard<std::mutex> lock(mu_);
  worker_ = std::thread([this] { Run(); });
  if (FreeOnTerminate) worker_.detach();
}

void TThread::Run() {
  { std::lock_guard<std::mutex> started(mu_); }
  try {
    Execute();
  } catch (...) {
    // A body that fails still ends through its completion handler.
  }
  bool wait = false;
  {
    std::lock_guard<std::mutex> guard(TThreadSync::Mutex());
    std::lock_guard<std::mutex> lock(mu_);
    if (!destroying_) {
      pending_id_ = TThreadSync::NextId();
      TThreadSync::Pending()[pending_id_] = this;
      wait = plat::PostMessage(sync_window_, TThreadSync::kMsgTerminate, pending_id_, 0);
      if (!wait) TThreadSync::Pending().erase(pending_id_);
    }
  }
  if (wait) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return handled_ || destroying_ || abandoned_; });
  }
  if (FreeOnTerminate) delete this;
}

void TThread::DeliverTerminate() {
  try {
    if (OnTerminate) OnTerminate(this);
  } catch (...) {
    // The worker must be released whatever the handler does.
  }
  std::lock_guard<std::mutex> lock(mu_);
  handled_ = true;
  pending_id_ = 0;
  cv_.notify_all();
}

}  // namespace installer
