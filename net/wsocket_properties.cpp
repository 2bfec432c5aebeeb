// TCustomWSocket: properties (address, port, protocol, local address, family, flags).
#include "net/wsocket.h"

#include <cstring>

#include "net/dnslookup.h"
#include "net/wsocket_internal.h"

using namespace wsocket_detail;

namespace {

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

}  // namespace

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
