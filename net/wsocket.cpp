// TCustomWSocket: free functions, construction, messages, state and events, the counter,
// threads and addresses. Properties, resolve and connect, sending, receiving and closing
// are in wsocket_properties.cpp, wsocket_connect.cpp, wsocket_send.cpp,
// wsocket_receive.cpp and wsocket_close.cpp.
#include "net/wsocket.h"

#include <algorithm>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/dnslookup.h"
#include "net/wsocket_internal.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/tick.h"

using namespace wsocket_detail;

// ---------------------------------------------------------------------------------------------
// Late answers of cancelled lookups after their socket has gone.

// Takes over, from a socket that leaves its window, the buffers of its cancelled lookups and
// the two ids their answers are posted with: the memory stays valid for a system that writes
// it all the same, and no other component receives those answers under a reused id. Each
// answer frees its buffer; with the last one the keeper returns the ids and destroys itself.
// A thread keeps at most kMaxKeepersPerThread of them; a further one makes the oldest let go.
class TLookupAnswerKeeper final : public TNetWndControl {
 public:
  static constexpr std::size_t kMaxKeepersPerThread = 8;

  static void Keep(TCustomWSocket& From) {
    auto* keeper = new TLookupAnswerKeeper;
    keeper->FByName = keeper->TakeOverMessageId(From, From.FMsg_WM_ASYNCGETHOSTBYNAME);
    keeper->FByAddr = keeper->TakeOverMessageId(From, From.FMsg_WM_ASYNCGETHOSTBYADDR);
    keeper->FBuffers = std::move(From.FRetiredLookupBuffers);
    From.FRetiredLookupBuffers.clear();
    std::vector<TLookupAnswerKeeper*>& mine = Keepers();
    mine.push_back(keeper);
    if (mine.size() > kMaxKeepersPerThread) delete mine.front();
  }
  // The keepers of the calling thread, oldest first.
  static std::size_t CountOnThisThread() { return Keepers().size(); }
  static void ReleaseAllOnThisThread() {
    std::vector<TLookupAnswerKeeper*>& mine = Keepers();
    while (!mine.empty())
      delete mine.back();
  }

  ~TLookupAnswerKeeper() override {
    ReleaseResources(true);
    std::vector<TLookupAnswerKeeper*>& mine = Keepers();
    mine.erase(std::remove(mine.begin(), mine.end(), this), mine.end());
  }

 protected:
  int MessageIdsNeeded() override { return 0; }
  void ClaimMessageIds() override {}
  void ReturnMessageIds() override {
    if (FWndHandler != nullptr) {
      FWndHandler->UnregisterMessage(FByName);
      FWndHandler->UnregisterMessage(FByAddr);
    }
  }
  void HandleWindowMessage(TMessage& MsgRec) override {
    if (MsgRec.Msg == 0 || (MsgRec.Msg != FByName && MsgRec.Msg != FByAddr)) return;
    for (auto it = FBuffers.begin(); it != FBuffers.end(); ++it) {
      if (it->first == static_cast<ws::TAsyncHandle>(MsgRec.WParam)) {
        FBuffers.erase(it);
        break;
      }
    }
    if (FBuffers.empty()) delete this;
  }

 private:
  TLookupAnswerKeeper() : TNetWndControl(nullptr) {}

  // Keepers are created, answered and destroyed on the thread of the window they listen on.
  // Each thread's list is made on first use and stays in a process-wide table (a thread that
  // ends with keepers left leaves them there); a handful of threads, so a short list searched.
  static std::vector<TLookupAnswerKeeper*>& Keepers() {
    using TList = std::vector<TLookupAnswerKeeper*>;
    static plat::Mutex* lock = new plat::Mutex;
    static auto* by_thread = new std::vector<std::pair<std::uint32_t, TList*>>;
    const std::uint32_t self = plat::CurrentThreadId();
    std::lock_guard<plat::Mutex> guard(*lock);
    for (const auto& entry : *by_thread)
      if (entry.first == self) return *entry.second;
    by_thread->emplace_back(self, new TList);
    return *by_thread->back().second;
  }

