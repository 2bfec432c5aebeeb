// TWSocket: an asynchronous, event-driven TCP socket component.
//
// Every operation that waits for the network (name lookup, connect, send, receive, the peer's
// close) is started by a call and completed by a notice that the socket library posts to the
// hidden window of the owning thread (events/netwnd.h); the component turns each notice into
// one of its events. The one blocking call is Connect with a host name (not a dotted address)
// in Addr, which resolves the name with a blocking lookup; resolve first with DnsLookup.
//
// A client session:
//   sock.OnDnsLookupDone = ...;   // in it: SetAddr(DnsResult()), SetPort(u"80"), Connect()
//   sock.DnsLookup(u"host");
//   OnChangeState(wsClosed, wsOpened), OnChangeState(wsOpened, wsConnecting) inside Connect;
//   OnChangeState(wsConnecting, wsConnected), OnSessionConnected(0);
//   PutDataInSendBuffer + Send(nullptr, 0) -> OnSendData per system send, OnDataSent(0) from
//   the message loop; OnDataAvailable(0) while bytes wait (read them with Receive);
//   the peer closes: OnDataAvailable(0) at least once, OnSessionClosed(error),
//   OnChangeState(wsConnected, wsClosed). A local Close fires the state change first.
// A refused connect passes through wsConnected: OnSessionConnected(10061), then the close.
// OnSessionClosed fires once per session, except when the component is destroyed.
//
// Failures: with OnError assigned a failure fires OnError (read LastError()) and the call
// returns; without it ESocketException is raised. Error codes passed to events are the
// Windows Sockets numbers (platform/sockets.h), 0 for success; DescribeSocketError gives the
// texts.
//
// Class chain (each derives from the one before): TNetWndControl, TCustomWSocket,
// TCustomHttpTunnelWSocket, TCustomSocksWSocket, TCustomSslWSocket, TCustomLineWSocket,
// TCustomSyncWSocket, TCustomTimeoutWSocket, TCustomThrottledWSocket, TWSocket. The proxy,
// TLS, line, timeout and bandwidth layers are inactive while their settings are off (no proxy
// server, SslEnable false, LineMode false, time-outs 0, BandwidthLimit 0) and then pass every
// call to their base. TLS sits above the proxy layers (it runs through a tunnel) and below
// the line layer (lines are plain text).
//
// Threads: create, use and destroy a socket on one thread (the one whose hidden window it
// uses: the creating thread, or the last caller of ThreadAttach). All events fire there.
// Event handlers may call any operation, Close and Abort included; the component re-reads its
// state after every handler. Flush and a close that the system answers with would-block pump
// messages, so other events can fire inside them.
//
// Ownership: the socket owns its send pool, DnsResultList and counter; buffers passed to Send
// and Receive are borrowed for the call only.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "events/netwnd.h"
#include "events/timers.h"
#include "net/netbuffer.h"
#include "net/proxy_protocol.h"
#include "platform/exceptions.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "platform/tls.h"

class TCustomWSocket;
class TLookupAnswerKeeper;
namespace httpauth {
class TDigestClient;
class TNtlmClient;
}  // namespace httpauth

// Raised for misuse and, without OnError, for every reported failure.
class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

enum TSocketState {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsSocksConnected = 4,
  wsConnected = 5,
  wsAccepting = 6,
  wsListening = 7,
  wsClosed = 8,
};

enum TSocketFamily { sfAny = 0, sfAnyIPv4 = 1, sfAnyIPv6 = 2, sfIPv4 = 3, sfIPv6 = 4 };

enum TWSocketOption {
  wsoNoReceiveLoop = 0,
  wsoTcpNoDelay = 1,
  wsoSIO_RCVALL = 2,
  wsoNoHttp10Tunnel = 3,
  wsoNotifyAddressListChange = 4,
  wsoNotifyRoutingInterfaceChange = 5,
};

// A set of TWSocketOption, bit n for the option of value n.
class TWSocketOptions {
 public:
  constexpr TWSocketOptions() = default;
  constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
    for (TWSocketOption o : options)
      bits_ |= Bit(o);
  }
  constexpr bool Contains(TWSocketOption o) const { return (bits_ & Bit(o)) != 0; }
  constexpr TWSocketOptions& Include(TWSocketOption o) {
    bits_ |= Bit(o);
    return *this;
  }
  constexpr TWSocketOptions& Exclude(TWSocketOption o) {
    bits_ &= ~Bit(o);
    return *this;
  }
  constexpr TWSocketOptions Without(TWSocketOption o) const {
    TWSocketOptions r = *this;
    return r.Exclude(o);
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint32_t Bits() const { return bits_; }
  friend constexpr bool operator==(TWSocketOptions a, TWSocketOptions b) {
    return a.bits_ == b.bits_;
  }

 private:
  static constexpr std::uint32_t Bit(TWSocketOption o) { return 1u << static_cast<unsigned>(o); }
  std::uint32_t bits_ = 0;
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };
enum TSocketSendFlags { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum THttpTunnelAuthType { htatDetect, htatNone, htatBasic, htatNtlm };

// Days since 1899-12-30, the fraction being the time of day (local time).
using TDateTime = double;
TDateTime NowAsDateTime();

// Activity counter: when the session connected and when bytes last moved.
class TWSocketCounter {
 public:
  virtual ~TWSocketCounter() = default;
  // ConnectDT and ConnectTick := now; LastRecvTick and LastSendTick := 0.
  virtual void SetConnected();
  // The largest of ConnectTick, LastRecvTick and LastSendTick (unsigned comparison).
  std::uint32_t LastAliveTick() const;

