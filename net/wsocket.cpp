// TCustomWSocket: state machine, events, resolution, connect, send pool, receive and close.
#include "net/wsocket.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "events/application.h"
#include "net/dnslookup.h"
#include "platform/tick.h"

namespace ws = plat::sock;

namespace {

std::string Utf8(const String& s) {
  return text::ToUtf8(s);
}

std::string ErrorTextOf(int code) {
  const char* t = ws::SocketErrorText(code);
  return t ? t : "Not a Winsocket error";
}

std::string DescribeWithCode(int code) {
  return ErrorTextOf(code) + " (#" + std::to_string(code) + ")";
}

// The strict dotted test of the Addr setter: digits and exactly three dots, no dot first, none
// right after another or last, every group at most 255 (leading zeros allowed).
bool IsStrictDottedIPv4(std::string_view t) {
  if (t.empty() || t.front() == '.' || t.back() == '.') return false;
  int dots = 0;
  unsigned group = 0;
  char prev = 0;
  for (char c : t) {
    if (c == '.') {
      if (prev == '.' || ++dots > 3) return false;
      group = 0;
    } else if (c >= '0' && c <= '9') {
      group = group * 10 + static_cast<unsigned>(c - '0');
      if (group > 255) return false;
    } else {
      return false;
    }
    prev = c;
  }
  return dots == 3;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ')
    s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ')
    s.remove_suffix(1);
  return s;
}

// Raises the library count for the duration of one call, without unloading afterwards.
struct LibraryUse {
  LibraryUse() {
    std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
    ++ws::SocketInstanceCount();
  }
  ~LibraryUse() {
    std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
    --ws::SocketInstanceCount();
  }
};

std::uint32_t ResolveHostIPv4(const String& Host) {
  std::string h = text::UnicodeToAnsi(Host);
  if (h.empty())
    throw ESocketException("Winsock Resolve Host: '" + Utf8(Host) + "' Invalid Hostname.");
  if (IsDottedIPv4(h)) {
    std::string t(TrimSpaces(h));
    std::uint32_t a = ws::inet_addr(t.c_str());
    if (a != ws::kInAddrNone) return a;
    if (t == "255.255.255.255") return a;
    throw ESocketException("Winsock Resolve Host: '" + Utf8(Host) + "' Invalid IP address.");
  }
  ws::THostEnt* he = ws::gethostbyname(h.c_str());
  if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
    int err = he == nullptr ? ws::WSAGetLastError() : WSANO_DATA;
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + Utf8(Host) +
                           "' - " + DescribeWithCode(err));
  }
  std::uint32_t a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  return a;
}

std::int64_t ResolvePort(const String& Port, const String& Proto) {
  if (Port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (Proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (Port[0] >= u'0' && Port[0] <= u'9') {
    std::int64_t v = 0;
    for (char16_t c : Port) {
      if (c < u'0' || c > u'9') break;
      v = v * 10 + (c - u'0');
      if (v > 0xffffffffLL) v &= 0xffffffffLL;  // only the low bits are ever used
    }
    return v;
  }
  std::string p = text::UnicodeToAnsi(Port), pr = text::UnicodeToAnsi(Proto);
  ws::TServEnt* se = ws::getservbyname(p.c_str(), pr.c_str());
  if (se == nullptr)
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + Utf8(Port) + "' - " +
                           DescribeWithCode(ws::WSAGetLastError()));
  return ws::ntohs(static_cast<std::uint16_t>(se->s_port));
}

int ResolveProto(const String& Proto) {
  if (Proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (Proto[0] >= u'0' && Proto[0] <= u'9') {
    std::size_t pos = 0;
    std::string p = text::UnicodeToAnsi(Proto);
    return static_cast<int>(text::ReadDecimal(p, pos));
  }
  std::string p = text::LowerAscii(text::Trim(text::UnicodeToAnsi(Proto)));
  if (p == "tcp") return ws::kIpProtoTcp;
  if (p == "udp") return ws::kIpProtoUdp;
  if (p == "raw") return ws::kIpProtoRaw;
  ws::TProtoEnt* pe = ws::getprotobyname(p.c_str());
  if (pe == nullptr)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + p + "' - " +
                           DescribeWithCode(ws::WSAGetLastError()));
  return pe->p_proto;
}

bool IsConnectionLost(int e) {
  return e == WSAECONNRESET || e == WSAENOTSOCK || e == WSAENOTCONN || e == WSAEINVAL ||
         e == WSAECONNABORTED;
}

// Buffers of lookups that were cancelled when their socket went: a system whose cancel does
// not stop the lookup may still write into them, so they live as long as the process.
template <typename Buffers>
void RetireLookupBuffersForGood(Buffers& buffers) {
  if (buffers.empty()) return;
  static std::mutex* lock = new std::mutex;
  static auto* graveyard = new Buffers;
  std::lock_guard<std::mutex> guard(*lock);
  for (auto& b : buffers)
    graveyard->push_back(std::move(b));
  buffers.clear();
}

}  // namespace

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
  ReleaseResources(true);
}

void TCustomWSocket::ReleaseResources(bool Disposing) {
  if (!Disposed && !FDestroying) {
    FDestroying = true;
    try {
      StopDnsLookup(true);
    } catch (...) {
    }
    RetireLookupBuffersForGood(FRetiredLookupBuffers);
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
  std::string line = ErrorTextOf(code) + " (#" + std::to_string(code) + " in " + Operation + ")";
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (FHSocket != ws::kInvalidSocket) {
      ws::closesocket(FHSocket);
      DropStaleNotices();
    }
    FHSocket = ws::kInvalidSocket;
    if (FState != wsClosed) TriggerSessionClosed(static_cast<std::uint16_t>(code));
    SetSocketState(wsClosed);
  }
  FLastError = code;
  ReportFailure(line);
}

// ---------------------------------------------------------------------------------------------
// Properties.

void TCustomWSocket::SetAddr(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Cannot change Addr if not closed");
    return;
  }
  String v = text::Trim(Value);
  if (FAddrAssigned && FAddrStr == v) return;
  FAddrStr = v;
  FAddrResolved = false;
  if (v.empty()) {
    FAddrAssigned = false;
    return;
  }
  FAddrAssigned = true;
  std::string a = text::UnicodeToAnsi(v);
  if (IsStrictDottedIPv4(a))
    FSocketFamily = sfIPv4;
  else if (IsIPv6Literal(a))
    FSocketFamily = ws::SupportsIPv6Api() ? sfIPv6 : FOldSocketFamily;
  else
    FSocketFamily = FOldSocketFamily;
}