  std::uint32_t FByName = 0;
  std::uint32_t FByAddr = 0;
  TCustomWSocket::TRetiredLookups FBuffers;
};

std::size_t LookupAnswerKeepersOnThisThread() {
  return TLookupAnswerKeeper::CountOnThisThread();
}

void ReleaseLookupAnswerKeepersOnThisThread() {
  TLookupAnswerKeeper::ReleaseAllOnThisThread();
}

// ---------------------------------------------------------------------------------------------
// Free functions.

TDateTime NowAsDateTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  // Days from 1899-12-30 to the local date, plus the fraction of the day.
  auto days_from_civil = [](int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int>(doe) - 719468;
  };
  int days = days_from_civil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                             static_cast<unsigned>(local.tm_mday)) -
             days_from_civil(1899, 12, 30);
  double frac = (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec) / 86400.0;
  return days + frac;
}

void TWSocketCounter::SetConnected() {
  ConnectDT = NowAsDateTime();
  ConnectTick = plat::GetTickCount();
  LastRecvTick = 0;
  LastSendTick = 0;
}

std::uint32_t TWSocketCounter::LastAliveTick() const {
  std::uint32_t r = ConnectTick;
  if (LastRecvTick > r) r = LastRecvTick;
  if (LastSendTick > r) r = LastSendTick;
  return r;
}

String DescribeSocketError(int ErrCode) {
  return text::FromUtf8(ErrorTextOf(ErrCode));
}

String DescribeSocketErrorWithCode(int ErrCode) {
  return text::FromUtf8(DescribeWithCode(ErrCode));
}

AnsiString QueryLocalHostName() {
  char buf[256] = {};
  int r;
  {
    LibraryUse use;
    r = ws::gethostname(buf, sizeof buf);
  }
  if (r != 0) throw ESocketException("Winsock Get Host Name failed");
  return AnsiString(buf);
}

bool IsDottedIPv4(std::string_view Text) {
  std::size_t i = 0, n = Text.size();
  while (i < n && Text[i] == ' ')
    ++i;
  if (i < n && Text[i] == '.') return false;
  int dots = 0;
  std::uint64_t group = 0;
  for (; i < n; ++i) {
    char c = Text[i];
    if (c >= '0' && c <= '9') {
      if (group < 100000) group = group * 10 + static_cast<unsigned>(c - '0');
    } else if (c == '.') {
      if (++dots > 3 || group >= 256) return false;
      if (i + 1 >= n || Text[i + 1] < '0' || Text[i + 1] > '9') return false;
      group = 0;
    } else if (c == ' ') {
      for (std::size_t k = i; k < n; ++k)
        if (Text[k] != ' ') return false;
      break;
    } else {
      return false;
    }
  }
  return dots == 3 && group < 256;
}

// ---------------------------------------------------------------------------------------------
// Construction and destruction.

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TNetWndControl(AOwner) {
  FBufHandler = new TNetBufferHandler(this);
  FBufHandler->SetBufSize(1460);
  FMultiCastIpTTL = 1;
  FListenBacklog = 5;
  FSocketFamily = sfIPv4;
  FOldSocketFamily = sfIPv4;
  ResetToDefaults();
  std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
  ++ws::SocketInstanceCount();
}

TCustomWSocket::~TCustomWSocket() {
  // Closing may pump messages: a tick handled then would read on a socket being destroyed.
  delete FReadDeferTimer;
  FReadDeferTimer = nullptr;
  ReleaseResources(true);
}

void TCustomWSocket::ReleaseResources(bool Disposing) {
  if (!Disposed && !FDestroying) {
    FDestroying = true;
    try {
      StopDnsLookup(true);
    } catch (...) {
    }
    if (FState != wsInvalidState) {
      try {
        if (FState != wsClosed || FHSocket != ws::kInvalidSocket) Close();
      } catch (...) {
      }
      std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
      if (--ws::SocketInstanceCount() <= 0) ws::UnloadSocketLibrary();
    }
    FCounter.reset();
  }
  TNetWndControl::ReleaseResources(Disposing);
}

