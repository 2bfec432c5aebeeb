// TCustomWSocket: name resolution, connect, socket options, binding and listening.
#include "net/wsocket.h"

#include <cstring>
#include <string>

#include "net/dnslookup.h"
#include "net/wsocket_internal.h"
#include "platform/tick.h"

using namespace wsocket_detail;

namespace {

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

}  // namespace

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
    // Not make_shared: see TNetTimer::FAlive (events/timers.h).
    std::shared_ptr<TNetAsyncDnsLookupRequest> req(new TNetAsyncDnsLookupRequest());
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
  if (FDnsLookupBuffer) {
    FRetiredLookupBuffers.emplace_back(h, std::move(FDnsLookupBuffer));
    // A system whose cancel works never answers them: keep only the most recent ones.
    if (FRetiredLookupBuffers.size() > kMaxRetiredLookups)
      FRetiredLookupBuffers.erase(FRetiredLookupBuffers.begin());
  }
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
    // Not make_shared: see TNetTimer::FAlive (events/timers.h).
    std::shared_ptr<TNetAsyncDnsLookupRequest> req(new TNetAsyncDnsLookupRequest());
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

bool TCustomWSocket::ConnectTargetReady() {
  if (FHSocket != ws::kInvalidSocket && FState != wsClosed) {
    ReportFailure("Connect: Socket already in use");
    return false;
  }
  if (!FPortAssigned) {
    ReportFailure("Connect: No Port Specified");
    return false;
  }
  if (!FAddrAssigned) {
    ReportFailure("Connect: No IP Address Specified");
    return false;
  }
  return true;
}

void TCustomWSocket::Connect() {
  if (!ConnectTargetReady()) return;
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
// Listening.

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
