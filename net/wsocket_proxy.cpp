// The proxy layers: the tunnel through an HTTP proxy (CONNECT) and the SOCKS 4, 4A and 5 client.
//
// Both take over the end of the TCP connect (TransportConnected), talk to the proxy with the
// base class's own send buffer and receive, and fire OnSessionConnected only when the way to
// the target is open; the layers above (TLS first) then start as over a direct connection. The
// proxy's messages are read no further than they reach, so whatever the target sends next is
// left in the system's buffer for the session.
#include <cstring>
#include <string>

#include "http/http_auth.h"
#include "net/wsocket.h"
#include "net/wsocket_internal.h"
#include "platform/messages.h"

using namespace wsocket_detail;

namespace {

// A 407's body is skipped on the same connection only up to this size; a longer one (or one
// without a length) ends the connection instead, and the tunnel connects again.
constexpr std::uint64_t kTunnelSkipLimit = 64 * 1024;

std::string Ansi(const String& s) {
  return std::string(TrimSpaces(text::UnicodeToAnsi(s)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// HTTP-proxy tunnel.

TCustomHttpTunnelWSocket::TCustomHttpTunnelWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {
  FHttpTunnelStatusCode = 0;
  FHttpTunnelRcvdCnt = 0;
  // The last layer that claims message ids binds the window, so every layer's ids are claimed.
  AttachWindow();
}

TCustomHttpTunnelWSocket::~TCustomHttpTunnelWSocket() {
  ReleaseResources(true);
}

int TCustomHttpTunnelWSocket::MessageIdsNeeded() {
  return TCustomWSocket::MessageIdsNeeded() + 1;
}

void TCustomHttpTunnelWSocket::ClaimMessageIds() {
  TCustomWSocket::ClaimMessageIds();
  FMsg_WM_TUNNEL_RECONNECT = FWndHandler->AllocateMsgHandler(this);
}

void TCustomHttpTunnelWSocket::ReturnMessageIds() {
  if (FWndHandler != nullptr) FWndHandler->UnregisterMessage(FMsg_WM_TUNNEL_RECONNECT);
  TCustomWSocket::ReturnMessageIds();
}

void TCustomHttpTunnelWSocket::SetHttpTunnelServer(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Can't change HTTP tunnel server if not closed");
    return;
  }
  FHttpTunnelServer = Value;
}

void TCustomHttpTunnelWSocket::SetHttpTunnelPort(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Can't change HTTP tunnel port if not closed");
    return;
  }
  FHttpTunnelPort = Value;
}

void TCustomHttpTunnelWSocket::HandleWindowMessage(TMessage& MsgRec) {
  if (FMsg_WM_TUNNEL_RECONNECT != 0 && MsgRec.Msg == FMsg_WM_TUNNEL_RECONNECT) {
    TunnelReconnect();
    return;
  }
  TCustomWSocket::HandleWindowMessage(MsgRec);
}

void TCustomHttpTunnelWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  FTunnelState = TTunnelState::Idle;
  FTunnelHeader.clear();
  FTunnelBodyLeft = 0;
  FHttpTunnelRcvdCnt = 0;
}

void TCustomHttpTunnelWSocket::ReportFailure(const std::string& Msg) {
  FHttpTunnelStatusCode = 21000;
  FHttpTunnelRcvdCnt = 0;
  FHttpTunnelLastResponse.clear();
  TCustomWSocket::ReportFailure(Msg);
}

void TCustomHttpTunnelWSocket::Connect() {
  if (!HttpTunnelActive()) {
    TCustomWSocket::Connect();
    return;
  }
  if (!ConnectTargetReady()) return;
  if (FHttpTunnelPort.empty()) {
    ReportFailure("Connect: No HTTP tunnel port specified");
    return;
  }
  // The target goes on the request line as it is: nothing that could end or split the line.
  const std::string host = Ansi(FAddrStr), port = Ansi(FPortStr);
  if (!proxy::SafeRequestToken(host) || proxy::ParsePortNumber(port) == 0) {
    ReportFailure("Connect: invalid target for the HTTP tunnel");
    return;
  }
  if (!FTunnelReconnecting) {
    FTunnelRounds = 0;
    FTunnelAuth = TTunnelAuth::None;
    FTunnelAuthStep = 0;
    FTunnelDigest.reset();
    FTunnelNtlm.reset();
    FHttpTunnelStatusCode = 0;
    FHttpTunnelLastResponse.clear();
  }
  // An NTLM challenge belongs to the connection it came on: a new one starts again at the
  // first message.
  FTunnelNtlmChallenge.clear();
  FTunnelTargetHost = FAddrStr;
  FTunnelTargetPort = FPortStr;
  FTunnelLocalAddr = FLocalAddr;
  FTunnelLocalAddr6 = FLocalAddr6;
  FTunnelLocalPort = FLocalPortStr;
  SetAddr(FHttpTunnelServer);
  SetPort(FHttpTunnelPort);
  FTunnelState = TTunnelState::Connecting;
  TCustomWSocket::Connect();
  if (FHSocket == plat::sock::kInvalidSocket && FState == wsClosed) {
    // Nothing was started: the settings stay as the caller made them.
    FTunnelState = TTunnelState::Idle;
    SetAddr(FTunnelTargetHost);
    SetPort(FTunnelTargetPort);
  }
}

void TCustomHttpTunnelWSocket::TransportConnected(std::uint16_t ErrCode) {
  if (FTunnelState != TTunnelState::Connecting) {
    TCustomWSocket::TransportConnected(ErrCode);
    return;
  }
  SetSocketState(wsConnected);
  // A reconnect after a 407 is over for the owner's eyes: from here its events are seen again.
  FTunnelReconnecting = false;
  if (ErrCode != 0) {
    // The proxy cannot be reached: a refused connect like any other.
    FTunnelState = TTunnelState::Idle;
    TriggerSessionConnected(ErrCode);
    return;
  }
  if (FState != wsConnected) return;
  FTunnelState = TTunnelState::Answer;
  FTunnelHeader.clear();
  TunnelSendRequest();
}

std::string TCustomHttpTunnelWSocket::TunnelAuthorization() {
  const AnsiString user = text::UnicodeToAnsi(FHttpTunnelUsercode);
  const AnsiString password = text::UnicodeToAnsi(FHttpTunnelPassword);
  switch (FTunnelAuth) {
    case TTunnelAuth::Basic:
      return httpauth::BasicCredentials(user, password);
    case TTunnelAuth::Digest:
      return FTunnelDigest->Authorization(
          "CONNECT", proxy::TunnelAuthority(Ansi(FTunnelTargetHost), Ansi(FTunnelTargetPort)), user,
          password);
    case TTunnelAuth::Ntlm:
      // The first message on every new connection: NTLM authenticates the connection.
      if (FTunnelNtlmChallenge.empty()) return FTunnelNtlm->Negotiate();
      return FTunnelNtlm->Authenticate(FTunnelNtlmChallenge);
    default:
      return std::string();
  }
}

void TCustomHttpTunnelWSocket::TunnelSendRequest() {
  ++FTunnelRounds;
  const std::string target =
      proxy::TunnelAuthority(Ansi(FTunnelTargetHost), Ansi(FTunnelTargetPort));
  const bool http11 = FComponentOptions.Contains(wsoNoHttp10Tunnel);
  std::string request = "CONNECT " + target + (http11 ? " HTTP/1.1\r\n" : " HTTP/1.0\r\n");
  request += "Host: " + target + "\r\n";
  // HTTP/1.0 keeps the connection only when asked: an authentication exchange needs it.
  if (!http11) request += "Proxy-Connection: Keep-Alive\r\n";
  const std::string auth = TunnelAuthorization();
  if (!auth.empty()) request += "Proxy-Authorization: " + auth + "\r\n";
  request += "\r\n";
  TCustomWSocket::PutDataInSendBuffer(request.data(), static_cast<std::int32_t>(request.size()));
  TCustomWSocket::Send(nullptr, 0);
}

bool TCustomHttpTunnelWSocket::TriggerDataAvailable(std::uint16_t ErrCode) {
  if (FTunnelState != TTunnelState::Answer && FTunnelState != TTunnelState::SkipBody)
    return TCustomWSocket::TriggerDataAvailable(ErrCode);
  if (TunnelRead(ErrCode) && FTunnelState == TTunnelState::Established &&
      FHSocket != plat::sock::kInvalidSocket) {
    // The target's first bytes may have come with the answer: they are handed on in this same
    // notice, since a close notice reads only once.
    std::uint32_t avail = 0;
    if (plat::sock::ioctlsocket(FHSocket, plat::sock::kFionRead, &avail) == 0 && avail > 0)
      return TriggerDataAvailable(ErrCode);
  }
  return true;
}

bool TCustomHttpTunnelWSocket::TunnelRead(std::uint16_t) {
  char buf[4096];
  for (;;) {
    std::int32_t n;
    if (FTunnelState == TTunnelState::SkipBody) {
      if (FTunnelBodyLeft == 0) {
        TunnelAfterChallenge();
        if (FTunnelState != TTunnelState::Answer) return true;
        continue;
      }
      const std::uint64_t want = FTunnelBodyLeft < sizeof buf ? FTunnelBodyLeft : sizeof buf;
      n = TCustomWSocket::RecvRaw(buf, static_cast<std::int32_t>(want), 0);
      if (n > 0) {
        FTunnelBodyLeft -= static_cast<std::uint64_t>(n);
        FHttpTunnelRcvdCnt += n;
        continue;
      }
    } else {
      // Look first, then take exactly the header: what follows it is not the tunnel's.
      n = TCustomWSocket::RecvRaw(buf, sizeof buf, plat::sock::kMsgPeek);
      if (n > 0) {
        const std::size_t old = FTunnelHeader.size();
        FTunnelHeader.append(buf, static_cast<std::size_t>(n));
        const std::size_t end = proxy::AnswerHeaderEnd(FTunnelHeader);
        if (end > proxy::kTunnelAnswerLimit ||
            (end == 0 && FTunnelHeader.size() > proxy::kTunnelAnswerLimit)) {
          TunnelFail(proxy::kTunnelAnswerTooLarge);
          return true;
        }
        const std::size_t take = end != 0 ? end - old : static_cast<std::size_t>(n);
        const std::int32_t got = TCustomWSocket::RecvRaw(buf, static_cast<std::int32_t>(take), 0);
        FTunnelHeader.resize(old + (got > 0 ? static_cast<std::size_t>(got) : 0));
        FHttpTunnelRcvdCnt += got > 0 ? got : 0;
        if (end != 0 && got == static_cast<std::int32_t>(take)) {
          TunnelAnswerComplete();
          if (FTunnelState != TTunnelState::Answer && FTunnelState != TTunnelState::SkipBody)
            return true;
          continue;
        }
        if (got <= 0) return false;
        continue;
      }
    }
    if (n < 0 && plat::sock::WSAGetLastError() == WSAEWOULDBLOCK) return false;
    // Closed or reset before the tunnel stood.
    TunnelFail(proxy::kTunnelClosed);
    return true;
  }
}

void TCustomHttpTunnelWSocket::TunnelAnswerComplete() {
  proxy::TTunnelAnswer answer;
  const bool valid = proxy::ParseTunnelAnswer(FTunnelHeader, answer);
  const std::size_t eol = FTunnelHeader.find_first_of("\r\n");
  FHttpTunnelLastResponse = FTunnelHeader.substr(0, eol);
  FTunnelHeader.clear();
  if (!valid) {
    TunnelFail(proxy::kTunnelInvalidAnswer);
    return;
  }
  FHttpTunnelStatusCode = answer.status;
  if (answer.status >= 200 && answer.status < 300) {
    TunnelEstablished(0);
    return;
  }
  if (answer.status < 200) {
    // An interim answer; the final one follows. Counted, so a proxy cannot keep it up.
    if (++FTunnelRounds > 2 * kTunnelMaxRounds) TunnelFail(proxy::kTunnelInvalidAnswer);
    return;
  }
  if (answer.status != 407) {
    TunnelFail(proxy::kTunnelStatusBase + answer.status);
    return;
  }
  FTunnelAnswer = std::move(answer);
  int code = proxy::kTunnelStatusBase + 407;
  if (FTunnelRounds >= kTunnelMaxRounds || !TunnelChooseAuth(code)) {
    TunnelFail(code);
    return;
  }
  if (!FTunnelAnswer.close && FTunnelAnswer.has_length && !FTunnelAnswer.chunked &&
      FTunnelAnswer.content_length <= kTunnelSkipLimit) {
    FTunnelState = TTunnelState::SkipBody;
    FTunnelBodyLeft = FTunnelAnswer.content_length;
    return;
  }
  // The proxy closes, or its body cannot be found the end of: a new connection for the answer.
  FTunnelReconnecting = true;
  FTunnelState = TTunnelState::Idle;
  Close();
  if (FTunnelReconnecting) plat::PostMessage(Handle(), FMsg_WM_TUNNEL_RECONNECT, 0, 0);
}

bool TCustomHttpTunnelWSocket::TunnelChooseAuth(int& Code) {
  Code = proxy::kTunnelStatusBase + 407;
  if (FHttpTunnelAuthType == htatNone) return false;
  const std::vector<std::string>& offers = FTunnelAnswer.proxy_authenticate;
  auto find = [&](httpauth::TAuthScheme scheme) -> const std::string* {
    for (const std::string& v : offers)
      if (httpauth::ChallengeScheme(v) == scheme) return &v;
    return nullptr;
  };
  switch (FTunnelAuth) {
    case TTunnelAuth::None:
      break;
    case TTunnelAuth::Basic:
      // Basic had its one answer: the credentials were refused.
      return false;
    case TTunnelAuth::Digest: {
      // Only a stale nonce is worth another round; anything else refused the credentials.
      const std::string* digest = find(httpauth::TAuthScheme::Digest);
      httpauth::TDigestClient next;
      if (digest == nullptr || !next.Accept(*digest) || !next.Stale()) return false;
      *FTunnelDigest = std::move(next);
      return true;
    }
    case TTunnelAuth::Ntlm: {
      const std::string* ntlm = find(httpauth::TAuthScheme::Ntlm);
      if (!FTunnelNtlmChallenge.empty() || ntlm == nullptr) return false;
      // "NTLM <type 2>" answers the first message; a bare "NTLM" refuses it.
      if (ntlm->size() <= 5) return false;
      FTunnelNtlmChallenge = *ntlm;
      if (FTunnelNtlm->Authenticate(FTunnelNtlmChallenge).empty()) {
        Code = proxy::kTunnelInvalidAnswer;
        return false;
      }
      // Computed again when the request is built: the same challenge, the same answer kind.
      return true;
    }
  }
  const bool have_user = !FHttpTunnelUsercode.empty();
  TTunnelAuth pick = TTunnelAuth::None;
  const std::string* challenge = nullptr;
  if (FHttpTunnelAuthType == htatBasic) {
    pick = TTunnelAuth::Basic;
  } else if (FHttpTunnelAuthType == htatNtlm) {
    pick = TTunnelAuth::Ntlm;
  } else {
    const httpauth::TChallengePick best = httpauth::PickChallenge(offers);
    if (best.scheme == httpauth::TAuthScheme::Ntlm) pick = TTunnelAuth::Ntlm;
    if (best.scheme == httpauth::TAuthScheme::Digest) pick = TTunnelAuth::Digest;
    if (best.scheme == httpauth::TAuthScheme::Basic) pick = TTunnelAuth::Basic;
    if (best.index < offers.size()) challenge = &offers[best.index];
    // Without a user code only NTLM with the system's credentials can answer.
    if (!have_user && pick != TTunnelAuth::Ntlm) {
      if (pick == TTunnelAuth::None && !offers.empty()) Code = proxy::kTunnelNoAuthScheme;
      return false;
    }
  }
  switch (pick) {
    case TTunnelAuth::None:
      if (!offers.empty()) Code = proxy::kTunnelNoAuthScheme;
      return false;
    case TTunnelAuth::Basic:
      if (!have_user) return false;
      break;
    case TTunnelAuth::Digest:
      FTunnelDigest = std::make_unique<httpauth::TDigestClient>();
      if (challenge == nullptr || !FTunnelDigest->Accept(*challenge)) return false;
      break;
    case TTunnelAuth::Ntlm:
      FTunnelNtlm = std::make_unique<httpauth::TNtlmClient>(
          FHttpTunnelUsercode, FHttpTunnelPassword, FHttpTunnelLmCompatLevel);
      if (!FTunnelNtlm->Available()) return false;
      FTunnelNtlmChallenge.clear();
      break;
    default:
      return false;
  }
  FTunnelAuth = pick;
  FTunnelAuthStep = 1;
  return true;
}

void TCustomHttpTunnelWSocket::TunnelAfterChallenge() {
  FTunnelState = TTunnelState::Answer;
  FTunnelHeader.clear();
  TunnelSendRequest();
}

void TCustomHttpTunnelWSocket::TunnelReconnect() {
  if (!FTunnelReconnecting || FState != wsClosed || FHSocket != plat::sock::kInvalidSocket) return;
  SetAddr(FTunnelTargetHost);
  SetPort(FTunnelTargetPort);
  SetLocalAddr(FTunnelLocalAddr);
  SetLocalAddr6(FTunnelLocalAddr6);
  SetLocalPort(FTunnelLocalPort);
  try {
    // The whole chain connects again: a TLS layer above needs a session for the new
    // connection, a time-out layer its watch.
    Connect();
  } catch (...) {
  }
  if (FTunnelReconnecting && FHSocket == plat::sock::kInvalidSocket && FState == wsClosed)
    TunnelFail(proxy::kTunnelClosed);
}

void TCustomHttpTunnelWSocket::TunnelEstablished(std::uint16_t ErrCode) {
  FTunnelState = TTunnelState::Established;
  FTunnelHeader.clear();
  FTunnelHeader.shrink_to_fit();
  TriggerHttpTunnelConnected(ErrCode);
  if (FState != wsConnected) return;
  TriggerSessionConnected(0);
}

void TCustomHttpTunnelWSocket::TunnelFail(int Code) {
  FTunnelState = TTunnelState::Failed;
  FTunnelReconnecting = false;
  FLastError = Code;
  const auto code = static_cast<std::uint16_t>(Code);
  TriggerHttpTunnelError(code);
  if (FHSocket == plat::sock::kInvalidSocket) {
    // Failed while connecting again after a 407: the session the owner knows ends here.
    if (FState != wsClosed) return;
    TriggerSessionConnected(code);
    if (!FCloseInvoked && !FDestroying) {
      FCloseInvoked = true;
      TriggerSessionClosed(0);
    }
    return;
  }
  // As a refused connect: the code by OnSessionConnected, then the close.
  TriggerSessionConnected(code);
  if (FState != wsClosed) Close();
}

void TCustomHttpTunnelWSocket::TriggerDataSent(std::uint16_t ErrCode) {
  // The CONNECT request is no data of the owner's.
  if (HttpTunnelNegotiating()) return;
  TCustomWSocket::TriggerDataSent(ErrCode);
}

void TCustomHttpTunnelWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  // The close before connecting again after a 407 is the tunnel's own.
  if (FTunnelReconnecting) return;
  TCustomWSocket::TriggerSessionClosed(ErrCode);
}

void TCustomHttpTunnelWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  if (FTunnelReconnecting) return;
  TCustomWSocket::TriggerChangeState(OldState, NewState);
}

void TCustomHttpTunnelWSocket::ReleaseSocket(bool Graceful, int ErrCode) {
  if (FTunnelReconnecting && FTunnelState != TTunnelState::Idle) {
    // The owner ends the session while the tunnel connects again: its events count again.
    FTunnelReconnecting = false;
  } else if (FTunnelReconnecting && FHSocket == plat::sock::kInvalidSocket && FState == wsClosed) {
    // ... or while the reconnect waits in the queue: the session the owner knows ends now.
    FTunnelReconnecting = false;
    if (!FCloseInvoked && !FDestroying) {
      FCloseInvoked = true;
      TriggerSessionClosed(static_cast<std::uint16_t>(ErrCode));
    }
    return;
  }
  TCustomWSocket::ReleaseSocket(Graceful, ErrCode);
}

void TCustomHttpTunnelWSocket::TriggerHttpTunnelConnected(std::uint16_t ErrCode) {
  if (OnHttpTunnelConnected) OnHttpTunnelConnected(this, ErrCode);
}

void TCustomHttpTunnelWSocket::TriggerHttpTunnelError(std::uint16_t ErrCode) {
  if (OnHttpTunnelError) OnHttpTunnelError(this, ErrCode);
}