int TCustomWSocket::MessageIdsNeeded() {
  return TNetWndControl::MessageIdsNeeded() + 6;
}

void TCustomWSocket::ClaimMessageIds() {
  TNetWndControl::ClaimMessageIds();
  FMsg_WM_ASYNCSELECT = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_ASYNCGETHOSTBYNAME = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_ASYNCGETHOSTBYADDR = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_CLOSE_DELAYED = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_TRIGGER_EXCEPTION = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_TRIGGER_DATA_AVAILABLE = FWndHandler->AllocateMsgHandler(this);
}

void TCustomWSocket::ReturnMessageIds() {
  // Answers of cancelled lookups may still come to this window: their buffers and ids stay.
  if (FWndHandler != nullptr && !FRetiredLookupBuffers.empty()) TLookupAnswerKeeper::Keep(*this);
  if (FWndHandler != nullptr) {
    FWndHandler->UnregisterMessage(FMsg_WM_ASYNCSELECT);
    FWndHandler->UnregisterMessage(FMsg_WM_ASYNCGETHOSTBYNAME);
    FWndHandler->UnregisterMessage(FMsg_WM_ASYNCGETHOSTBYADDR);
    FWndHandler->UnregisterMessage(FMsg_WM_CLOSE_DELAYED);
    FWndHandler->UnregisterMessage(FMsg_WM_TRIGGER_EXCEPTION);
    FWndHandler->UnregisterMessage(FMsg_WM_TRIGGER_DATA_AVAILABLE);
  }
  TNetWndControl::ReturnMessageIds();
}

void TCustomWSocket::HandleWindowMessage(TMessage& MsgRec) {
  const std::uint32_t m = MsgRec.Msg;
  if (m == 0 || (m != FMsg_WM_ASYNCSELECT && m != FMsg_WM_ASYNCGETHOSTBYNAME &&
                 m != FMsg_WM_ASYNCGETHOSTBYADDR && m != FMsg_WM_CLOSE_DELAYED &&
                 m != FMsg_WM_TRIGGER_EXCEPTION && m != FMsg_WM_TRIGGER_DATA_AVAILABLE)) {
    TNetWndControl::HandleWindowMessage(MsgRec);
    return;
  }
  Guarded([&] {
    if (m == FMsg_WM_ASYNCSELECT)
      HandleSelectNotice(MsgRec);
    else if (m == FMsg_WM_ASYNCGETHOSTBYNAME)
      HandleLookupReply(MsgRec);
    else if (m == FMsg_WM_ASYNCGETHOSTBYADDR)
      HandleReverseLookupReply(MsgRec);
    else if (m == FMsg_WM_CLOSE_DELAYED)
      Close();
    else if (m == FMsg_WM_TRIGGER_EXCEPTION)
      throw ESocketException("Test exception in WSocket");
    else if (m == FMsg_WM_TRIGGER_DATA_AVAILABLE && FHSocket != ws::kInvalidSocket)
      TriggerDataAvailable(0);
  });
}

void TCustomWSocket::AbortAfterBgException() {
  try {
    Abort();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// State, events and failure reporting.

void TCustomWSocket::SetSocketState(TSocketState NewState) {
  TSocketState old = FState;
  FState = NewState;
  if (old != NewState) TriggerChangeState(old, NewState);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::TriggerDnsLookupDone(std::uint16_t ErrCode) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, ErrCode);
}

void TCustomWSocket::TriggerSessionConnected(std::uint16_t ErrCode) {
  if (FCounter && FType == ws::kSockStream && ErrCode == 0) FCounter->SetConnected();
  FReadCount = 0;
  FWriteCount = 0;
  if (OnSessionConnected) OnSessionConnected(this, ErrCode);
}

void TCustomWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  if (OnSessionClosed) OnSessionClosed(this, ErrCode);
}

bool TCustomWSocket::TriggerDataAvailable(std::uint16_t ErrCode) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, ErrCode);
  return true;
}