  TDateTime ConnectDT = 0;
  std::uint32_t ConnectTick = 0;
  std::uint32_t LastRecvTick = 0;
  std::uint32_t LastSendTick = 0;
};
using TWSocketCounterClass = std::function<std::unique_ptr<TWSocketCounter>()>;

// Events. Every error code is 16-bit, 0 for success.
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TChangeState =
    std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSessionAvailable = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSendData = std::function<void(TObject* Sender, std::int32_t BytesSent)>;

// The description of a socket error code; "Not a Winsocket error" for an unknown code.
String DescribeSocketError(int ErrCode);
// The description followed by " (#", the code and ")".
String DescribeSocketErrorWithCode(int ErrCode);
// The machine's host name; raises ESocketException "Winsock Get Host Name failed".
AnsiString QueryLocalHostName();

// How many keepers of late lookup answers (cancelled lookups of sockets that have gone) the
// calling thread has, for tests and diagnostics.
std::size_t LookupAnswerKeepersOnThisThread();
// Lets go of them: for a thread that is about to end and will dispatch nothing more.
void ReleaseLookupAnswerKeepersOnThisThread();

// The lenient dotted IPv4 test of DnsLookup and host resolution: optional leading spaces,
// digits and exactly three dots (not first, not doubled), each group below 256, optional
// trailing spaces.
bool IsDottedIPv4(std::string_view Text);

class TCustomWSocket : public TNetWndControl {
 public:
  explicit TCustomWSocket(TComponent* AOwner);
  ~TCustomWSocket() override;

  // --- Name resolution and connect ----------------------------------------------------------
  void DnsLookup(const String& AHostName);
  virtual void DnsLookup(const String& AHostName, int AProtocol);
  void CancelDnsLookup();
  virtual void Connect();

  // --- Sending ------------------------------------------------------------------------------
  // Queues Len bytes (none when Data is null or Len <= 0) and sends what the system takes.
  // Returns Len, 0 when nothing was queued, -1 when the socket is not connected.
  virtual std::int32_t Send(const void* Data, std::int32_t Len);
  std::int32_t Send(std::uint8_t DataByte);
  std::int32_t SendStr(const AnsiString& Str);
  std::int32_t SendStr(const String& Str, unsigned ACodePage = text::kCodePageAnsi);
  virtual void PutDataInSendBuffer(const void* Data, std::int32_t Len);
  std::int32_t PutStringInSendBuffer(const AnsiString& Str);
  std::int32_t PutStringInSendBuffer(const String& Str, unsigned ACodePage = text::kCodePageAnsi);
  void DeleteBufferedData();
  // Sends queued bytes and pumps messages until everything went to the system or the socket
  // is gone.
  void Flush();

  // --- Receiving ----------------------------------------------------------------------------
  // Reads up to BufferSize bytes: the count, 0 after the peer's orderly close, or -1 with
  // LastError() set (10035 when nothing is waiting). Fires no event, closes nothing.
  virtual std::int32_t Receive(void* Buffer, std::int32_t BufferSize);
  AnsiString ReceiveStrA();
  String ReceiveStrW(unsigned ACodePage);
  String ReceiveStrW();
  String ReceiveStr();
  // The Text property: reading receives (ReceiveStr), writing sends (SendStr).
  String Text() { return ReceiveStr(); }
  void SetText(const String& Value) { SendStr(Value); }
  std::int32_t PeekData(void* Buffer, std::int32_t BufferSize);

  // --- Ending and suspending ----------------------------------------------------------------
  void Close();
  // Closes when the posted message is delivered, after the current handler has returned.
  void CloseDelayed();
  void Abort();
  void Shutdown(int How);
  // Pumps messages until the socket is closed.
  void WaitForClose();
  void Pause();
  void Resume();

  // --- Activity counter ---------------------------------------------------------------------
  void CreateCounter();
  void DestroyCounter();
  TWSocketCounter* Counter() const { return FCounter.get(); }
  void SetCounterClass(TWSocketCounterClass Value) { FCounterClass = std::move(Value); }

  // --- Addresses ----------------------------------------------------------------------------
  // The peer's dotted address and port; "error" unless wsConnected or when the system call
  // fails (which is also reported).
  String GetPeerAddr();
  String GetPeerPort();
  String PeerAddr() { return GetPeerAddr(); }
  String PeerPort() { return GetPeerPort(); }
  // The local address and port; "error" unless wsBound, wsConnected or wsListening.
  String GetXAddr();
  String GetXPort();
  // The system's getsockname/getpeername into Name; 0 or kSocketError.
  int GetSockName(plat::sock::TSockAddrIn6& Name, int& NameLen);
  int GetPeerName(plat::sock::TSockAddrIn6& Name, int& NameLen);

  // --- Listening, datagram and reverse lookups (not used by the HTTP client) ---------------
  virtual void Listen();
  virtual plat::sock::TSocket Accept();
  virtual void Dup(plat::sock::TSocket NewHSocket);
  std::int32_t SendTo(const plat::sock::TSockAddrIn& Dest, const void* Data, std::int32_t Len);
  std::int32_t ReceiveFrom(void* Buffer, std::int32_t BufferSize, plat::sock::TSockAddrIn& From,
                           int& FromLen);
  void ReverseDnsLookup(const String& HostAddr);
  virtual void ReverseDnsLookup(const String& HostAddr, int AProtocol);
  void ReverseDnsLookupSync(const String& HostAddr);

  // --- Properties ---------------------------------------------------------------------------
  TSocketState State() const { return FState; }
  plat::sock::TSocket HSocket() const { return FHSocket; }

