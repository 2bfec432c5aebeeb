// Hidden-window message dispatch: TNetWndControl, the base of every asynchronous component,
// and the shared hidden windows (TNetWndHandler) that deliver its messages.
//
// A component is bound to the thread that binds it (AttachWindow, or the first read of
// Handle). Everything that happens to it asynchronously arrives as a message posted to the
// hidden window of that thread and is handled on that thread by HandleWindowMessage. All
// components of a thread share one hidden window while it has ids left; each window has the
// id range FirstMessageId .. FirstMessageId + IdsPerWindow - 1 (1025..1124).
//
// Threads: create, bind, detach, use and destroy a component on its own thread. Posting to
// its Handle is the only thing another thread may do. HandleWindowMessage may re-enter the
// component's operations; a component may be destroyed from inside its own message
// (HandleReleaseMessage).
//
// Ownership: a component references its handler without owning it; the pool owns the
// per-thread lists and their handlers; a handler's map references components without owning
// them.
//
// Subclasses: extend MessageIdsNeeded (add to the inherited count), ClaimMessageIds (call the
// inherited one first, then allocate), ReturnMessageIds (unregister own ids, then call the
// inherited one) and HandleWindowMessage (test own ids, pass the rest on, guard with
// ProcessBgException). Because C++ destructors do not dispatch virtually, a class that extends
// ReturnMessageIds calls ReleaseResources(true) first thing in its destructor.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "events/component.h"
#include "platform/exceptions.h"
#include "platform/messages.h"
#include "platform/sync.h"

class TNetWndControl;
class TNetWndHandlerList;

// A message as a component sees it.
struct TMessage {
  std::uint32_t Msg = 0;
  plat::WParam WParam = 0;
  plat::LParam LParam = 0;
  plat::LResult Result = 0;
};

using TNetBgExceptionEvent =
    std::function<void(TObject* Sender, std::exception& E, bool& CanClose)>;
using TNetMessageEvent = std::function<void(TObject* Sender, TMessage& Msg, bool& Handled)>;
using TNetExceptAbortProc = std::function<void()>;

constexpr std::uint32_t FirstMessageId = 1025;
constexpr const char* NetWndClassName = "NetWndControlWindowClass";

// Ids of every hidden window (50..1000, default 100). Changed only through the pool.
int IdsPerWindow();

// Hooks for the timer module: a live-timer test and tick for message 275 (wparam = timer uid)
// and for the registered thread-timer message (wparam = timer, lparam = uid). Unset, ticks are
// ignored.
struct TNetTimerDispatch {
  std::function<void(plat::WParam)> WindowTimerTick;
  std::uint32_t ThreadTimerMessage = 0;
  std::function<void(plat::WParam, plat::LParam)> ThreadTimerTick;
};
TNetTimerDispatch& NetTimerDispatch();

// One hidden window and its message map. Created and owned by the pool.
class TNetWndHandler {
 public:
  explicit TNetWndHandler(TNetWndHandlerList* owner_list = nullptr);
  ~TNetWndHandler();
  TNetWndHandler(const TNetWndHandler&) = delete;
  TNetWndHandler& operator=(const TNetWndHandler&) = delete;

  // Gives Obj the lowest free id of this window. ENetException when none is free.
  std::uint32_t AllocateMsgHandler(TNetWndControl* Obj);
  // Returns an id: purges its queued messages, zeroes Msg, destroys the window with the last
  // id. An id of 0 does nothing.
  void UnregisterMessage(std::uint32_t& Msg);

  plat::WindowHandle Handle() const { return FHandle; }
  std::uint32_t MsgLow() const { return FMsgLow; }
  int MsgLeft() const { return IdsPerWindow() - FMsgCnt; }
  int MsgCnt() const { return FMsgCnt; }
  TNetWndHandlerList* OwnerList() const { return FOwnerList; }

  TNetMessageEvent OnMessage;
  TNetBgExceptionEvent OnBgException;

 private:
  friend class TNetWndControl;
  friend class TNetWndHandlerPool;
  friend plat::LResult HiddenWindowProc(plat::WindowHandle, std::uint32_t, plat::WParam,
                                        plat::LParam);
  void CreateHiddenWindow();
  void DestroyHiddenWindow();
  void DispatchWindowMessage(TMessage& MsgRec);