void TCustomWSocket::TriggerDataSent(std::uint16_t ErrCode) {
  if (OnDataSent) OnDataSent(this, ErrCode);
}

void TCustomWSocket::TriggerSendData(std::int32_t BytesSent) {
  if (OnSendData) OnSendData(this, BytesSent);
}

void TCustomWSocket::TriggerError() {
  if (OnError) OnError(this);
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t ErrCode) {
  if (OnSessionAvailable) OnSessionAvailable(this, ErrCode);
}

void TCustomWSocket::ReportFailure(const std::string& Msg) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::ReportSocketError(const std::string& Operation, int ErrCode) {
  int code = ErrCode != 0 ? ErrCode : ws::WSAGetLastError();
  std::string line = ErrorTextOf(code) + " (#" + text::DecimalStr(code) + " in " + Operation + ")";
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (FHSocket != ws::kInvalidSocket) {
      ws::closesocket(FHSocket);
      DropStaleNotices();
      ++FHandleCloses;
    }
    FHSocket = ws::kInvalidSocket;
    if (FState != wsClosed) TriggerSessionClosed(static_cast<std::uint16_t>(code));
    SetSocketState(wsClosed);
  }
  FLastError = code;
  ReportFailure(line);
}

// ---------------------------------------------------------------------------------------------
// Counter, threads, addresses, listening.

void TCustomWSocket::CreateCounter() {
  FCounter.reset();
  FCounter = FCounterClass ? FCounterClass() : std::make_unique<TWSocketCounter>();
}

void TCustomWSocket::DestroyCounter() {
  FCounter.reset();
}

std::string TCustomWSocket::PendingWork() {
  if (FDnsLookupHandle != 0) return "a name lookup is outstanding";
  if (FState == wsConnecting) return "a connect is under way";
  return TNetWndControl::PendingWork();
}

void TCustomWSocket::StopNotices() {
  if (FHSocket != ws::kInvalidSocket && FHandle != 0) ws::WSAAsyncSelect(FHSocket, FHandle, 0, 0);
}

void TCustomWSocket::RestartNotices() {
  // A paused socket stays deaf until Resume; a new selection reports anew what holds now.
  if (FHSocket != ws::kInvalidSocket && FHandle != 0 && !FPaused)
    ws::WSAAsyncSelect(FHSocket, FHandle, FMsg_WM_ASYNCSELECT, FSelectEvent);
}

int TCustomWSocket::GetSockName(ws::TSockAddrIn6& Name, int& NameLen) {
  NameLen = sizeof Name;
  return ws::getsockname(FHSocket, reinterpret_cast<ws::TSockAddr*>(&Name), &NameLen);
}

int TCustomWSocket::GetPeerName(ws::TSockAddrIn6& Name, int& NameLen) {
  NameLen = sizeof Name;
  return ws::getpeername(FHSocket, reinterpret_cast<ws::TSockAddr*>(&Name), &NameLen);
}

String TCustomWSocket::GetPeerAddr() {
  if (FState != wsConnected) return u"error";
  ws::TSockAddrIn6 sa{};
  int len;
  if (GetPeerName(sa, len) != 0) {
    ReportSocketError("GetPeerName");
    return u"error";
  }
  return SockAddrToText(sa);
}

String TCustomWSocket::GetPeerPort() {
  if (FState != wsConnected) return u"error";
  ws::TSockAddrIn6 sa{};
  int len;
  if (GetPeerName(sa, len) != 0) {
    ReportSocketError("GetPeerPort");
    return u"error";
  }
  return text::IntToStr(ws::ntohs(sa.sin6_port));
}

String TCustomWSocket::GetXAddr() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return u"error";
  ws::TSockAddrIn6 sa{};
  int len;
  if (GetSockName(sa, len) != 0) return u"error";
  return SockAddrToText(sa);
}

String TCustomWSocket::GetXPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return u"error";
  ws::TSockAddrIn6 sa{};
  int len;
  if (GetSockName(sa, len) != 0) return u"error";
  return text::IntToStr(ws::ntohs(sa.sin6_port));
}