// ---------------------------------------------------------------------------------------------
// SOCKS.

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomHttpTunnelWSocket(AOwner) {}

void TCustomSocksWSocket::SetSocksServer(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Can't change socks server if not closed");
    return;
  }
  FSocksServer = Value;
}

void TCustomSocksWSocket::SetSocksPort(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Can't change socks port if not closed");
    return;
  }
  FSocksPort = Value;
}

void TCustomSocksWSocket::SetSocksLevel(const String& Value) {
  if (FState != wsClosed) {
    ReportFailure("Can't change socks level if not closed");
    return;
  }
  if (Value != u"4" && Value != u"4A" && Value != u"4a" && Value != u"5") {
    ReportFailure("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  FSocksLevel = Value == u"4a" ? String(u"4A") : Value;
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomHttpTunnelWSocket::ResetToDefaults();
  FSocksState = 0;
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksLevel.assign(1, u'5');
  FSocksRcvd.clear();
  FSocksNeed = 0;
}

void TCustomSocksWSocket::Connect() {
  if (!SocksActive()) {
    TCustomHttpTunnelWSocket::Connect();
    return;
  }
  if (HttpTunnelActive()) {
    ReportFailure("Connect: a SOCKS server and an HTTP tunnel cannot be used together");
    return;
  }
  if (!ConnectTargetReady()) return;
  const std::string host = Ansi(FAddrStr);
  const std::uint16_t port = proxy::ParsePortNumber(Ansi(FPortStr));
  if (port == 0) {
    ReportFailure("Connect: the SOCKS target port must be a number from 1 to 65535");
    return;
  }
  // Every message is checked now, so a target or credentials that cannot be sent fail here
  // rather than half-way through the negotiation.
  std::string probe;
  if (FSocksLevel == u"5") {
    if (!proxy::Socks5ConnectRequest(host, port, probe)) {
      ReportFailure("Connect: " + proxy::ErrorText(proxy::kSocksBadTarget));
      return;
    }
    if (FSocksAuthentication == socksAuthenticateUsercode &&
        !proxy::Socks5PasswordRequest(text::UnicodeToAnsi(FSocksUsercode),
                                      text::UnicodeToAnsi(FSocksPassword), probe)) {
      ReportFailure(
          "Connect: the SOCKS user code must have 1 to 255 bytes, the password 255 "
          "at most");
      return;
    }
  } else if (FSocksLevel == u"4A") {
    if (!proxy::Socks4AConnectRequest(host, port, text::UnicodeToAnsi(FSocksUsercode), probe)) {
      ReportFailure("Connect: " + proxy::ErrorText(proxy::kSocksBadTarget));
      return;
    }
  } else {
    if (!proxy::ParseIPv4Literal(host, FSocksTargetIPv4)) {
      // SOCKS 4 carries an IPv4 address only: a name is resolved here (blocking, as Connect
      // does with a name in Addr).
      std::uint8_t v6[16];
      plat::sock::THostEnt* he = nullptr;
      if (!host.empty() && !proxy::ParseIPv6Literal(host, v6))
        he = plat::sock::gethostbyname(host.c_str());
      if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
        FLastError = proxy::kSocksCannotResolve;
        ReportFailure("Connect: " + proxy::ErrorText(proxy::kSocksCannotResolve));
        return;
      }
      std::memcpy(FSocksTargetIPv4, he->h_addr_list[0], 4);
    }
    if (!proxy::Socks4ConnectRequest(FSocksTargetIPv4, port, text::UnicodeToAnsi(FSocksUsercode),
                                     probe)) {
      ReportFailure("Connect: " + proxy::ErrorText(proxy::kSocksBadTarget));
      return;
    }
  }
  FSocksTargetHost = host;
  FSocksTargetPort = port;
  const String addr = FAddrStr, port_text = FPortStr;
  SetAddr(FSocksServer);
  SetPort(FSocksPort.empty() ? String(u"1080") : FSocksPort);
  FSocksState = kSocksConnecting;
  TCustomHttpTunnelWSocket::Connect();
  if (FHSocket == plat::sock::kInvalidSocket && FState == wsClosed) {
    FSocksState = 0;
    SetAddr(addr);
    SetPort(port_text);
  }
}

void TCustomSocksWSocket::TransportConnected(std::uint16_t ErrCode) {
  if (FSocksState != kSocksConnecting) {
    TCustomHttpTunnelWSocket::TransportConnected(ErrCode);
    return;
  }
  if (ErrCode != 0) {
    FSocksState = 0;
    TCustomHttpTunnelWSocket::TransportConnected(ErrCode);
    return;
  }
  SetSocketState(wsSocksConnected);
  if (FState != wsSocksConnected) return;
  FSocksRcvd.clear();
  if (FSocksLevel == u"5") {
    FSocksState = kSocksMethod;
    FSocksNeed = 2;
    SocksSend(proxy::Socks5Greeting(FSocksAuthentication == socksAuthenticateUsercode));
  } else {
    SocksSendRequest();
  }
}

void TCustomSocksWSocket::SocksSend(const std::string& Bytes) {
  TCustomWSocket::PutDataInSendBuffer(Bytes.data(), static_cast<std::int32_t>(Bytes.size()));
  TCustomWSocket::Send(nullptr, 0);
}

void TCustomSocksWSocket::SocksSendRequest() {
  std::string request;
  if (FSocksLevel == u"5") {
    proxy::Socks5ConnectRequest(FSocksTargetHost, FSocksTargetPort, request);
    FSocksNeed = 5;  // enough to know the reply's length
  } else if (FSocksLevel == u"4A") {
    proxy::Socks4AConnectRequest(FSocksTargetHost, FSocksTargetPort,
                                 text::UnicodeToAnsi(FSocksUsercode), request);
    FSocksNeed = proxy::kSocks4ReplyLength;
  } else {
    proxy::Socks4ConnectRequest(FSocksTargetIPv4, FSocksTargetPort,
                                text::UnicodeToAnsi(FSocksUsercode), request);
    FSocksNeed = proxy::kSocks4ReplyLength;
  }
  FSocksState = kSocksReply;
  FSocksRcvd.clear();
  SocksSend(request);
}

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t ErrCode) {
  if (!SocksNegotiating() || FSocksState == kSocksConnecting)
    return TCustomHttpTunnelWSocket::TriggerDataAvailable(ErrCode);
  if (SocksRead() && FSocksState == kSocksDone && FHSocket != plat::sock::kInvalidSocket) {
    // The target's first bytes may have come with the reply; see the tunnel's reading.
    std::uint32_t avail = 0;
    if (plat::sock::ioctlsocket(FHSocket, plat::sock::kFionRead, &avail) == 0 && avail > 0)
      return TriggerDataAvailable(ErrCode);
  }
  return true;
}