  const String& Addr() const { return FAddrStr; }
  void SetAddr(const String& Value);
  const String& Port() const { return FPortStr; }
  void SetPort(const String& Value);
  const String& Proto() const { return FProtoStr; }
  void SetProto(const String& Value);
  const String& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const String& Value);
  const String& LocalAddr6() const { return FLocalAddr6; }
  void SetLocalAddr6(const String& Value);
  const String& LocalPort() const { return FLocalPortStr; }
  void SetLocalPort(const String& Value);
  TSocketFamily SocketFamily() const { return FSocketFamily; }
  void SetSocketFamily(TSocketFamily Value);
  // The family of the remote address actually used (sfIPv4 or sfIPv6).
  TSocketFamily CurrentSocketFamily() const;

  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int Value) { FLingerTimeout = Value; }
  TSocketKeepAliveOnOff KeepAliveOnOff() const { return FKeepAliveOnOff; }
  void SetKeepAliveOnOff(TSocketKeepAliveOnOff Value) { FKeepAliveOnOff = Value; }
  std::uint32_t KeepAliveTime() const { return FKeepAliveTime; }
  void SetKeepAliveTime(std::uint32_t Value) { FKeepAliveTime = Value; }
  std::uint32_t KeepAliveInterval() const { return FKeepAliveInterval; }
  void SetKeepAliveInterval(std::uint32_t Value) { FKeepAliveInterval = Value; }
  TWSocketOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
  TSocketSendFlags SendFlags() const { return static_cast<TSocketSendFlags>(FSendFlags); }
  // Only wsSendNormal and wsSendUrgent; any other value reports "Invalid SendFlags".
  void SetSendFlags(TSocketSendFlags Value);
  int LastError() const { return FLastError; }
  void SetLastError(int Value) { FLastError = Value; }

  // The requested socket-library version, process-wide; refused while the library is loaded.
  std::uint8_t ReqVerLow() const;
  void SetReqVerLow(std::uint8_t Value);
  std::uint8_t ReqVerHigh() const;
  void SetReqVerHigh(std::uint8_t Value);

  bool ReuseAddr() const { return FReuseAddr; }
  void SetReuseAddr(bool Value) { FReuseAddr = Value; }
  int ListenBacklog() const { return FListenBacklog; }
  void SetListenBacklog(int Value) { FListenBacklog = Value; }
  bool MultiCast() const { return FMultiCast; }
  void SetMultiCast(bool Value) { FMultiCast = Value; }
  const String& MultiCastAddrStr() const { return FMultiCastAddrStr; }
  void SetMultiCastAddrStr(const String& Value) { FMultiCastAddrStr = Value; }
  int MultiCastIpTTL() const { return FMultiCastIpTTL; }
  void SetMultiCastIpTTL(int Value) { FMultiCastIpTTL = Value; }

  const String& DnsResult() const { return FDnsResult; }
  const std::vector<String>& DnsResultList() const { return FDnsResultList; }
  std::uint16_t PortNum() const { return static_cast<std::uint16_t>(FPortNum); }
  bool AllSent() const { return bAllSent; }
  std::int32_t BufSize() const { return FBufHandler->BufSize(); }
  void SetBufSize(std::int32_t Value) { FBufHandler->SetBufSize(Value); }
  std::int32_t BufferedByteCount() const { return FBufferedByteCount; }
  std::int64_t ReadCount() const { return FReadCount; }
  std::int64_t WriteCount() const { return FWriteCount; }
  // Bytes the system reports as readable; -1 when the question fails (also reported).
  std::int32_t RcvdCount();
  int SocketSndBufSize() const { return FSocketSndBufSize; }
  int SocketRcvBufSize() const { return FSocketRcvBufSize; }
  bool Paused() const { return FPaused; }
  // The share of the thread one readable notice may take: once its receive loop has read this
  // many bytes, or spent this many milliseconds (on the timers' clock, NetTimerTickCount),
  // with bytes still waiting, the loop ends and posts the notice again, so the rest is read on
  // the queue's next turn, after what other components and the window have queued meanwhile.
  // The close of the connection still reads everything that is left, at once.
  std::uint32_t ReceiveTurnBytes() const { return FReceiveTurnBytes; }
  void SetReceiveTurnBytes(std::uint32_t Value) { FReceiveTurnBytes = Value; }
  std::uint32_t ReceiveTurnMs() const { return FReceiveTurnMs; }
  void SetReceiveTurnMs(std::uint32_t Value) { FReceiveTurnMs = Value; }
  // The send pool, for tests and diagnostics.
  const TNetBufferHandler& BufHandler() const { return *FBufHandler; }
  // Cancelled lookups whose late answer is still awaited, for tests and diagnostics.
  std::size_t RetiredLookupCount() const { return FRetiredLookupBuffers.size(); }

  // --- Events -------------------------------------------------------------------------------
  TDnsLookupDone OnDnsLookupDone;
  TChangeState OnChangeState;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TNotifyEvent OnError;
  TNotifyEvent OnAddressListChanged;
  TNotifyEvent OnRoutingInterfaceChanged;

  // --- Failure reporting (public: the HTTP client and tests use them) ----------------------
  // OnError assigned: fires it and returns; otherwise raises ESocketException(Msg).
  virtual void ReportFailure(const std::string& Msg);
  // Describes ErrCode (0: the system's current error) as "<text> (#<code> in <Operation>)",
  // closes first for 10054 and 10057, stores LastError, then ReportFailure.
  void ReportSocketError(const std::string& Operation, int ErrCode = 0);

 protected:
  // Connect's first checks (the socket free, a port and an address set): false after
  // reporting the first that fails.
  bool ConnectTargetReady();
  // --- Message ids and dispatch -------------------------------------------------------------
  // Ends the session and leaves the socket library before the window is left; runs once,
  // from the destructor of the most derived class that extends ReturnMessageIds.
  void ReleaseResources(bool Disposing) override;
  int MessageIdsNeeded() override;
  void ClaimMessageIds() override;
  void ReturnMessageIds() override;
  void HandleWindowMessage(TMessage& MsgRec) override;
  void AbortAfterBgException() override;
  // A detach is refused while a name lookup is outstanding (its answer would go to the old
  // window) or a connect is under way, besides queued notices. The notices of the socket stop
  // around the check and follow the component to its new window.
  std::string PendingWork() override;
  void StopNotices() override;
  void RestartNotices() override;

  // --- Layered operations -------------------------------------------------------------------
  virtual std::int32_t RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags);
  // Whether Receive may give bytes that the system no longer reports as readable (a layer's
  // own buffer); the receive loop goes on while it does.
  virtual bool ReceiveBuffered() { return false; }
  virtual std::int32_t SendRaw(const void* Data, std::int32_t Len);
  virtual bool TriggerDataAvailable(std::uint16_t ErrCode);
  virtual void TriggerSessionConnected(std::uint16_t ErrCode);
  // The TCP connect has ended (ErrCode 0: connected): enters wsConnected and fires
  // OnSessionConnected. A proxy layer takes it over to negotiate first and fires
  // OnSessionConnected itself when the way to the target is open, or failed.
  virtual void TransportConnected(std::uint16_t ErrCode);
  virtual void TriggerSessionClosed(std::uint16_t ErrCode);
  virtual void ResetToDefaults();
  virtual void ReleaseSocket(bool Graceful, int ErrCode);
  virtual void AbortSocket(int ErrCode);

  virtual void TriggerDnsLookupDone(std::uint16_t ErrCode);
  virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
  virtual void TriggerDataSent(std::uint16_t ErrCode);
  virtual void TriggerSendData(std::int32_t BytesSent);
  virtual void TriggerError();
  virtual void TriggerSessionAvailable(std::uint16_t ErrCode);

  void SetSocketState(TSocketState NewState);
  void TryToSend();
  // Bounded: a readable notice's loop, which keeps to ReceiveTurnBytes and ReceiveTurnMs; the
  // close notice reads to the end.
  void ReceiveLoop(std::uint16_t ErrCode, TWSocketOptions Options, bool Bounded);

  // Notice handlers, one per select event.
  void HandleSelectNotice(TMessage& Msg);
  void HandleConnectNotice(std::uint16_t ErrCode);
  void HandleReadNotice(std::uint16_t ErrCode);
  // The readable notice that a bounded receive loop posted for the rest.
  void HandleReadResumeNotice(std::uint16_t ErrCode);
  // While window input or painting waits behind the readable notices, reading waits for a
  // tick of a window timer (true: the notice is taken over).
  bool DeferReadForInput(std::uint16_t ErrCode);
  void ReadDeferTick();
  void HandleWriteNotice(std::uint16_t ErrCode);
  void HandleAcceptNotice(std::uint16_t ErrCode);
  void HandleCloseNotice(std::uint16_t ErrCode);
  void HandleLookupReply(TMessage& Msg);
  void HandleReverseLookupReply(TMessage& Msg);

  void StopDnsLookup(bool Silent);
  bool SetTcpNoDelayOption();
  void SetLingerOption();
  void SetKeepAliveOption();
  bool BindLocalAddress();

  // True while the destructor runs: no OnSessionClosed or OnDnsLookupDone then.
  bool FDestroying = false;

  plat::sock::TSocket FHSocket = plat::sock::kInvalidSocket;
  TSocketState FState = wsInvalidState;
  TSocketFamily FSocketFamily = sfIPv4;
  TSocketFamily FOldSocketFamily = sfIPv4;
  plat::sock::TSockAddrIn6 Fsin{};
  int FAddrFormat = plat::sock::kAfInet;
  String FAddrStr;
  bool FAddrAssigned = false;
  bool FAddrResolved = false;
  String FPortStr;
  std::int32_t FPortNum = 0;
  bool FPortAssigned = false;
  bool FPortResolved = false;
  String FProtoStr;
  int FProto = plat::sock::kIpProtoTcp;
  int FType = plat::sock::kSockStream;
  bool FProtoAssigned = false;
  bool FProtoResolved = false;
  String FLocalAddr;
  String FLocalAddr6;
  String FLocalPortStr;
  std::int32_t FLocalPortNum = 0;
  bool FLocalPortResolved = false;
  String FDnsResult;
  std::vector<String> FDnsResultList;
  plat::sock::TAsyncHandle FDnsLookupHandle = 0;
  // Where the system writes the host entry of the current IPv4 lookup. A cancelled lookup's
  // buffer is retired until its late answer arrives, since not every system's cancel stops the
  // write (Wine's does nothing); at most kMaxRetiredLookups are kept, the oldest going first. A
  // socket that leaves its window with retired lookups hands them, and the ids their answers
  // come with, to a TLookupAnswerKeeper.
  struct THostEntBuffer {
    alignas(alignof(void*)) char Data[1025];
  };
  using TRetiredLookups =
      std::vector<std::pair<plat::sock::TAsyncHandle, std::unique_ptr<THostEntBuffer>>>;
  static constexpr std::size_t kMaxRetiredLookups = 8;
  std::unique_ptr<THostEntBuffer> FDnsLookupBuffer;
  TRetiredLookups FRetiredLookupBuffers;
  bool FDnsLookupCheckMsg = false;
  TMessage FDnsLookupTempMsg;
  bool FReverseLookup = false;
  TNetBufferHandler* FBufHandler = nullptr;  // owned (a component owned by this one)
  std::int32_t FBufferedByteCount = 0;
  bool bAllSent = true;
  int FLastError = 0;
  std::int64_t FReadCount = 0;
  std::int64_t FWriteCount = 0;
  bool FPaused = false;
  bool FCloseInvoked = false;
  std::int32_t FSelectEvent = 0;
  TWSocketOptions FComponentOptions;
  int FSendFlags = 0;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int FLingerTimeout = 0;
  TSocketKeepAliveOnOff FKeepAliveOnOff = wsKeepAliveOff;
  std::uint32_t FKeepAliveTime = 0;
  std::uint32_t FKeepAliveInterval = 0;
  int FSocketSndBufSize = 0;
  int FSocketRcvBufSize = 0;
  bool FReuseAddr = false;
  int FListenBacklog = 5;
  bool FMultiCast = false;
  String FMultiCastAddrStr;
  int FMultiCastIpTTL = 1;
  std::unique_ptr<TWSocketCounter> FCounter;
  TWSocketCounterClass FCounterClass;

  std::uint32_t FMsg_WM_ASYNCSELECT = 0;
  std::uint32_t FMsg_WM_ASYNCGETHOSTBYNAME = 0;
  std::uint32_t FMsg_WM_ASYNCGETHOSTBYADDR = 0;
  std::uint32_t FMsg_WM_CLOSE_DELAYED = 0;
  std::uint32_t FMsg_WM_TRIGGER_EXCEPTION = 0;
  std::uint32_t FMsg_WM_TRIGGER_DATA_AVAILABLE = 0;

 private:
  friend class TLookupAnswerKeeper;
  void DropStaleNotices();
  char* LookupBuffer();
  int CancelOutstandingLookup();
  void ReleaseRetiredBuffer(plat::WParam Handle);
  void ResolveAddrForFamily();
  plat::sock::TSockAddrIn Sin4() const;
  void SetSin4(const plat::sock::TSockAddrIn& Value);

  // The outstanding lookup runs on a worker thread (families other than sfIPv4, IPv6 reverse).
  bool FDnsLookupOnWorker = false;
  // Receive calls so far: the receive loop stops after an event whose handler read nothing.
  std::uint64_t FRecvCalls = 0;
  // Socket handles closed so far: a close that pumps messages learns whether a handler closed
  // the socket meanwhile (Windows may hand the same handle value to the next socket).
  std::uint32_t FHandleCloses = 0;
  std::uint32_t FReceiveTurnBytes = 1024 * 1024;
  std::uint32_t FReceiveTurnMs = 10;
  // A readable notice waits for the window's input and painting; its timer is owned here.
  bool FReadDeferred = false;
  std::uint16_t FReadDeferredError = 0;
  TNetTimer* FReadDeferTimer = nullptr;
};

