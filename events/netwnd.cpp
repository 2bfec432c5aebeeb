// Hidden-window message dispatch.
#include "events/netwnd.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#include "events/application.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

int g_ids_per_window = 100;

// The pool is created at most once (an atomic exchange of the once-flag) and freed at program
// end only when no thread list is left, or later by the detach that empties it.
std::atomic<bool> g_pool_created{false};
std::atomic<TNetWndHandlerPool*> g_pool{nullptr};
std::atomic<bool> g_pool_shut_down{false};

plat::Mutex& WindowClassLock() {
  static plat::Mutex* lock = new plat::Mutex;  // never destroyed: used during program end
  return *lock;
}
int g_hidden_window_count = 0;

TNetWndHandlerPool* EnsurePool() {
  if (!g_pool_created.exchange(true)) {
    g_pool.store(new TNetWndHandlerPool);
  } else {
    // Another thread may be between the exchange and the store.
    while (g_pool.load() == nullptr && !g_pool_shut_down.load()) {
    }
  }
  return g_pool.load();
}

// Frees the pool at program end, or leaves it to the last DetachWindow when components are
// still bound.
struct PoolFinalizer {
  ~PoolFinalizer() { ShutDownHandlerPool(); }
} g_pool_finalizer;

}  // namespace

int IdsPerWindow() {
  return g_ids_per_window;
}

TNetTimerDispatch& NetTimerDispatch() {
  static TNetTimerDispatch* dispatch = new TNetTimerDispatch;
  return *dispatch;
}

TNetWndHandlerPool* SharedHandlerPool() {
  return EnsurePool();
}

int HiddenWindowCount() {
  std::lock_guard<plat::Mutex> lock(WindowClassLock());
  return g_hidden_window_count;
}

void ShutDownHandlerPool() {
  TNetWndHandlerPool* pool = g_pool.load();
  if (pool == nullptr) {
    g_pool_shut_down.store(true);
    return;
  }
  pool->Lock();
  bool empty = pool->ListCount() == 0;
  g_pool_shut_down.store(true);
  pool->UnLock();
  if (empty) {
    g_pool.store(nullptr);
    delete pool;
  }
}

// ---------------------------------------------------------------------------------------------
// The window procedure of every hidden window.

plat::LResult HiddenWindowProc(plat::WindowHandle window, std::uint32_t msg, plat::WParam wparam,
                               plat::LParam lparam) {
  auto* handler = static_cast<TNetWndHandler*>(plat::GetWindowSlot(window));
  if (handler == nullptr) return plat::DefWindowProc(window, msg, wparam, lparam);
  TMessage rec{msg, wparam, lparam, 0};
  handler->DispatchWindowMessage(rec);
  // The handler may be gone now (a component destroyed by its release message can take the
  // window and the handler with it): only the record on this stack is read.
  return rec.Result;
}

// ---------------------------------------------------------------------------------------------
// TNetWndHandler

TNetWndHandler::TNetWndHandler(TNetWndHandlerList* owner_list)
    : FMsgMap(static_cast<std::size_t>(IdsPerWindow()), nullptr), FOwnerList(owner_list) {}

TNetWndHandler::~TNetWndHandler() {
  DestroyHiddenWindow();
}

void TNetWndHandler::CreateHiddenWindow() {
  if (FHandle != 0) return;
  std::lock_guard<plat::Mutex> lock(WindowClassLock());
  if (!plat::IsWindowClassRegistered(NetWndClassName)) {
    if (!plat::RegisterWindowClass(NetWndClassName, HiddenWindowProc)) {
      throw ENetException("Unable to register TNetWndControl hidden window class. Error #" +
                          text::DecimalStr(plat::GetLastError()) + ".");
    }
  }
  plat::WindowHandle h = plat::CreateHiddenWindow(NetWndClassName);
  if (h == 0) {
    throw ENetException("Unable to create TNetWndControl hidden window.  Error #" +
                        text::DecimalStr(plat::GetLastError()) + ".");
  }
  plat::SetWindowSlot(h, this);
  FHandle = h;
  ++g_hidden_window_count;
}