  plat::WindowHandle FHandle = 0;
  std::vector<TNetWndControl*> FMsgMap;
  std::uint32_t FMsgLow = 0;
  int FMsgCnt = 0;
  TNetWndHandlerList* FOwnerList;
};

// All handlers of one thread.
class TNetWndHandlerList {
 public:
  std::uint32_t ThreadID = 0;
  std::vector<std::unique_ptr<TNetWndHandler>> Handlers;
};

// The process-wide set of per-thread handler lists.
class TNetWndHandlerPool {
 public:
  TNetWndHandlerPool() = default;
  ~TNetWndHandlerPool();

  // First handler of the thread with at least HandlerCount free ids; a new one (no window yet)
  // when none has. Call under Lock.
  TNetWndHandler* GetWndHandler(int HandlerCount, std::uint32_t ThreadID);
  // Removes the handler from its list (and the list from the pool when it empties), frees it
  // and sets WndHandler to nullptr. Call under Lock.
  void FreeWndHandler(TNetWndHandler*& WndHandler);
  void Lock() { FCritSect.Enter(); }
  void UnLock() { FCritSect.Leave(); }
  void SetWndHandlerMaxMsgIDs(int Value);
  int ListCount() const { return static_cast<int>(FList.size()); }

 private:
  std::vector<std::unique_ptr<TNetWndHandlerList>> FList;
  TNetCriticalSection FCritSect;
};

// The one pool, created on first use.
TNetWndHandlerPool* SharedHandlerPool();
// Number of hidden windows of the process.
int HiddenWindowCount();
// Program end: frees the pool if no thread list is left, and refuses any later binding.
void ShutDownHandlerPool();

class TNetWndControl : public TComponent {
 public:
  explicit TNetWndControl(TComponent* AOwner);
  ~TNetWndControl() override;

  // Posts the release message; handling it destroys the component (it must be on the heap).
  virtual void Release();
  void ThreadAttach();
  void ThreadDetach();

  virtual void MessageLoop();
  virtual bool ProcessMessage();
  virtual void ProcessMessages();
  virtual void MessagePump();
  bool PostQuitMessage();

  // The bound window; binds on the calling thread first when unbound.
  plat::WindowHandle Handle();
  plat::WindowHandle HandleIfBound() const { return FHandle; }
  std::uint32_t ThreadID() const { return FThreadId; }
  TNetWndHandler* WndHandler() const { return FWndHandler; }
  std::uint32_t MsgRelease() const { return FMsgRelease; }

  bool MultiThreaded() const { return FMultiThreaded; }
  virtual void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
  // FTerminated or the application's terminate flag.
  virtual bool Terminated();
  virtual void SetTerminated(bool Value) { FTerminated = Value; }
  const TNotifyEvent& OnMessagePump() const { return FOnMessagePump; }
  virtual void SetOnMessagePump(TNotifyEvent Value) { FOnMessagePump = std::move(Value); }
  const TNetBgExceptionEvent& OnBgException() const { return FOnBgException; }
  virtual void SetOnBgException(TNetBgExceptionEvent Value) { FOnBgException = std::move(Value); }

  TNetExceptAbortProc ExceptAbortProc;

 protected:
  friend class TNetWndHandler;

  virtual void ReleaseResources(bool Disposing);
  virtual void HandleWindowMessage(TMessage& MsgRec);
  virtual void ProcessBgException(std::exception& E);
  virtual void FireBgException(std::exception& E, bool& CanAbort);
  virtual void HandleReleaseMessage(TMessage& MsgRec);
  virtual void AttachWindow();
  virtual void DetachWindow();
  virtual int MessageIdsNeeded() { return 1; }
  virtual void ClaimMessageIds();
  virtual void ReturnMessageIds();
  virtual void AbortAfterBgException() {}

  // Runs fn inside the exception guard of message handling: anything thrown goes to
  // ProcessBgException. For subclasses' HandleWindowMessage.
  template <typename Fn>
  void Guarded(Fn&& fn) {
    try {
      fn();
    } catch (std::exception& E) {
      ProcessBgException(E);
    }
  }

  bool Disposed = false;
  plat::WindowHandle FHandle = 0;
  std::uint32_t FThreadId = 0;
  bool FTerminated = false;
  bool FMultiThreaded = false;
  TNetWndHandler* FWndHandler = nullptr;
  std::uint32_t FMsgRelease = 0;
  TNetBgExceptionEvent FOnBgException;
  TNotifyEvent FOnMessagePump;
};