// Tunnel through an HTTP proxy: inactive while HttpTunnelServer is empty.
//
// When active, Connect takes Addr and Port as the target, connects to HttpTunnelServer:
// HttpTunnelPort instead (a dotted address, or a name resolved with the blocking lookup) and
// asks the proxy for a tunnel: "CONNECT host:port HTTP/1.0" with a Host field (HTTP/1.1 with
// wsoNoHttp10Tunnel), answering a 407 with the credentials HttpTunnelUsercode and
// HttpTunnelPassword in the scheme HttpTunnelAuthType names (htatDetect: the strongest the
// proxy offers that can be answered: NTLM, Digest, Basic; htatBasic and htatNtlm force theirs;
// htatNone answers none). NTLM with no user code takes the logged-on user's credentials where
// the system has them (Windows). A proxy that closes after its 407 is connected to again
// (the tunnel-reconnect message), unseen by the owner. Only when the proxy answers 2xx does
// OnHttpTunnelConnected(0), then OnSessionConnected(0) fire; from then on the connection is the
// target's, and bytes the proxy sent after its answer are the session's first bytes. A
// refusal, a malformed or too large answer, failed authentication or a close during the
// negotiation fires OnHttpTunnelError(code), then OnSessionConnected(code) and closes, as a
// refused connect does; the codes are 21000 to 21599 (proxy::kTunnel..., 21000 + the proxy's
// status for a refusal) with texts beginning "HTTP Proxy - " (DescribeSocketError).
// HttpTunnelLastResponse keeps the proxy's last status line. Nothing the proxy sends is read
// beyond proxy::kTunnelAnswerLimit header bytes, and at most kTunnelMaxRounds answers are
// taken per Connect.
class TCustomHttpTunnelWSocket : public TCustomWSocket {
 public:
  explicit TCustomHttpTunnelWSocket(TComponent* AOwner);
  ~TCustomHttpTunnelWSocket() override;