void TCustomWSocket::SetPort(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Cannot change Port if not closed");
    return;
  }
  String v = text::Trim(Value);
  if (FPortAssigned && FPortStr == v) return;
  FPortStr = v;
  FPortAssigned = !v.empty();
  FPortResolved = false;
}

void TCustomWSocket::SetProto(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Cannot change Proto if not closed");
    return;
  }
  String v = text::Trim(Value);
  if (FProtoAssigned && FProtoStr == v) return;
  FProtoStr = v;
  FProtoAssigned = !v.empty();
  FProtoResolved = false;
}

void TCustomWSocket::SetLocalAddr(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Cannot change LocalAddr if not closed");
    return;
  }
  String v = text::Trim(Value);
  FLocalAddr = v.empty() ? String(u"0.0.0.0") : v;
}

void TCustomWSocket::SetLocalAddr6(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Cannot change LocalAddr6 if not closed");
    return;
  }
  String v = text::Trim(Value);
  FLocalAddr6 = v.empty() ? String(u"::") : v;
}

void TCustomWSocket::SetLocalPort(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = Value;
  FLocalPortResolved = false;
}

void TCustomWSocket::SetSocketFamily(TSocketFamily Value) {
  if (FState != wsClosed || FDnsLookupHandle != 0) {
    ReportFailure("Cannot change SocketFamily when not closed or in DNS lookup");
    return;
  }
  if (Value == FSocketFamily) return;
  if (Value != sfIPv4 && !ws::SupportsIPv6Api()) Value = sfIPv4;
  FSocketFamily = Value;
  FOldSocketFamily = Value;
  FAddrResolved = false;  // the address must be converted again for the new family
}

TSocketFamily TCustomWSocket::CurrentSocketFamily() const {
  return FAddrFormat == ws::kAfInet6 ? sfIPv6 : sfIPv4;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  if (Value != wsSendNormal && Value != wsSendUrgent) {
    ReportFailure("Invalid SendFlags");
    return;
  }
  FSendFlags = Value;
}

std::uint8_t TCustomWSocket::ReqVerLow() const {
  return ws::RequestedVersionMajor();
}

std::uint8_t TCustomWSocket::ReqVerHigh() const {
  return ws::RequestedVersionMinor();
}

void TCustomWSocket::SetReqVerLow(std::uint8_t Value) {
  if (ws::RequestedVersionMajor() == Value) return;
  if (ws::IsSocketLibraryLoaded()) {
    ReportSocketError("SetReqVerLow: WinSock version can't be changed now");
    return;
  }
  ws::SetRequestedVersion(Value, ws::RequestedVersionMinor());
}

void TCustomWSocket::SetReqVerHigh(std::uint8_t Value) {
  if (ws::RequestedVersionMinor() == Value) return;
  if (ws::IsSocketLibraryLoaded()) {
    ReportSocketError("SetReqVerHigh: WinSock version can't be changed now");
    return;
  }
  ws::SetRequestedVersion(ws::RequestedVersionMajor(), Value);
}

void TCustomWSocket::ResetToDefaults() {
  std::memset(&Fsin, 0, sizeof Fsin);
  FAddrFormat = FSocketFamily == sfIPv6 ? ws::kAfInet6 : ws::kAfInet;
  Fsin.sin6_family = static_cast<std::uint16_t>(FAddrFormat);
  FAddrAssigned = false;
  FAddrResolved = false;
  FPortAssigned = false;
  FPortResolved = false;
  FProtoResolved = false;
  FLocalPortResolved = false;
  FProtoStr = u"tcp";
  FProto = ws::kIpProtoTcp;
  FType = ws::kSockStream;
  FProtoAssigned = true;
  FLocalPortStr = u"0";
  FLocalAddr6 = u"::";
  FLocalAddr = u"0.0.0.0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FHSocket = ws::kInvalidSocket;
  FSelectEvent = 0;
  FState = wsClosed;
  bAllSent = true;
  FPaused = false;
  FCloseInvoked = false;
}

ws::TSockAddrIn TCustomWSocket::Sin4() const {
  ws::TSockAddrIn s;
  std::memcpy(&s, &Fsin, sizeof s);
  return s;
}

void TCustomWSocket::SetSin4(const ws::TSockAddrIn& Value) {
  std::memset(&Fsin, 0, sizeof Fsin);
  std::memcpy(&Fsin, &Value, sizeof Value);
}

// ---------------------------------------------------------------------------------------------
// Name resolution.

void TCustomWSocket::DnsLookup(const String& AHostName) {
  DnsLookup(AHostName, ws::kIpProtoTcp);
}

