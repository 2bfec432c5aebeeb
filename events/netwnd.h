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
// Moving to another thread: ThreadDetach on the owning thread, then ThreadAttach on the new
// one. Nothing in flight may be lost on the way, so a detach is refused (ENetException
// "Cannot detach while ...") while anything is on its way to the component: a message queued
// for one of its ids (a notice, a delayed close, a release) or work that will post one later
// (PendingWork, e.g. a socket's name lookup). Its timers (owned components that are
// TNetWndFollower) stop with the detach and start again on the new thread.
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
#include <string>
#include <vector>

#include "events/component.h"
#include "platform/exceptions.h"
#include "platform/messages.h"
#include "platform/sync.h"

class TNetWndControl;
class TNetWndHandlerList;

// An owned component that works through its owner's window (a timer): it stops when the owner
// leaves its thread and starts again when the owner joins another one. Both calls come on the
// thread concerned.
class TNetWndFollower {
 public:
  virtual void OwnerLeavingThread() = 0;
  virtual void OwnerJoinedThread() = 0;

 protected:
  ~TNetWndFollower() = default;
};

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
  // Joins the calling thread ("Cannot attach when not detached" while bound).
  virtual void ThreadAttach();
  // Leaves the owning thread ("Cannot detach from another thread" elsewhere); refused while
  // work is in flight (see above).
  virtual void ThreadDetach();

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
  // Any exception but EAbort, which the guards drop before it gets here.
  virtual void ProcessBgException(std::exception& E);
  virtual void FireBgException(std::exception& E, bool& CanAbort);
  virtual void HandleReleaseMessage(TMessage& MsgRec);
  virtual void AttachWindow();
  virtual void DetachWindow();
  virtual int MessageIdsNeeded() { return 1; }
  virtual void ClaimMessageIds();
  virtual void ReturnMessageIds();
  virtual void AbortAfterBgException() {}
  // What is on its way to the component and would be lost by a detach, as the end of the
  // refusal text ("messages are queued for it"); empty when nothing is. Subclasses add their
  // own work and then ask the inherited one.
  virtual std::string PendingWork();
  // Around the check of a detach: stop the sources that post to the window by themselves, so
  // that nothing new arrives between the check and the detach, and start them again (on the
  // component's thread and window of the moment) when the detach is refused or after an attach.
  virtual void StopNotices() {}
  virtual void RestartNotices() {}
  // A detach that is not refused, just before the window is left (on the old thread); an
  // attach, once the new window is joined (on the new thread). Subclasses that keep state of
  // their own across the move call the inherited one too.
  virtual void LeavingThread() {}
  virtual void JoinedThread() {}

  // Makes this component the receiver of the id Msg of From, a component bound on the calling
  // thread, without purging what is queued for it, and returns the id (From's variable becomes
  // 0, so From no longer returns it). Binds this component to From's window first when it is
  // unbound. This component returns the id in its own ReturnMessageIds.
  std::uint32_t TakeOverMessageId(TNetWndControl& From, std::uint32_t& Msg);

  // Runs fn inside the exception guard of message handling: EAbort ends it silently, anything
  // else thrown goes to ProcessBgException. For subclasses' HandleWindowMessage.
  template <typename Fn>
  void Guarded(Fn&& fn) {
    try {
      fn();
    } catch (EAbort&) {
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