  static constexpr int kTunnelMaxRounds = 4;

  const String& HttpTunnelServer() const { return FHttpTunnelServer; }
  void SetHttpTunnelServer(const String& Value);
  const String& HttpTunnelPort() const { return FHttpTunnelPort; }
  void SetHttpTunnelPort(const String& Value);
  THttpTunnelAuthType HttpTunnelAuthType() const { return FHttpTunnelAuthType; }
  void SetHttpTunnelAuthType(THttpTunnelAuthType Value) { FHttpTunnelAuthType = Value; }
  const String& HttpTunnelUsercode() const { return FHttpTunnelUsercode; }
  void SetHttpTunnelUsercode(const String& Value) { FHttpTunnelUsercode = Value; }
  const String& HttpTunnelPassword() const { return FHttpTunnelPassword; }
  void SetHttpTunnelPassword(const String& Value) { FHttpTunnelPassword = Value; }
  // The NTLM response kind (as THttpCli's LmCompatLevel): 3 and above NTLMv2.
  int HttpTunnelLmCompatLevel() const { return FHttpTunnelLmCompatLevel; }
  void SetHttpTunnelLmCompatLevel(int Value) { FHttpTunnelLmCompatLevel = Value; }
  // The proxy's last status code (0 before an answer; 21000 after a reported failure) and
  // status line.
  int HttpTunnelStatusCode() const { return FHttpTunnelStatusCode; }
  const AnsiString& HttpTunnelLastResponse() const { return FHttpTunnelLastResponse; }
  // The tunnel is up for the current session.
  bool HttpTunnelEstablished() const { return FTunnelState == TTunnelState::Established; }

  void Connect() override;
  void ReportFailure(const std::string& Msg) override;

  TSessionConnected OnHttpTunnelConnected;
  TSessionConnected OnHttpTunnelError;