void TCustomWSocket::DnsLookup(const String& AHostName, int AProtocol) {
  if (AHostName.empty()) {
    ReportFailure("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  // A lookup still outstanding is replaced without an event.
  if (FDnsLookupHandle != 0) CancelOutstandingLookup();
  FDnsResult.clear();
  FDnsResultList.clear();
  FReverseLookup = false;
  AnsiString name = text::UnicodeToAnsi(AHostName);
  if (FSocketFamily != sfIPv6 && IsDottedIPv4(name)) {
    std::string t(TrimSpaces(name));
    std::uint32_t a = ws::inet_addr(t.c_str());
    if (a != ws::kInAddrNone) {
      FDnsResult = IPv4ToText(a);
      FDnsResultList.push_back(FDnsResult);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  if (FSocketFamily != sfIPv4) {
    std::uint8_t v6[16];
    if (ParseIPv6(TrimSpaces(name), v6)) {
      FDnsResult = IPv6ToText(v6);
      FDnsResultList.push_back(FDnsResult);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  if (FHandle == 0) ReportFailure("DnsLookup: Window not assigned");
  FDnsLookupCheckMsg = false;
  int start_error = 0;
  if (FSocketFamily == sfIPv4) {
    FDnsLookupOnWorker = false;
    FDnsLookupHandle = ws::WSAAsyncGetHostByName(FHandle, FMsg_WM_ASYNCGETHOSTBYNAME, name.c_str(),
                                                 LookupBuffer(), sizeof(THostEntBuffer::Data));
    if (FDnsLookupHandle == 0) start_error = ws::WSAGetLastError();
  } else {
    FDnsLookupOnWorker = true;
    auto req = std::make_shared<TNetAsyncDnsLookupRequest>();
    req->Window = FHandle;
    req->MsgId = FMsg_WM_ASYNCGETHOSTBYNAME;
    req->Family = FSocketFamily;
    req->Protocol = AProtocol;
    req->Name = AHostName;
    FDnsLookupHandle = TNetAsyncDnsLookup::Instance().Submit(std::move(req), start_error);
  }
  if (FDnsLookupHandle == 0) {
    ReportFailure(name + ": can't start DNS lookup - " + DescribeWithCode(start_error));
    return;
  }
  if (FDnsLookupCheckMsg) {
    FDnsLookupCheckMsg = false;
    HandleLookupReply(FDnsLookupTempMsg);
  }
}

void TCustomWSocket::HandleLookupReply(TMessage& Msg) {
  if (FDnsLookupHandle == 0) {
    ReleaseRetiredBuffer(Msg.WParam);
    FDnsLookupTempMsg = Msg;
    FDnsLookupCheckMsg = true;
    return;
  }
  if (Msg.WParam != FDnsLookupHandle) {  // the reply to a cancelled lookup
    ReleaseRetiredBuffer(Msg.WParam);
    return;
  }
  FDnsLookupHandle = 0;
  int err = ws::SelectError(Msg.LParam);
  if (FDnsLookupOnWorker) {
    auto req = TNetAsyncDnsLookup::Instance().Take(static_cast<ws::TAsyncHandle>(Msg.WParam));
    if (err == 0 && req) FDnsResultList = req->Results;
  } else if (err == 0) {
    const auto* he = reinterpret_cast<const ws::THostEnt*>(LookupBuffer());
    for (char** p = he->h_addr_list; p != nullptr && *p != nullptr; ++p) {
      std::uint32_t a;
      std::memcpy(&a, *p, 4);
      FDnsResultList.push_back(IPv4ToText(a));
    }
  }
  if (err == 0) {
    // An answer without any address would leave DnsResult empty: report it as "no data".
    if (FDnsResultList.empty())
      err = WSANO_DATA;
    else
      FDnsResult = FDnsResultList.front();
  }
  TriggerDnsLookupDone(static_cast<std::uint16_t>(err));
}

void TCustomWSocket::CancelDnsLookup() {
  StopDnsLookup(false);
}

char* TCustomWSocket::LookupBuffer() {
  if (!FDnsLookupBuffer) FDnsLookupBuffer = std::make_unique<THostEntBuffer>();
  return FDnsLookupBuffer->Data;
}

int TCustomWSocket::CancelOutstandingLookup() {
  const ws::TAsyncHandle h = FDnsLookupHandle;
  FDnsLookupHandle = 0;
  if (FDnsLookupOnWorker) return TNetAsyncDnsLookup::Instance().Cancel(h);
  int err = ws::WSACancelAsyncRequest(h) == 0 ? 0 : ws::WSAGetLastError();
  if (FDnsLookupBuffer) FRetiredLookupBuffers.emplace_back(h, std::move(FDnsLookupBuffer));
  return err;
}

void TCustomWSocket::ReleaseRetiredBuffer(plat::WParam Handle) {
  for (auto it = FRetiredLookupBuffers.begin(); it != FRetiredLookupBuffers.end(); ++it) {
    if (it->first == Handle) {
      FRetiredLookupBuffers.erase(it);
      return;
    }
  }
}

void TCustomWSocket::StopDnsLookup(bool Silent) {
  if (FDnsLookupHandle == 0) return;
  int err = CancelOutstandingLookup();
  if (err == 0 || Silent) {
    if (!FDestroying) TriggerDnsLookupDone(WSAEINTR);
    return;
  }
  ReportSocketError("WSACancelAsyncRequest", err);
}

void TCustomWSocket::ReverseDnsLookup(const String& HostAddr) {
  ReverseDnsLookup(HostAddr, ws::kIpProtoTcp);
}

void TCustomWSocket::ReverseDnsLookup(const String& HostAddr, int AProtocol) {
  if (HostAddr.empty()) {
    ReportFailure("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsLookupHandle != 0) CancelOutstandingLookup();
  FDnsResult.clear();
  FDnsResultList.clear();
  FReverseLookup = true;
  AnsiString a = text::UnicodeToAnsi(HostAddr);
  std::string t(TrimSpaces(a));
  int start_error = 0;
  std::uint32_t v4 = IsDottedIPv4(a) ? ws::inet_addr(t.c_str()) : ws::kInAddrNone;
  if (v4 != ws::kInAddrNone || t == "255.255.255.255") {
    FDnsLookupOnWorker = false;
    FDnsLookupHandle =
        ws::WSAAsyncGetHostByAddr(FHandle, FMsg_WM_ASYNCGETHOSTBYADDR, reinterpret_cast<char*>(&v4),
                                  4, ws::kAfInet, LookupBuffer(), sizeof(THostEntBuffer::Data));
    if (FDnsLookupHandle == 0) start_error = ws::WSAGetLastError();
  } else {
    FDnsLookupOnWorker = true;
    auto req = std::make_shared<TNetAsyncDnsLookupRequest>();
    req->Window = FHandle;
    req->MsgId = FMsg_WM_ASYNCGETHOSTBYADDR;
    req->Family = FSocketFamily;
    req->Protocol = AProtocol;
    req->Name = HostAddr;
    req->Reverse = true;
    FDnsLookupHandle = TNetAsyncDnsLookup::Instance().Submit(std::move(req), start_error);
  }
  if (FDnsLookupHandle == 0)
    ReportFailure(a + ": can't start DNS lookup - " + DescribeWithCode(start_error));
}

void TCustomWSocket::HandleReverseLookupReply(TMessage& Msg) {
  if (FDnsLookupHandle == 0 || Msg.WParam != FDnsLookupHandle) {
    ReleaseRetiredBuffer(Msg.WParam);
    return;
  }
  FDnsLookupHandle = 0;
  int err = ws::SelectError(Msg.LParam);
  if (FDnsLookupOnWorker) {
    auto req = TNetAsyncDnsLookup::Instance().Take(static_cast<ws::TAsyncHandle>(Msg.WParam));
    if (err == 0 && req) FDnsResultList = req->Results;
  } else if (err == 0) {
    const auto* he = reinterpret_cast<const ws::THostEnt*>(LookupBuffer());
    if (he->h_name != nullptr) FDnsResultList.push_back(text::AnsiToUnicode(he->h_name));
    for (char** p = he->h_aliases; p != nullptr && *p != nullptr; ++p)
      FDnsResultList.push_back(text::AnsiToUnicode(*p));
  }
  if (err == 0) {
    if (FDnsResultList.empty())
      err = WSANO_DATA;
    else
      FDnsResult = FDnsResultList.front();
  }
  TriggerDnsLookupDone(static_cast<std::uint16_t>(err));
}

void TCustomWSocket::ReverseDnsLookupSync(const String& HostAddr) {
  if (HostAddr.empty()) {
    ReportFailure("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  FDnsResult.clear();
  FDnsResultList.clear();
  TNetAsyncDnsLookupRequest req;
  req.Name = HostAddr;
  req.Reverse = true;
  req.Family = FSocketFamily;
  TNetAsyncDnsLookup::Resolve(req);
  if (req.Error == 0 && !req.Results.empty()) {
    FDnsResultList = req.Results;
    FDnsResult = FDnsResultList.front();
  }
  TriggerDnsLookupDone(static_cast<std::uint16_t>(req.Error));
}

// ---------------------------------------------------------------------------------------------
// Connect.

void TCustomWSocket::ResolveAddrForFamily() {
  // Numeric text first, then a blocking lookup restricted to the family.
  std::string a = text::UnicodeToAnsi(FAddrStr);
  std::uint8_t v6[16];
  if (FSocketFamily != sfIPv6 && IsDottedIPv4(a)) {
    ws::TSockAddrIn sin{};
    sin.sin_family = ws::kAfInet;
    sin.sin_port = Fsin.sin6_port;
    sin.sin_addr = ResolveHostIPv4(FAddrStr);
    SetSin4(sin);
    return;
  }
  if (ParseIPv6(TrimSpaces(a), v6)) {
    std::uint16_t port = Fsin.sin6_port;
    std::memset(&Fsin, 0, sizeof Fsin);
    Fsin.sin6_family = ws::kAfInet6;
    Fsin.sin6_port = port;
    std::memcpy(Fsin.sin6_addr, v6, 16);
    return;
  }
  TNetAsyncDnsLookupRequest req;
  req.Name = FAddrStr;
  req.Family = FSocketFamily;
  req.Protocol = FProto;
  TNetAsyncDnsLookup::Resolve(req);
  if (req.Error != 0 || req.Results.empty())
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + a + "' - " +
                           DescribeWithCode(req.Error != 0 ? req.Error : WSANO_DATA));
  std::string first = text::UnicodeToAnsi(req.Results.front());
  if (ParseIPv6(first, v6)) {
    std::uint16_t port = Fsin.sin6_port;
    std::memset(&Fsin, 0, sizeof Fsin);
    Fsin.sin6_family = ws::kAfInet6;
    Fsin.sin6_port = port;
    std::memcpy(Fsin.sin6_addr, v6, 16);
  } else {
    ws::TSockAddrIn sin{};
    sin.sin_family = ws::kAfInet;
    sin.sin_port = Fsin.sin6_port;
    sin.sin_addr = ws::inet_addr(first.c_str());
    SetSin4(sin);
  }
}

void TCustomWSocket::Connect() {
  if (FHSocket != ws::kInvalidSocket && FState != wsClosed) {
    ReportFailure("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    ReportFailure("Connect: No Port Specified");
    return;
  }
  if (!FAddrAssigned) {
    ReportFailure("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    ReportFailure("Connect: No Protocol Specified");
    return;
  }
  std::string failure;
  try {
    if (!FProtoResolved) {
      FProto = ResolveProto(FProtoStr);
      FType = FProto == ws::kIpProtoTcp   ? ws::kSockStream
              : FProto == ws::kIpProtoUdp ? ws::kSockDgram
                                          : ws::kSockRaw;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = static_cast<std::int32_t>(ResolvePort(FPortStr, FProtoStr) & 0xffff);
      Fsin.sin6_port = ws::htons(static_cast<std::uint16_t>(FPortNum));
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = static_cast<std::int32_t>(ResolvePort(FLocalPortStr, FProtoStr) & 0xffff);
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      if (FSocketFamily == sfIPv4) {
        ws::TSockAddrIn sin{};
        sin.sin_family = ws::kAfInet;
        sin.sin_port = Fsin.sin6_port;
        sin.sin_addr = ResolveHostIPv4(FAddrStr);
        SetSin4(sin);
      } else {
        ResolveAddrForFamily();
      }
      FAddrResolved = true;
      FAddrFormat = Fsin.sin6_family;
    }
  } catch (const std::exception& E) {
    failure = std::string("connect: ") + E.what();
  }
  if (!failure.empty()) {
    ReportFailure(failure);
    return;
  }

  DeleteBufferedData();
  FHSocket = ws::socket(FAddrFormat, FType, FProto);
  if (FHSocket == ws::kInvalidSocket) {
    ReportSocketError("Connect (socket)");
    return;
  }
  {
    int v = 0, len = sizeof v;
    if (ws::getsockopt(FHSocket, ws::kSolSocket, ws::kSoSndBuf, reinterpret_cast<char*>(&v),
                       &len) != 0) {
      ReportSocketError("getsockopt(SO_SNDBUF)");
      return;
    }
    FSocketSndBufSize = v;
    len = sizeof v;
    if (ws::getsockopt(FHSocket, ws::kSolSocket, ws::kSoRcvBuf, reinterpret_cast<char*>(&v),
                       &len) != 0) {
      ReportSocketError("getsockopt(SO_RCVBUF)");
      return;
    }
    FSocketRcvBufSize = v;
  }
  SetSocketState(wsOpened);
  if (FState != wsOpened) {
    ws::WSASetLastError(WSAEINVAL);
    ReportSocketError("Connect (Invalid operation in OnChangeState)");
    return;
  }
  const bool ipv6 = FAddrFormat == ws::kAfInet6;
  if (FType == ws::kSockStream) {
    std::int32_t on = -1;
    if (ws::setsockopt(FHSocket, ws::kSolSocket, ws::kSoReuseAddr, reinterpret_cast<char*>(&on),
                       sizeof on) != 0) {
      ReportSocketError("setsockopt(SO_REUSEADDR)");
      return;
    }
    if (FComponentOptions.Contains(wsoTcpNoDelay) && !SetTcpNoDelayOption()) return;
    SetLingerOption();
    SetKeepAliveOption();
    if (FLocalPortNum != 0 || (!ipv6 && FLocalAddr != u"0.0.0.0") ||
        (ipv6 && FLocalAddr6 != u"::")) {
      if (!BindLocalAddress()) return;
    }
    FSelectEvent = ws::kFdRead | ws::kFdWrite | ws::kFdConnect | ws::kFdClose;
  } else {
    if (!BindLocalAddress()) return;
    if (FType == ws::kSockDgram) {
      std::int32_t on = -1;
      ws::setsockopt(FHSocket, ws::kSolSocket, ws::kSoBroadcast, reinterpret_cast<char*>(&on),
                     sizeof on);
    }
    FSelectEvent = ws::kFdRead | ws::kFdWrite;
  }
  if (FComponentOptions.Contains(wsoNotifyAddressListChange))
    FSelectEvent |= ws::kFdAddressListChange;
  if (FComponentOptions.Contains(wsoNotifyRoutingInterfaceChange))
    FSelectEvent |= ws::kFdRoutingInterfaceChange;
  if (ws::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  // The change notifications are asked for once; the system answers them with FD_ events.
  struct Notice {
    TWSocketOption option;
    std::uint32_t code;
    const char* op;
  };
  static constexpr Notice kNotices[] = {
      {wsoNotifyAddressListChange, 0x28000017u, "Connect: SetAddressListChangeNotification"},
      {wsoNotifyRoutingInterfaceChange, 0x28000015u,
       "Connect: SetRoutingInterfaceChangeNotification"},
  };
  for (const Notice& n : kNotices) {
    if (!FComponentOptions.Contains(n.option)) continue;
    std::uint32_t returned = 0;
    int r;
    {
      LibraryUse use;
      r = ws::WSAIoctl(FHSocket, n.code, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr);
    }
    if (r != 0 && ws::WSAGetLastError() != WSAEWOULDBLOCK) {
      ReportSocketError(n.op);
      return;
    }
  }
  if (FType != ws::kSockStream) {
    SetSocketState(wsConnected);
    TriggerSessionConnected(0);
    return;
  }
  int r = ws::connect(FHSocket, reinterpret_cast<const ws::TSockAddr*>(&Fsin),
                      ipv6 ? static_cast<int>(sizeof(ws::TSockAddrIn6))
                           : static_cast<int>(sizeof(ws::TSockAddrIn)));
  int err = r == 0 ? 0 : ws::WSAGetLastError();
  if (r == 0 || err == WSAEWOULDBLOCK) {
    SetSocketState(wsConnecting);
    return;
  }
  FLastError = err;
  ReportSocketError("Connect", err);
}

bool TCustomWSocket::SetTcpNoDelayOption() {
  std::int32_t v = FComponentOptions.Contains(wsoTcpNoDelay) ? -1 : 0;
  if (ws::setsockopt(FHSocket, ws::kIpProtoTcp, ws::kTcpNoDelay, reinterpret_cast<char*>(&v),
                     sizeof v) != 0) {
    ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
    return false;
  }
  return true;
}

void TCustomWSocket::SetLingerOption() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FHSocket == ws::kInvalidSocket) {
    ReportFailure("Cannot set linger option at this time");
    return;
  }
  ws::TLinger l{static_cast<std::uint16_t>(FLingerOnOff == wsLingerOn ? 1 : 0),
                static_cast<std::uint16_t>(FLingerTimeout)};
  if (ws::setsockopt(FHSocket, ws::kSolSocket, ws::kSoLinger, reinterpret_cast<char*>(&l),
                     sizeof l) != 0)
    ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::SetKeepAliveOption() {
  if (FKeepAliveOnOff == wsKeepAliveOff || FHSocket == ws::kInvalidSocket) return;
  if (FKeepAliveOnOff == wsKeepAliveOnSystem) {
    std::int32_t on = -1;
    if (ws::setsockopt(FHSocket, ws::kSolSocket, ws::kSoKeepAlive, reinterpret_cast<char*>(&on),
                       sizeof on) != 0)
      ReportSocketError("setsockopt(SO_KEEPALIVE)");
    return;
  }
  ws::TTcpKeepAlive ka{1, FKeepAliveTime, FKeepAliveInterval};
  std::uint32_t returned = 0;
  int r;
  {
    LibraryUse use;
    r = ws::WSAIoctl(FHSocket, ws::kSioKeepAliveVals, &ka, sizeof ka, nullptr, 0, &returned,
                     nullptr, nullptr);
  }
  if (r != 0) ReportSocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
}

bool TCustomWSocket::BindLocalAddress() {
  ws::TSockAddrIn6 local{};
  int len;
  try {
    if (FAddrFormat == ws::kAfInet6) {
      std::uint8_t v6[16];
      if (!ParseIPv6(text::UnicodeToAnsi(FLocalAddr6), v6))
        throw ESocketException("Winsock Resolve Host: '" + Utf8(FLocalAddr6) +
                               "' Invalid IP address.");
      local.sin6_family = ws::kAfInet6;
      local.sin6_port = ws::htons(static_cast<std::uint16_t>(FLocalPortNum));
      std::memcpy(local.sin6_addr, v6, 16);
      len = sizeof local;
    } else {
      ws::TSockAddrIn sin{};
      sin.sin_family = ws::kAfInet;
      sin.sin_port = ws::htons(static_cast<std::uint16_t>(FLocalPortNum));
      sin.sin_addr = ResolveHostIPv4(FLocalAddr);
      std::memcpy(&local, &sin, sizeof sin);
      len = sizeof sin;
    }
  } catch (const std::exception& E) {
    std::string msg = E.what();
    ReportFailure(msg);
    return false;
  }
  if (ws::bind(FHSocket, reinterpret_cast<ws::TSockAddr*>(&local), len) != 0) {
    int e = ws::WSAGetLastError();
    FLastError = e;
    ReportFailure("Bind socket failed - " + DescribeWithCode(e));
    return false;
  }
  ws::TSockAddrIn6 bound{};
  int blen = sizeof bound;
  if (ws::getsockname(FHSocket, reinterpret_cast<ws::TSockAddr*>(&bound), &blen) != 0) {
    int e = ws::WSAGetLastError();
    FLastError = e;
    ReportFailure("Winsock get socket name failed - " + DescribeWithCode(e));
    return false;
  }
  FLocalPortNum = ws::ntohs(bound.sin6_port);
  FLocalPortStr = text::IntToStr(FLocalPortNum);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Notices.

void TCustomWSocket::HandleSelectNotice(TMessage& Msg) {
  const ws::TSocket target = static_cast<ws::TSocket>(Msg.WParam);
  if (FHSocket == ws::kInvalidSocket || target != FHSocket || FPaused) return;
  const int ev = ws::SelectEvent(Msg.LParam);
  const auto err = static_cast<std::uint16_t>(ws::SelectError(Msg.LParam));
  // A handler may close the socket; the remaining kinds then belong to a socket that is gone.
  auto same = [&] { return FHSocket == target; };
  if (ev & ws::kFdConnect) HandleConnectNotice(err);
  if ((ev & ws::kFdRead) && same()) HandleReadNotice(err);
  if ((ev & ws::kFdWrite) && same()) HandleWriteNotice(err);
  if ((ev & ws::kFdAccept) && same()) HandleAcceptNotice(err);
  if ((ev & ws::kFdClose) && same()) HandleCloseNotice(err);
  if ((ev & ws::kFdRoutingInterfaceChange) && same() && OnRoutingInterfaceChanged)
    OnRoutingInterfaceChanged(this);
  if ((ev & ws::kFdAddressListChange) && same() && OnAddressListChanged) OnAddressListChanged(this);
}

void TCustomWSocket::HandleConnectNotice(std::uint16_t ErrCode) {
  if (FState == wsConnected) return;
  SetSocketState(wsConnected);
  TriggerSessionConnected(ErrCode);
  if (ErrCode != 0 && FState != wsClosed) Close();
}

void TCustomWSocket::HandleReadNotice(std::uint16_t ErrCode) {
  if (FState != wsConnected) {
    SetSocketState(wsConnected);
    TriggerSessionConnected(ErrCode);
  }
  ReceiveLoop(ErrCode, FComponentOptions);
}

void TCustomWSocket::HandleAcceptNotice(std::uint16_t ErrCode) {
  TriggerSessionAvailable(ErrCode);
}

void TCustomWSocket::ReceiveLoop(std::uint16_t ErrCode, TWSocketOptions Options) {
  try {
    for (;;) {
      FLastError = 0;
      const std::uint64_t calls = FRecvCalls;
      if (!TriggerDataAvailable(ErrCode)) {
        char drop[1024];  // nobody wants the bytes: read and drop them
        if (Receive(drop, sizeof drop) < 0 && FLastError == WSAEWOULDBLOCK) {
          FLastError = 0;
          break;
        }
      }
      if (Options.Contains(wsoNoReceiveLoop)) break;
      if (FLastError != 0) {
        if (FLastError == -1) FLastError = 0;
        break;
      }
      // A handler that took nothing would be called again for ever: stop, the next receive
      // re-arms the notice.
      if (FRecvCalls == calls) break;
      std::uint32_t avail = 0;
      if (ws::ioctlsocket(FHSocket, ws::kFionRead, &avail) != 0) {
        FLastError = ws::WSAGetLastError();
        break;
      }
      if (avail == 0) break;
    }
  } catch (...) {
    // An exception from a data handler ends the loop and goes no further.
  }
}

void TCustomWSocket::HandleWriteNotice(std::uint16_t ErrCode) {
  TryToSend();
  if (bAllSent) TriggerDataSent(ErrCode);
}

void TCustomWSocket::HandleCloseNotice(std::uint16_t ErrCode) {
  if (FState == wsConnecting || FHSocket == ws::kInvalidSocket) return;
  if (FState != wsListening) ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop));
  if (FHSocket != ws::kInvalidSocket && !FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(ErrCode);
  }
  if (FState != wsClosed) Close();
}

// ---------------------------------------------------------------------------------------------
// Sending.

void TCustomWSocket::PutDataInSendBuffer(const void* Data, std::int32_t Len) {
  if (Len <= 0 || Data == nullptr) return;
  std::lock_guard<TNetBufferHandler> lock(*FBufHandler);
  FBufHandler->Write(Data, Len);
  FBufferedByteCount += Len;
  bAllSent = false;
}

std::int32_t TCustomWSocket::PutStringInSendBuffer(const AnsiString& Str) {
  PutDataInSendBuffer(Str.data(), static_cast<std::int32_t>(Str.size()));
  return static_cast<std::int32_t>(Str.size());
}

std::int32_t TCustomWSocket::PutStringInSendBuffer(const String& Str, unsigned ACodePage) {
  return PutStringInSendBuffer(text::UnicodeToAnsi(Str, ACodePage));
}

void TCustomWSocket::DeleteBufferedData() {
  std::lock_guard<TNetBufferHandler> lock(*FBufHandler);
  FBufHandler->DeleteAllData();
  FBufferedByteCount = 0;
}

std::int32_t TCustomWSocket::Send(const void* Data, std::int32_t Len) {
  if (FState != wsConnected && FState != wsSocksConnected) {
    ws::WSASetLastError(WSAENOTCONN);
    ReportSocketError("Send", WSAENOTCONN);
    return -1;
  }
  bAllSent = false;
  std::int32_t result = 0;
  if (Len > 0 && Data != nullptr) {
    PutDataInSendBuffer(Data, Len);
    result = Len;
  }
  TryToSend();
  // Everything went to the system at once: the write notice comes from the message loop, never
  // from inside Send.
  if (bAllSent && FHSocket != ws::kInvalidSocket)
    plat::PostMessage(Handle(), FMsg_WM_ASYNCSELECT, static_cast<plat::WParam>(FHSocket),
                      ws::MakeSelectReply(ws::kFdWrite, 0));
  return result;
}

std::int32_t TCustomWSocket::Send(std::uint8_t DataByte) {
  return Send(&DataByte, 1);
}

std::int32_t TCustomWSocket::SendStr(const AnsiString& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<std::int32_t>(Str.size()));
}

std::int32_t TCustomWSocket::SendStr(const String& Str, unsigned ACodePage) {
  return SendStr(text::UnicodeToAnsi(Str, ACodePage));
}

void TCustomWSocket::TryToSend() {
  std::lock_guard<TNetBufferHandler> lock(*FBufHandler);
  if (FHSocket == ws::kInvalidSocket || FBufHandler->IsEmpty()) {
    bAllSent = true;
    return;
  }
  const ws::TSocket target = FHSocket;
  for (;;) {
    std::int32_t n = 0;
    const char* block = FBufHandler->Peek(n);
    if (n == 0) {
      bAllSent = true;
      return;
    }
    std::int32_t m = SendRaw(block, n);
    if (m > 0) {
      FBufferedByteCount -= m;
      if (FBufferedByteCount < 0) FBufferedByteCount = 0;
    }
    if (m == 0) return;
    if (m < 0) {
      int e = ws::WSAGetLastError();
      if (IsConnectionLost(e)) {
        FCloseInvoked = true;
        Close();
        TriggerSessionClosed(static_cast<std::uint16_t>(e));
        return;
      }
      if (e == WSAEWOULDBLOCK) return;  // the system posts a write notice when it can take more
      ReportSocketError("TryToSend failed", e);
      return;
    }
    FBufHandler->Remove(m);
    // An OnSendData handler that closed the socket ends the sending of this session.
    if (FHSocket != target) return;
    // After a short send the rest of the block is offered at once: only a refusal (would
    // block) promises a write notice on every system, a short send does not.
  }
}

std::int32_t TCustomWSocket::SendRaw(const void* Data, std::int32_t Len) {
  std::int32_t m;
  if (FType == ws::kSockStream) {
    m = ws::send(FHSocket, static_cast<const char*>(Data), Len, FSendFlags);
  } else {
    int len = FAddrFormat == ws::kAfInet6 ? static_cast<int>(sizeof(ws::TSockAddrIn6))
                                          : static_cast<int>(sizeof(ws::TSockAddrIn));
    m = ws::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                   reinterpret_cast<const ws::TSockAddr*>(&Fsin), len);
  }
  if (m > 0) {
    FWriteCount += m;
    if (FCounter) FCounter->LastSendTick = plat::GetTickCount();
    TriggerSendData(m);
  }
  return m;
}

void TCustomWSocket::Flush() {
  while (FHSocket != ws::kInvalidSocket && !bAllSent) {
    TryToSend();
    if (bAllSent || FHSocket == ws::kInvalidSocket) break;
    // Wait for the system's write notice (or anything else) instead of spinning.
    plat::WaitForInput(100);
    MessagePump();
    if (Terminated()) break;
  }
}

std::int32_t TCustomWSocket::SendTo(const ws::TSockAddrIn& Dest, const void* Data,
                                    std::int32_t Len) {
  int r = ws::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                     reinterpret_cast<const ws::TSockAddr*>(&Dest), sizeof Dest);
  if (r < 0) {
    FLastError = ws::WSAGetLastError();
    return -1;
  }
  FWriteCount += r;
  return r;
}

// ---------------------------------------------------------------------------------------------
// Receiving.

std::int32_t TCustomWSocket::RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags) {
  return ws::recv(FHSocket, static_cast<char*>(Buffer), BufferSize, Flags);
}

std::int32_t TCustomWSocket::Receive(void* Buffer, std::int32_t BufferSize) {
  ++FRecvCalls;
  std::int32_t n = RecvRaw(Buffer, BufferSize, 0);
  if (n > 0 && FCounter) FCounter->LastRecvTick = plat::GetTickCount();
  if (n < 0) {
    FLastError = ws::WSAGetLastError();
    return -1;
  }
  FReadCount += n;
  return n;
}

std::int32_t TCustomWSocket::PeekData(void* Buffer, std::int32_t BufferSize) {
  std::int32_t n = RecvRaw(Buffer, BufferSize, ws::kMsgPeek);
  if (n < 0) {
    FLastError = ws::WSAGetLastError();
    return -1;
  }
  return n;
}

std::int32_t TCustomWSocket::ReceiveFrom(void* Buffer, std::int32_t BufferSize,
                                         ws::TSockAddrIn& From, int& FromLen) {
  ++FRecvCalls;
  FromLen = sizeof From;
  int r = ws::recvfrom(FHSocket, static_cast<char*>(Buffer), BufferSize, 0,
                       reinterpret_cast<ws::TSockAddr*>(&From), &FromLen);
  if (r < 0) {
    FLastError = ws::WSAGetLastError();
    return -1;
  }
  FReadCount += r;
  return r;
}

std::int32_t TCustomWSocket::RcvdCount() {
  std::uint32_t n = 0;
  if (ws::ioctlsocket(FHSocket, ws::kFionRead, &n) != 0) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<std::int32_t>(n);
}

AnsiString TCustomWSocket::ReceiveStrA() {
  std::uint32_t n = 0;
  if (ws::ioctlsocket(FHSocket, ws::kFionRead, &n) != 0) {
    ReportSocketError("ioctlSocket");
    return AnsiString();
  }
  if (n == 0) n = 255;
  AnsiString s(n, '\0');
  std::int32_t r = Receive(s.data(), static_cast<std::int32_t>(n));
  if (r <= 0) return AnsiString();
  s.resize(static_cast<std::size_t>(r));
  return s;
}

String TCustomWSocket::ReceiveStrW(unsigned ACodePage) {
  return text::AnsiToUnicode(ReceiveStrA(), ACodePage);
}

String TCustomWSocket::ReceiveStrW() {
  return ReceiveStrW(text::kCodePageAnsi);
}

String TCustomWSocket::ReceiveStr() {
  return ReceiveStrW();
}

// ---------------------------------------------------------------------------------------------
// Ending a session.

void TCustomWSocket::ReleaseSocket(bool Graceful, int ErrCode) {
  if (FHSocket == ws::kInvalidSocket) {
    if (FState != wsClosed) {
      SetSocketState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (FState == wsClosed) {
    // A handle left by a connect that failed before the socket was opened: close it quietly so
    // it does not leak.
    ws::closesocket(FHSocket);
    DropStaleNotices();
    FHSocket = ws::kInvalidSocket;
    return;
  }
  if (Graceful) Shutdown(ws::kSdSend);
  for (;;) {
    ws::WSAAsyncSelect(FHSocket, FHandle, 0, 0);
    if (ws::closesocket(FHSocket) == 0) break;
    int e = ws::WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
      ws::WSAAsyncSelect(FHSocket, FHandle, FMsg_WM_ASYNCSELECT, FSelectEvent);
      MessagePump();
      continue;
    }
    if (e == WSANOTINITIALISED) break;
    FHSocket = ws::kInvalidSocket;
    ReportSocketError("Disconnect (closesocket)", e);
    return;
  }
  DropStaleNotices();
  FHSocket = ws::kInvalidSocket;
  SetSocketState(wsClosed);
  if (!FDestroying && !FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(static_cast<std::uint16_t>(ErrCode));
  }
  try {
    ResetToDefaults();
  } catch (...) {
  }
}

void TCustomWSocket::DropStaleNotices() {
  // The system reuses socket handles (Windows at once): a notice still queued for the closed
  // socket must not be taken for one of the next session.
  if (FHandle != 0 && FMsg_WM_ASYNCSELECT != 0) plat::PurgeMessages(FHandle, FMsg_WM_ASYNCSELECT);
}

void TCustomWSocket::AbortSocket(int ErrCode) {
  StopDnsLookup(true);
  DeleteBufferedData();
  if (FState == wsConnected && FProto == ws::kIpProtoTcp) {
    FLingerOnOff = wsLingerOff;
    SetLingerOption();
  }
  ReleaseSocket(false, ErrCode);
}

void TCustomWSocket::Close() {
  ReleaseSocket(true, 0);
}

void TCustomWSocket::CloseDelayed() {
  plat::PostMessage(Handle(), FMsg_WM_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::Abort() {
  AbortSocket(0);
}

void TCustomWSocket::Shutdown(int How) {
  if (FHSocket != ws::kInvalidSocket) ws::shutdown(FHSocket, How);
}

void TCustomWSocket::WaitForClose() {
  while (FHSocket != ws::kInvalidSocket && FState != wsClosed) {
    plat::WaitForInput(100);
    MessagePump();
    if (Terminated()) break;
  }
}

void TCustomWSocket::Pause() {
  FPaused = true;
  if (FHSocket != ws::kInvalidSocket) ws::WSAAsyncSelect(FHSocket, Handle(), 0, 0);
}

void TCustomWSocket::Resume() {
  FPaused = false;
  if (FHSocket != ws::kInvalidSocket)
    ws::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent);
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

void TCustomWSocket::ThreadDetach() {
  if (plat::CurrentThreadId() == FThreadId && FHSocket != ws::kInvalidSocket)
    ws::WSAAsyncSelect(FHSocket, FHandle, 0, 0);
  TNetWndControl::ThreadDetach();
}

void TCustomWSocket::ThreadAttach() {
  TNetWndControl::ThreadAttach();
  if (FHSocket != ws::kInvalidSocket)
    ws::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent);
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

void TCustomWSocket::Listen() {
  if (FState != wsClosed) {
    ReportFailure("listen: socket is already in use");
    return;
  }
  std::string failure;
  try {
    if (!FProtoResolved) {
      FProto = ResolveProto(FProtoStr);
      FType = FProto == ws::kIpProtoTcp   ? ws::kSockStream
              : FProto == ws::kIpProtoUdp ? ws::kSockDgram
                                          : ws::kSockRaw;
      FProtoResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = static_cast<std::int32_t>(ResolvePort(FLocalPortStr, FProtoStr) & 0xffff);
      FLocalPortResolved = true;
    }
  } catch (const std::exception& E) {
    failure = std::string("listen: ") + E.what();
  }
  if (!failure.empty()) {
    ReportFailure(failure);
    return;
  }
  FAddrFormat = FSocketFamily == sfIPv6 ? ws::kAfInet6 : ws::kAfInet;
  FHSocket = ws::socket(FAddrFormat, FType, FProto);
  if (FHSocket == ws::kInvalidSocket) {
    ReportSocketError("socket");
    return;
  }
  if (FReuseAddr) {
    std::int32_t on = -1;
    ws::setsockopt(FHSocket, ws::kSolSocket, ws::kSoReuseAddr, reinterpret_cast<char*>(&on),
                   sizeof on);
  }
  SetSocketState(wsOpened);
  if (!BindLocalAddress()) return;
  if (FType == ws::kSockStream) {
    if (ws::listen(FHSocket, FListenBacklog) != 0) {
      ReportSocketError("listen");
      return;
    }
    FSelectEvent = ws::kFdAccept | ws::kFdClose;
  } else {
    FSelectEvent = ws::kFdRead | ws::kFdWrite;
  }
  if (ws::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  SetSocketState(FType == ws::kSockStream ? wsListening : wsBound);
}

ws::TSocket TCustomWSocket::Accept() {
  if (FState != wsListening) {
    ws::WSASetLastError(WSAEINVAL);
    ReportSocketError("not a listening socket", WSAEINVAL);
    return ws::kInvalidSocket;
  }
  ws::TSockAddrIn6 sa{};
  int len = sizeof sa;
  ws::TSocket s = ws::accept(FHSocket, reinterpret_cast<ws::TSockAddr*>(&sa), &len);
  if (s == ws::kInvalidSocket) {
    int e = ws::WSAGetLastError();
    if (e != WSAEWOULDBLOCK) ReportSocketError("accept", e);
  }
  return s;
}

void TCustomWSocket::Dup(ws::TSocket NewHSocket) {
  if (NewHSocket == ws::kInvalidSocket || FHSocket != ws::kInvalidSocket) {
    ws::WSASetLastError(WSAEINVAL);
    ReportSocketError("Dup", WSAEINVAL);
    return;
  }
  FHSocket = NewHSocket;
  FType = ws::kSockStream;
  FProto = ws::kIpProtoTcp;
  FSelectEvent = ws::kFdRead | ws::kFdWrite | ws::kFdClose;
  if (ws::WSAAsyncSelect(FHSocket, Handle(), FMsg_WM_ASYNCSELECT, FSelectEvent) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  FReadCount = 0;
  FWriteCount = 0;
  SetSocketState(wsConnected);
}