void TNetWndHandler::DestroyHiddenWindow() {
  if (FHandle == 0) return;
  std::fill(FMsgMap.begin(), FMsgMap.end(), nullptr);
  plat::WindowHandle h = FHandle;
  plat::SetWindowSlot(h, nullptr);
  plat::DestroyWindow(h);
  FHandle = 0;
  std::lock_guard<plat::Mutex> lock(WindowClassLock());
  if (--g_hidden_window_count <= 0) {
    g_hidden_window_count = 0;
    plat::UnregisterWindowClass(NetWndClassName);
  }
}

std::uint32_t TNetWndHandler::AllocateMsgHandler(TNetWndControl* Obj) {
  if (FMsgLow < plat::kMsgUser) throw ENetException("MsgLow not defined");
  if (FMsgCnt >= IdsPerWindow()) throw ENetException("No more free message");
  auto it = std::find(FMsgMap.begin(), FMsgMap.end(), nullptr);
  if (it == FMsgMap.end()) throw ENetException("No more free message");
  *it = Obj;
  ++FMsgCnt;
  return FMsgLow + static_cast<std::uint32_t>(it - FMsgMap.begin());
}

void TNetWndHandler::UnregisterMessage(std::uint32_t& Msg) {
  if (Msg == 0) return;
  if (FMsgLow < plat::kMsgUser) throw ENetException("MsgLow not defined");
  if (Msg < FMsgLow || Msg >= FMsgLow + static_cast<std::uint32_t>(IdsPerWindow()))
    throw ENetException("Msg value out of bound");
  std::size_t slot = Msg - FMsgLow;
  if (FMsgMap[slot] == nullptr) throw ENetException("Msg not registered");
  FMsgMap[slot] = nullptr;
  --FMsgCnt;
  // Nothing posted to the id's old owner may reach whoever gets the id next.
  if (FHandle != 0) plat::PurgeMessages(FHandle, Msg);
  Msg = 0;
  if (FMsgCnt == 0) DestroyHiddenWindow();
}