 protected:
  int MessageIdsNeeded() override;
  void ClaimMessageIds() override;
  void ReturnMessageIds() override;
  void HandleWindowMessage(TMessage& MsgRec) override;
  void ResetToDefaults() override;
  void TransportConnected(std::uint16_t ErrCode) override;
  bool TriggerDataAvailable(std::uint16_t ErrCode) override;
  void TriggerDataSent(std::uint16_t ErrCode) override;
  void TriggerSessionClosed(std::uint16_t ErrCode) override;
  void TriggerChangeState(TSocketState OldState, TSocketState NewState) override;
  void ReleaseSocket(bool Graceful, int ErrCode) override;
  virtual void TriggerHttpTunnelConnected(std::uint16_t ErrCode);
  virtual void TriggerHttpTunnelError(std::uint16_t ErrCode);
  bool HttpTunnelActive() const { return !FHttpTunnelServer.empty(); }
  bool HttpTunnelNegotiating() const {
    return FTunnelState == TTunnelState::Connecting || FTunnelState == TTunnelState::Answer ||
           FTunnelState == TTunnelState::SkipBody;
  }

  String FHttpTunnelServer;
  String FHttpTunnelPort;
  THttpTunnelAuthType FHttpTunnelAuthType = htatDetect;
  String FHttpTunnelUsercode;
  String FHttpTunnelPassword;
  int FHttpTunnelLmCompatLevel = 3;
  int FHttpTunnelStatusCode = 0;
  std::int64_t FHttpTunnelRcvdCnt = 0;
  AnsiString FHttpTunnelLastResponse;
  std::uint32_t FMsg_WM_TUNNEL_RECONNECT = 0;

 private:
  enum class TTunnelState { Idle, Connecting, Answer, SkipBody, Established, Failed };
  enum class TTunnelAuth { None, Basic, Digest, Ntlm };
  void TunnelSendRequest();
  // Reads the proxy's answer (header, then the body of a 407) without taking a byte of the
  // session's; true once the negotiation has ended in this call.
  bool TunnelRead(std::uint16_t ErrCode);
  void TunnelAnswerComplete();
  void TunnelAfterChallenge();
  void TunnelEstablished(std::uint16_t ErrCode);
  void TunnelFail(int Code);
  void TunnelReconnect();
  // Chooses the scheme that answers the 407 and prepares its next message; false when the
  // proxy offers nothing this tunnel can answer (Code says why).
  bool TunnelChooseAuth(int& Code);
  std::string TunnelAuthorization();

  TTunnelState FTunnelState = TTunnelState::Idle;
  // The target, kept across the proxy's close after a 407.
  String FTunnelTargetHost, FTunnelTargetPort;
  String FTunnelLocalAddr, FTunnelLocalAddr6, FTunnelLocalPort;
  std::string FTunnelHeader;
  std::uint64_t FTunnelBodyLeft = 0;
  proxy::TTunnelAnswer FTunnelAnswer;
  // Authentication across the rounds of one Connect (also across a reconnect).
  int FTunnelRounds = 0;
  TTunnelAuth FTunnelAuth = TTunnelAuth::None;
  int FTunnelAuthStep = 0;
  std::unique_ptr<httpauth::TDigestClient> FTunnelDigest;
  std::unique_ptr<httpauth::TNtlmClient> FTunnelNtlm;
  // The NTLM challenge (type 2) to answer with the next request; empty for the first message.
  std::string FTunnelNtlmChallenge;
  bool FTunnelReconnecting = false;
};

// SOCKS 4, 4A and 5 client: inactive while SocksServer is empty.
//
// When active, Connect takes Addr and Port as the target and connects to SocksServer:SocksPort
// (default port 1080) instead. Once that connection stands the state is wsSocksConnected while
// the negotiation runs: SOCKS 5 offers no authentication and, with socksAuthenticateUsercode,
// user code and password (RFC 1929; OnSocksAuthState reports the steps), then asks for the
// target by IPv4 or IPv6 address or by name (the server resolves it); SOCKS 4A sends a name to
// the server too; SOCKS 4 needs an IPv4 address and resolves a name itself with the blocking
// lookup. Only then the state becomes wsConnected and OnSocksConnected(0), OnSessionConnected(0)
// fire. A failure fires OnSocksError(code), then OnSessionConnected(code) and closes, as a
// refused connect does; codes 20000 to 20017 (proxy::kSocks...), texts "SOCKS - ...". The
// replies are read exactly to their length, so the session's first bytes stay with it.
enum TSocksAuthState {
  socksAuthStart = 0,
  socksAuthSuccess = 1,
  socksAuthFailure = 2,
  socksAuthNotRequired = 3,
};

class TCustomSocksWSocket : public TCustomHttpTunnelWSocket {
 public:
  explicit TCustomSocksWSocket(TComponent* AOwner);

  const String& SocksServer() const { return FSocksServer; }
  void SetSocksServer(const String& Value);
  const String& SocksPort() const { return FSocksPort; }
  void SetSocksPort(const String& Value);
  const String& SocksLevel() const { return FSocksLevel; }
  // "4", "4A", "4a" or "5"; anything else reports "Invalid socks level. Must be 4, 4A or 5."
  void SetSocksLevel(const String& Value);
  const String& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const String& Value) { FSocksUsercode = Value; }
  const String& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const String& Value) { FSocksPassword = Value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

  void Connect() override;

  TSessionConnected OnSocksConnected;
  TSessionConnected OnSocksError;
  std::function<void(TObject* Sender, int AuthState)> OnSocksAuthState;

 protected:
  void ResetToDefaults() override;
  void TransportConnected(std::uint16_t ErrCode) override;
  bool TriggerDataAvailable(std::uint16_t ErrCode) override;
  void TriggerDataSent(std::uint16_t ErrCode) override;
  virtual void TriggerSocksConnected(std::uint16_t ErrCode);
  virtual void TriggerSocksError(std::uint16_t ErrCode);
  virtual void TriggerSocksAuthState(int AuthState);
  bool SocksActive() const { return !FSocksServer.empty(); }
  bool SocksNegotiating() const { return FSocksState > 0 && FSocksState < kSocksDone; }

  String FSocksServer;
  String FSocksPort;
  String FSocksLevel = u"5";
  String FSocksUsercode;
  String FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  int FSocksState = 0;  // idle

 private:
  // FSocksState values: what is awaited.
  static constexpr int kSocksConnecting = 1;  // the TCP connect to the server
  static constexpr int kSocksMethod = 2;      // SOCKS 5 method choice
  static constexpr int kSocksAuth = 3;        // SOCKS 5 user code and password verdict
  static constexpr int kSocksReply = 4;       // the reply to the connect request
  static constexpr int kSocksDone = 5;
  void SocksSend(const std::string& Bytes);
  void SocksSendRequest();
  // Reads no more than the message awaited needs; true once the negotiation ended in this call.
  bool SocksRead();
  void SocksMessage();
  void SocksFail(int Code);
  void SocksEstablished(std::uint16_t ErrCode);

  std::string FSocksTargetHost;
  std::uint16_t FSocksTargetPort = 0;
  std::uint8_t FSocksTargetIPv4[4] = {};
  std::string FSocksRcvd;
  std::size_t FSocksNeed = 0;
};