bool TCustomSocksWSocket::SocksRead() {
  char buf[512];
  for (;;) {
    if (FSocksRcvd.size() >= FSocksNeed) {
      SocksMessage();
      if (!SocksNegotiating()) return true;
      continue;
    }
    const std::size_t want = FSocksNeed - FSocksRcvd.size();
    const std::int32_t n = TCustomWSocket::RecvRaw(buf, static_cast<std::int32_t>(want), 0);
    if (n > 0) {
      FSocksRcvd.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && plat::sock::WSAGetLastError() == WSAEWOULDBLOCK) return false;
    SocksFail(proxy::kSocksClosed);
    return true;
  }
}

void TCustomSocksWSocket::SocksMessage() {
  const auto* r = reinterpret_cast<const std::uint8_t*>(FSocksRcvd.data());
  switch (FSocksState) {
    case kSocksMethod: {
      if (r[0] != 5) return SocksFail(proxy::kSocksVersionError);
      const bool with_password = FSocksAuthentication == socksAuthenticateUsercode;
      if (r[1] == 0) {
        TriggerSocksAuthState(socksAuthNotRequired);
        if (FState != wsSocksConnected) return;
        SocksSendRequest();
        return;
      }
      if (r[1] == 2 && with_password) {
        TriggerSocksAuthState(socksAuthStart);
        if (FState != wsSocksConnected) return;
        std::string request;
        proxy::Socks5PasswordRequest(text::UnicodeToAnsi(FSocksUsercode),
                                     text::UnicodeToAnsi(FSocksPassword), request);
        FSocksState = kSocksAuth;
        FSocksNeed = 2;
        FSocksRcvd.clear();
        SocksSend(request);
        return;
      }
      return SocksFail(r[1] == 0xFF ? proxy::kSocksNoAcceptableMethod : proxy::kSocksProtocolError);
    }
    case kSocksAuth:
      if (r[0] != 1 || r[1] != 0) {
        TriggerSocksAuthState(socksAuthFailure);
        if (FState != wsSocksConnected) return;
        return SocksFail(proxy::kSocksAuthenticationFailed);
      }
      TriggerSocksAuthState(socksAuthSuccess);
      if (FState != wsSocksConnected) return;
      SocksSendRequest();
      return;
    case kSocksReply:
      if (FSocksLevel != u"5") {
        const int code = proxy::Socks4ReplyError(r[0], r[1]);
        if (code != 0) return SocksFail(code);
        return SocksEstablished(0);
      }
      if (FSocksNeed == 5) {
        if (r[0] != 5) return SocksFail(proxy::kSocksVersionError);
        if (r[1] != 0) return SocksFail(proxy::Socks5ReplyError(r[1]));
        const int length = proxy::Socks5ReplyLength(FSocksRcvd);
        if (length < 0) return SocksFail(proxy::kSocksProtocolError);
        FSocksNeed = static_cast<std::size_t>(length);
        if (FSocksRcvd.size() < FSocksNeed) return;
      }
      SocksEstablished(0);
      return;
    default:
      return SocksFail(proxy::kSocksProtocolError);
  }
}