void TNetWndHandler::DispatchWindowMessage(TMessage& MsgRec) {
  try {
    if (MsgRec.Msg >= FMsgLow && MsgRec.Msg < FMsgLow + FMsgMap.size()) {
      TNetWndControl* target = FMsgMap[MsgRec.Msg - FMsgLow];
      if (target != nullptr) {
        // The component may destroy itself, its window and this handler: return at once.
        target->HandleWindowMessage(MsgRec);
        return;
      }
    }
    if (OnMessage) {
      bool handled = false;
      OnMessage(nullptr, MsgRec, handled);
      if (handled) return;
    }
    TNetTimerDispatch& timers = NetTimerDispatch();
    if (MsgRec.Msg == plat::kMsgTimer) {
      if (timers.WindowTimerTick) timers.WindowTimerTick(MsgRec.WParam);
      return;
    }
    if (timers.ThreadTimerMessage != 0 && MsgRec.Msg == timers.ThreadTimerMessage) {
      if (timers.ThreadTimerTick) timers.ThreadTimerTick(MsgRec.WParam, MsgRec.LParam);
      return;
    }
    MsgRec.Result = plat::DefWindowProc(FHandle, MsgRec.Msg, MsgRec.WParam, MsgRec.LParam);
  } catch (std::exception& E) {
    if (OnBgException) {
      bool can_close = true;
      try {
        OnBgException(nullptr, E, can_close);
      } catch (...) {
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// TNetWndHandlerPool

TNetWndHandlerPool::~TNetWndHandlerPool() = default;

TNetWndHandler* TNetWndHandlerPool::GetWndHandler(int HandlerCount, std::uint32_t ThreadID) {
  if (HandlerCount > IdsPerWindow()) throw EAssertionFailed("Message IDs out of bounds!");
  TNetWndHandlerList* list = nullptr;
  for (auto it = FList.rbegin(); it != FList.rend(); ++it) {
    if ((*it)->ThreadID == ThreadID) {
      list = it->get();
      break;
    }
  }
  if (list == nullptr) {
    FList.push_back(std::make_unique<TNetWndHandlerList>());
    list = FList.back().get();
    list->ThreadID = ThreadID;
  }
  for (auto& h : list->Handlers)
    if (h->MsgLeft() >= HandlerCount) return h.get();
  auto handler = std::make_unique<TNetWndHandler>(list);
  handler->FMsgLow = FirstMessageId;
  list->Handlers.push_back(std::move(handler));
  return list->Handlers.back().get();
}

void TNetWndHandlerPool::FreeWndHandler(TNetWndHandler*& WndHandler) {
  if (WndHandler == nullptr || WndHandler->FOwnerList == nullptr) return;
  TNetWndHandlerList* list = WndHandler->FOwnerList;
  auto& handlers = list->Handlers;
  auto it = std::find_if(handlers.begin(), handlers.end(),
                         [&](const auto& h) { return h.get() == WndHandler; });
  if (it == handlers.end()) return;
  std::unique_ptr<TNetWndHandler> doomed = std::move(*it);
  handlers.erase(it);
  if (handlers.empty()) {
    FList.erase(
        std::remove_if(FList.begin(), FList.end(), [&](const auto& l) { return l.get() == list; }),
        FList.end());
  }
  doomed.reset();
  WndHandler = nullptr;
}

void TNetWndHandlerPool::SetWndHandlerMaxMsgIDs(int Value) {
  std::lock_guard<TNetCriticalSection> lock(FCritSect);
  if (!FList.empty())
    throw ENetException(
        "Maximum number of message IDs per handler can only be set when the pool is empty");
  g_ids_per_window = std::clamp(Value, 50, 1000);
}

// ---------------------------------------------------------------------------------------------
// TNetWndControl

TNetWndControl::TNetWndControl(TComponent* AOwner) : TComponent(AOwner) {
  EnsurePool();
}

TNetWndControl::~TNetWndControl() {
  ReleaseResources(true);
}

void TNetWndControl::ReleaseResources(bool) {
  if (Disposed) return;
  DetachWindow();
  Disposed = true;
}

plat::WindowHandle TNetWndControl::Handle() {
  if (FHandle == 0) AttachWindow();
  return FHandle;
}

void TNetWndControl::AttachWindow() {
  if (FHandle != 0) return;
  if (g_pool_shut_down.load())
    throw EAssertionFailed("Unit is already finalized, check your threads!!!");
  TNetWndHandlerPool* pool = EnsurePool();
  FThreadId = plat::CurrentThreadId();
  pool->Lock();
  try {
    if (FWndHandler == nullptr) FWndHandler = pool->GetWndHandler(MessageIdsNeeded(), FThreadId);
    FWndHandler->CreateHiddenWindow();
    FHandle = FWndHandler->Handle();
    ClaimMessageIds();
  } catch (...) {
    pool->UnLock();
    throw;
  }
  pool->UnLock();
}

void TNetWndControl::DetachWindow() {
  if (FHandle == 0) return;
  TNetWndHandlerPool* pool = g_pool.load();
  pool->Lock();
  try {
    ReturnMessageIds();
    if (FWndHandler != nullptr && FWndHandler->MsgCnt() <= 0) pool->FreeWndHandler(FWndHandler);
  } catch (...) {
    FHandle = 0;
    FWndHandler = nullptr;
    FThreadId = 0;
    pool->UnLock();
    throw;
  }
  FHandle = 0;
  FWndHandler = nullptr;
  FThreadId = 0;
  bool free_pool = g_pool_shut_down.load() && pool->ListCount() == 0;
  pool->UnLock();
  if (free_pool) {
    g_pool.store(nullptr);
    delete pool;
  }
}

void TNetWndControl::ClaimMessageIds() {
  FMsgRelease = FWndHandler->AllocateMsgHandler(this);
}

void TNetWndControl::ReturnMessageIds() {
  if (FWndHandler != nullptr) FWndHandler->UnregisterMessage(FMsgRelease);
}

void TNetWndControl::Release() {
  // Binding first: the release id exists only once the component is bound.
  plat::WindowHandle window = Handle();
  plat::PostMessage(window, FMsgRelease, 0, 0);
}

void TNetWndControl::ThreadAttach() {
  if (FHandle != 0) throw ENetException("Cannot attach when not detached");
  AttachWindow();
  RestartNotices();
  for (int i = 0; i < ComponentCount(); ++i)
    if (TNetWndFollower* follower = Component(i)->NetWndFollower()) follower->OwnerJoinedThread();
  JoinedThread();
}

void TNetWndControl::ThreadDetach() {
  if (plat::CurrentThreadId() != FThreadId)
    throw ENetException("Cannot detach from another thread");
  // Returning the ids would purge whatever is queued for them, and their next owner would get
  // what is posted to them later: refuse instead, the caller detaches once the work is done.
  // Work already under way is refused before the notices stop: a stopped and restarted
  // selection does not announce a connect again that completed in between (Wine loses it).
  std::string pending = PendingWork();
  if (!pending.empty()) throw ENetException("Cannot detach while " + pending);
  StopNotices();
  pending = PendingWork();
  if (!pending.empty()) {
    RestartNotices();
    throw ENetException("Cannot detach while " + pending);
  }
  LeavingThread();
  for (int i = 0; i < ComponentCount(); ++i)
    if (TNetWndFollower* follower = Component(i)->NetWndFollower()) follower->OwnerLeavingThread();
  DetachWindow();
}

std::uint32_t TNetWndControl::TakeOverMessageId(TNetWndControl& From, std::uint32_t& Msg) {
  if (Msg == 0 || From.FWndHandler == nullptr || From.FHandle == 0) return 0;
  TNetWndHandlerPool* pool = EnsurePool();
  pool->Lock();
  if (FHandle == 0) {
    FWndHandler = From.FWndHandler;
    FHandle = From.FHandle;
    FThreadId = From.FThreadId;
  }
  std::uint32_t taken = 0;
  if (FWndHandler == From.FWndHandler) {
    std::size_t slot = Msg - FWndHandler->FMsgLow;
    if (slot < FWndHandler->FMsgMap.size() && FWndHandler->FMsgMap[slot] == &From) {
      FWndHandler->FMsgMap[slot] = this;
      taken = Msg;
      Msg = 0;
    }
  }
  pool->UnLock();
  return taken;
}

std::string TNetWndControl::PendingWork() {
  if (FHandle == 0 || FWndHandler == nullptr) return std::string();
  const auto& map = FWndHandler->FMsgMap;
  for (std::size_t i = 0; i < map.size(); ++i) {
    if (map[i] == this &&
        plat::HasQueuedMessage(FHandle, FWndHandler->FMsgLow + static_cast<std::uint32_t>(i)))
      return "messages are queued for it";
  }
  return std::string();
}

void TNetWndControl::HandleWindowMessage(TMessage& MsgRec) {
  try {
    if (MsgRec.Msg == FMsgRelease) {
      HandleReleaseMessage(MsgRec);
    } else {
      MsgRec.Result = plat::DefWindowProc(FHandle, MsgRec.Msg, MsgRec.WParam, MsgRec.LParam);
    }
  } catch (EAbort&) {
    // The silent abort ends the handling and nothing else.
  } catch (std::exception& E) {
    ProcessBgException(E);
  }
}

void TNetWndControl::HandleReleaseMessage(TMessage&) {
  delete this;
}

void TNetWndControl::ProcessBgException(std::exception& E) {
  bool can_abort = true;
  if (FOnBgException) {
    try {
      FireBgException(E, can_abort);
    } catch (...) {
    }
  }
  if (!can_abort) return;
  try {
    if (ExceptAbortProc) ExceptAbortProc();
  } catch (...) {
  }
  try {
    AbortAfterBgException();
  } catch (...) {
  }
}

void TNetWndControl::FireBgException(std::exception& E, bool& CanAbort) {
  if (FOnBgException) FOnBgException(this, E, CanAbort);
}

// ---------------------------------------------------------------------------------------------
// Message loop and pump.

void TNetWndControl::MessageLoop() {
  plat::Message m;
  for (;;) {
    int r = plat::GetMessage(m);
    if (r == 0) break;
    if (r < 0) continue;  // an error does not end the loop
    plat::TranslateMessage(m);
    plat::DispatchMessage(m);
  }
  SetTerminated(true);
}

bool TNetWndControl::ProcessMessage() {
  plat::Message m;
  if (!plat::PeekMessage(m)) return false;
  if (m.msg == plat::kMsgQuit) {
    SetTerminated(true);
    return true;
  }
  plat::TranslateMessage(m);
  plat::DispatchMessage(m);
  return true;
}

void TNetWndControl::ProcessMessages() {
  while (ProcessMessage()) {
  }
}

void TNetWndControl::MessagePump() {
  if (FOnMessagePump) {
    FOnMessagePump(this);
  } else if (FMultiThreaded) {
    ProcessMessages();
  } else {
    Application().ProcessMessages();
  }
}

bool TNetWndControl::PostQuitMessage() {
  return plat::PostMessage(Handle(), plat::kMsgQuit, 0, 0);
}

bool TNetWndControl::Terminated() {
  return FTerminated || Application().Terminated();
}