// TLS over the connection: inactive while SslEnable is false. When on, Connect creates a
// client session (platform/tls.h) and the TCP connect is followed by the handshake before
// OnSessionConnected(0) fires; the layers above it and the owner read and write plain bytes,
// and the send buffer holds the encrypted ones. A failed handshake or verification fires
// OnSessionConnected with its code (plat::tls::kTlsErr..., SslErrorText says why) and closes,
// as a refused connect does. After the handshake the peer's close-notify, and equally a TCP
// close without it, read as the end (Receive gives 0): whether the data before it was
// complete is the protocol's to judge, and SslClosedInOrder tells the two apart. A bad record
// ends the session with kTlsErrProtocol.
class TCustomSslWSocket : public TCustomSocksWSocket {
 public:
  explicit TCustomSslWSocket(TComponent* AOwner);
  ~TCustomSslWSocket() override;

  bool SslEnable() const { return FSslEnable; }
  // Only while wsClosed; reported otherwise.
  void SetSslEnable(bool Value);
  // The host the certificate must name (sent as the server name too); empty: Addr.
  const String& SslServerName() const { return FSslServerName; }
  void SetSslServerName(const String& Value) { FSslServerName = Value; }
  // A PEM file of roots trusted besides the system's; empty for none.
  const String& SslTrustedRootsFile() const { return FSslTrustedRootsFile; }
  void SetSslTrustedRootsFile(const String& Value) { FSslTrustedRootsFile = Value; }
  // The handshake has completed in the current session.
  bool SslEstablished() const { return FSslEstablished; }
  // The peer has ended the session with its close-notify (not only closed the connection).
  bool SslClosedInOrder() const { return FSslPeerClosed; }
  // The last TLS failure: its description and the reason, "" when there was none.
  const String& SslErrorText() const { return FSslErrorText; }

  void Connect() override;
  std::int32_t Send(const void* Data, std::int32_t Len) override;
  using TCustomWSocket::Send;
  void PutDataInSendBuffer(const void* Data, std::int32_t Len) override;

 protected:
  std::int32_t RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags) override;
  bool ReceiveBuffered() override;
  bool TriggerDataAvailable(std::uint16_t ErrCode) override;
  void TriggerSessionConnected(std::uint16_t ErrCode) override;
  void TriggerDataSent(std::uint16_t ErrCode) override;
  void ResetToDefaults() override;
  // A graceful close of an established session sends the close-notify first.
  void ReleaseSocket(bool Graceful, int ErrCode) override;

 private:
  // Reads what the peer sent during the handshake and moves the handshake on.
  void SslHandshakeInput();
  void SslAdvanceHandshake();
  // Moves what the session has to send into the send buffer; false when there was nothing.
  bool SslQueueOutgoing();
  // Queues what the session produced for the peer and starts sending it.
  void SslFlushOutgoing();
  void SslFailHandshake(int Code, const std::string& Reason);
  // Decrypted bytes into Out, reading the system's bytes as needed; RecvRaw's result.
  std::int32_t SslDecrypt(char* Out, std::int32_t Size);
  void SslSetError(int Code, const std::string& Reason);

  bool FSslEnable = false;
  String FSslServerName;
  String FSslTrustedRootsFile;
  String FSslErrorText;
  int FSslErrorCode = 0;
  std::unique_ptr<plat::tls::TTlsSession> FSslSession;
  bool FSslHandshaking = false;
  bool FSslEstablished = false;
  bool FSslPeerClosed = false;
  // Plain bytes given to Send before the handshake ended; they go out after it.
  std::string FSslEarlyPlain;
  std::string FSslOutgoing;
  std::vector<char> FSslRecvBuf;
};

// Line mode: inactive while LineMode is false.
class TCustomLineWSocket : public TCustomSslWSocket {
 public:
  explicit TCustomLineWSocket(TComponent* AOwner);

  bool LineMode() const { return FLineMode; }
  void SetLineMode(bool Value);
  const AnsiString& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const AnsiString& Value) { FLineEnd = Value; }
  std::int32_t LineLimit() const { return FLineLimit; }
  void SetLineLimit(std::int32_t Value) { FLineLimit = Value; }
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool Value) { FLineEcho = Value; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool Value) { FLineEdit = Value; }

 protected:
  std::int32_t RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags) override;
  bool TriggerDataAvailable(std::uint16_t ErrCode) override;
  void TriggerSessionClosed(std::uint16_t ErrCode) override;
  void AbortSocket(int ErrCode) override;

  bool FLineMode = false;
  AnsiString FLineEnd = "\r\n";
  std::int32_t FLineLimit = 65536;
  bool FLineEcho = false;
  bool FLineEdit = false;
};

// ReadLine: waits for one line while pumping messages (requires LineMode).
class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  explicit TCustomSyncWSocket(TComponent* AOwner);
};