void TCustomSocksWSocket::SocksEstablished(std::uint16_t ErrCode) {
  FSocksState = kSocksDone;
  FSocksRcvd.clear();
  SetSocketState(wsConnected);
  TriggerSocksConnected(ErrCode);
  if (FState != wsConnected) return;
  TriggerSessionConnected(0);
}

void TCustomSocksWSocket::SocksFail(int Code) {
  FSocksState = kSocksDone + 1;
  FLastError = Code;
  const auto code = static_cast<std::uint16_t>(Code);
  TriggerSocksError(code);
  if (FHSocket == plat::sock::kInvalidSocket || FState == wsClosed) return;
  // As a refused connect: through wsConnected, the code by OnSessionConnected, then the close.
  SetSocketState(wsConnected);
  TriggerSessionConnected(code);
  if (FState != wsClosed) Close();
}

void TCustomSocksWSocket::TriggerDataSent(std::uint16_t ErrCode) {
  if (SocksNegotiating()) return;
  TCustomHttpTunnelWSocket::TriggerDataSent(ErrCode);
}

void TCustomSocksWSocket::TriggerSocksConnected(std::uint16_t ErrCode) {
  if (OnSocksConnected) OnSocksConnected(this, ErrCode);
}

void TCustomSocksWSocket::TriggerSocksError(std::uint16_t ErrCode) {
  if (OnSocksError) OnSocksError(this, ErrCode);
}

void TCustomSocksWSocket::TriggerSocksAuthState(int AuthState) {
  if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}