// Connect and idle time-outs: inactive while both are 0.
enum TTimeoutReason { torConnect, torIdle };
using TTimeoutEvent = std::function<void(TObject* Sender, TTimeoutReason Reason)>;

class TCustomTimeoutWSocket : public TCustomSyncWSocket {
 public:
  explicit TCustomTimeoutWSocket(TComponent* AOwner);
  // The timer goes first: no tick may reach a layer that is being destroyed.
  ~TCustomTimeoutWSocket() override;

  std::uint32_t TimeoutConnect() const { return FTimeoutConnect; }
  void SetTimeoutConnect(std::uint32_t Value) { FTimeoutConnect = Value; }
  std::uint32_t TimeoutIdle() const { return FTimeoutIdle; }
  void SetTimeoutIdle(std::uint32_t Value) { FTimeoutIdle = Value; }
  std::uint32_t TimeoutSampling() const { return FTimeoutSampling; }
  // A value from 1 to 999 is stored as 1000.
  void SetTimeoutSampling(std::uint32_t Value);
  bool TimeoutKeepThreadAlive() const { return FTimeoutKeepThreadAlive; }
  void SetTimeoutKeepThreadAlive(bool Value) { FTimeoutKeepThreadAlive = Value; }

  const TTimeoutEvent& OnTimeout() const { return FOnTimeout; }
  void SetOnTimeout(TTimeoutEvent Value) { FOnTimeout = std::move(Value); }
  // The sampling timer; none until a time-out is first watched.
  TNetThreadTimer* TimeoutTimer() const { return FTimeoutTimer; }

  void Connect() override;

  // Starts (creating the timer when missing) and stops the sampling timer.
  void TimeoutStartSampling();
  void TimeoutStopSampling();

 protected:
  void TriggerSessionConnected(std::uint16_t ErrCode) override;
  void TriggerSessionClosed(std::uint16_t ErrCode) override;
  // Every release of the socket ends the watch, also one that fires no OnSessionClosed.
  void ResetToDefaults() override;
  // A detach stops the timer and remembers whether it ran; the attach restores that.
  void LeavingThread() override;
  void JoinedThread() override;
  // One sampling tick: checks the connect limit, then the idle limit.
  void TimeoutTick(TObject* Sender);
  virtual void TriggerTimeout(TTimeoutReason Reason);

  std::uint32_t FTimeoutConnect = 0;
  std::uint32_t FTimeoutIdle = 0;
  std::uint32_t FTimeoutSampling = 5000;
  bool FTimeoutKeepThreadAlive = true;
  TTimeoutEvent FOnTimeout;
  TNetThreadTimer* FTimeoutTimer = nullptr;  // owned by this component
  std::uint32_t FTimeoutConnectStartTick = 0;
  bool FTimeoutOldTimerEnabled = false;  // saved by a detach, restored by the attach
};

// Bandwidth limit: inactive while BandwidthLimit is 0.
class TCustomThrottledWSocket : public TCustomTimeoutWSocket {
 public:
  explicit TCustomThrottledWSocket(TComponent* AOwner);
  ~TCustomThrottledWSocket() override;

  std::uint32_t BandwidthLimit() const { return FBandwidthLimit; }
  // Storing a different value restarts the control at once when the timer exists.
  void SetBandwidthLimit(std::uint32_t Value);
  std::uint32_t BandwidthSampling() const { return FBandwidthSampling; }
  // A value below 500 is stored as 500.
  void SetBandwidthSampling(std::uint32_t Value);
  bool BandwidthKeepThreadAlive() const { return FBandwidthKeepThreadAlive; }
  void SetBandwidthKeepThreadAlive(bool Value) { FBandwidthKeepThreadAlive = Value; }

  // Bytes sent plus received in the current period, the allowance per period, and the state.
  std::uint32_t BandwidthCount() const { return FBandwidthCount; }
  std::uint32_t BandwidthMaxCount() const { return FBandwidthMaxCount; }
  bool BandwidthPaused() const { return FBandwidthPaused; }
  bool BandwidthEnabled() const { return FBandwidthEnabled; }
  // The sampling timer; none until a limit is first applied.
  TNetThreadTimer* BandwidthTimer() const { return FBandwidthTimer; }

  std::int32_t Receive(void* Buffer, std::int32_t BufferSize) override;

 protected:
  std::int32_t SendRaw(const void* Data, std::int32_t Len) override;
  void TriggerSessionConnected(std::uint16_t ErrCode) override;
  void TriggerSessionClosed(std::uint16_t ErrCode) override;
  // Every release of the socket ends the control, also one that fires no OnSessionClosed.
  void ResetToDefaults() override;
  void LeavingThread() override;
  void JoinedThread() override;
  // Resets the count and switches the control on or off after BandwidthLimit.
  void StartBandwidthControl();
  // One sampling period is over: resumes a paused socket, carrying the excess.
  void BandwidthTick(TObject* Sender);
  // The length a transfer of Len bytes may have in this period.
  std::int32_t BandwidthCut(std::int32_t Len) const;
  // Counts n moved bytes and pauses once the allowance is passed.
  void BandwidthAddCount(std::int32_t n);

  std::uint32_t FBandwidthLimit = 0;
  std::uint32_t FBandwidthSampling = 1000;
  bool FBandwidthKeepThreadAlive = true;
  std::uint32_t FBandwidthCount = 0;
  std::uint32_t FBandwidthMaxCount = 0;
  TNetThreadTimer* FBandwidthTimer = nullptr;  // owned by this component
  bool FBandwidthPaused = false;
  bool FBandwidthEnabled = false;
  bool FBandwidthOldTimerEnabled = false;  // saved by a detach, restored by the attach
};

// The component to instantiate.
class TWSocket : public TCustomThrottledWSocket {
 public:
  explicit TWSocket(TComponent* AOwner) : TCustomThrottledWSocket(AOwner) {}
};
