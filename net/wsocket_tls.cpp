// TCustomSslWSocket: TLS between the connection and the layers that read and write plain bytes.
//
// The session (platform/tls.h) works on memory only. Encrypted bytes come from the base
// class's RecvRaw (the system's recv, with its notice re-arming) and go out through the base
// send buffer, so select notices, the send pool and the close rules stay those of the plain
// socket. What this layer changes is the order of events at the start: the TCP connect starts
// the handshake, and OnSessionConnected fires when it has ended.
#include <cstring>

#include "net/wsocket.h"
#include "net/wsocket_internal.h"

using namespace wsocket_detail;
namespace tls = plat::tls;

namespace {

// Encrypted bytes read from the system in one go: a few full records.
constexpr std::size_t kSslRecvChunk = 64 * 1024;

}  // namespace

TCustomSslWSocket::TCustomSslWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

TCustomSslWSocket::~TCustomSslWSocket() = default;

void TCustomSslWSocket::SetSslEnable(bool Value) {
  if (FState != wsClosed) {
    ReportFailure("Can't change TLS if not closed");
    return;
  }
  FSslEnable = Value;
}

void TCustomSslWSocket::ResetToDefaults() {
  TCustomSocksWSocket::ResetToDefaults();
  FSslSession.reset();
  FSslHandshaking = false;
  FSslEstablished = false;
  FSslPeerClosed = false;
  FSslEarlyPlain.clear();
  FSslOutgoing.clear();
}

void TCustomSslWSocket::ReleaseSocket(bool Graceful, int ErrCode) {
  // The close-notify tells the peer that the session ended in order, not cut. It must be the
  // last record, and a close does not wait for the send buffer: so it goes only when everything
  // before it has gone, in one try (a close without it is what a cut connection looks like,
  // which the peer has to handle anyway).
  if (Graceful && FSslSession && FSslEstablished && FSslSession->ErrorCode() == 0 &&
      FState == wsConnected && bAllSent && FHSocket != ws::kInvalidSocket) {
    FSslSession->Shutdown();
    std::string notify;
    FSslSession->TakeOutgoing(notify);
    if (!notify.empty()) SendRaw(notify.data(), static_cast<std::int32_t>(notify.size()));
  }
  TCustomSocksWSocket::ReleaseSocket(Graceful, ErrCode);
}

void TCustomSslWSocket::SslSetError(int Code, const std::string& Reason) {
  FSslErrorCode = Code;
  std::string text = ErrorTextOf(Code);
  if (!Reason.empty()) text += ": " + Reason;
  FSslErrorText = text::FromUtf8(text);
  FLastError = Code;
}

void TCustomSslWSocket::Connect() {
  if (!FSslEnable) {
    TCustomSocksWSocket::Connect();
    return;
  }
  FSslErrorCode = 0;
  FSslErrorText.clear();
  tls::TTlsClientSettings settings;
  settings.HostName = Utf8(FSslServerName.empty() ? FAddrStr : FSslServerName);
  settings.ExtraRootsFile = Utf8(FSslTrustedRootsFile);
  int code = 0;
  std::string reason;
  std::unique_ptr<tls::TTlsSession> session = tls::CreateTlsClientSession(settings, code, reason);
  if (!session) {
    SslSetError(code, reason);
    ReportFailure("Connect: " + Utf8(FSslErrorText));
    return;
  }
  // The session belongs to the connection that Connect starts; a start that fails releases
  // the socket, and that resets this layer.
  FSslSession = std::move(session);
  FSslHandshaking = false;
  FSslEstablished = false;
  FSslPeerClosed = false;
  FSslRecvBuf.resize(kSslRecvChunk);
  TCustomSocksWSocket::Connect();
}

void TCustomSslWSocket::TriggerSessionConnected(std::uint16_t ErrCode) {
  if (!FSslSession || ErrCode != 0 || FSslEstablished || FSslHandshaking) {
    TCustomSocksWSocket::TriggerSessionConnected(ErrCode);
    return;
  }
  // The connection is there; the session is not, until the handshake has ended.
  FSslHandshaking = true;
  SslAdvanceHandshake();
}

bool TCustomSslWSocket::SslQueueOutgoing() {
  FSslOutgoing.clear();
  FSslSession->TakeOutgoing(FSslOutgoing);
  if (FSslOutgoing.empty()) return false;
  TCustomSocksWSocket::PutDataInSendBuffer(FSslOutgoing.data(),
                                           static_cast<std::int32_t>(FSslOutgoing.size()));
  FSslOutgoing.clear();
  return true;
}

void TCustomSslWSocket::SslFlushOutgoing() {
  if (SslQueueOutgoing() && FState == wsConnected) TCustomSocksWSocket::Send(nullptr, 0);
}

void TCustomSslWSocket::SslAdvanceHandshake() {
  const tls::TTlsStep step = FSslSession->Handshake();
  // Also after a failure: the alert that says why goes to the peer.
  SslFlushOutgoing();
  if (!FSslSession) return;
  if (step == tls::TTlsStep::Failed) {
    SslFailHandshake(FSslSession->ErrorCode(), FSslSession->ErrorText());
    return;
  }
  if (step == tls::TTlsStep::Pending) return;
  FSslHandshaking = false;
  FSslEstablished = true;
  if (!FSslEarlyPlain.empty()) {
    std::string early;
    early.swap(FSslEarlyPlain);
    PutDataInSendBuffer(early.data(), static_cast<std::int32_t>(early.size()));
    TCustomSocksWSocket::Send(nullptr, 0);
  }
  TCustomSocksWSocket::TriggerSessionConnected(0);
}

void TCustomSslWSocket::SslFailHandshake(int Code, const std::string& Reason) {
  SslSetError(Code, Reason);
  FSslHandshaking = false;
  // As a refused connect: the owner learns the code from OnSessionConnected, then the close.
  TCustomSocksWSocket::TriggerSessionConnected(static_cast<std::uint16_t>(Code));
  if (FState != wsClosed) Close();
}

void TCustomSslWSocket::SslHandshakeInput() {
  bool closed = false;
  int error = 0;
  // Everything waiting goes into the session; a later readable notice brings the rest.
  for (;;) {
    const std::int32_t n = TCustomSocksWSocket::RecvRaw(
        FSslRecvBuf.data(), static_cast<std::int32_t>(FSslRecvBuf.size()), 0);
    if (n > 0) {
      FSslSession->PutReceived(FSslRecvBuf.data(), static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0)
      closed = true;
    else if (int e = ws::WSAGetLastError(); e != WSAEWOULDBLOCK)
      error = e;
    break;
  }
  SslAdvanceHandshake();
  if (!FSslHandshaking || !FSslSession) return;
  // A reset is a close in the handshake too; its text says which kind.
  if (closed || error != 0)
    SslFailHandshake(tls::kTlsErrClosedInHandshake, error != 0 ? DescribeWithCode(error) : "");
}

bool TCustomSslWSocket::TriggerDataAvailable(std::uint16_t ErrCode) {
  if (!FSslSession) return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
  if (FSslHandshaking) {
    SslHandshakeInput();
    return true;
  }
  if (!FSslEstablished) return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
  const bool handled = TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
  // A record that failed inside the handler's Receive ends the session with its code.
  if (FSslSession && FSslSession->ErrorCode() != 0 && FState != wsClosed)
    AbortSocket(FSslSession->ErrorCode());
  return handled;
}

void TCustomSslWSocket::TriggerDataSent(std::uint16_t ErrCode) {
  // The handshake's own bytes are no data of the owner's.
  if (FSslHandshaking) return;
  TCustomSocksWSocket::TriggerDataSent(ErrCode);
}

bool TCustomSslWSocket::ReceiveBuffered() {
  return FSslSession && FSslEstablished && !FSslPeerClosed && FSslSession->HasBuffered();
}

std::int32_t TCustomSslWSocket::RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags) {
  if (!FSslSession || !FSslEstablished)
    return TCustomSocksWSocket::RecvRaw(Buffer, BufferSize, Flags);
  if (Flags != 0) {
    // Peeking at decrypted bytes is not offered.
    ws::WSASetLastError(WSAEOPNOTSUPP);
    return -1;
  }
  if (FSslSession->ErrorCode() != 0) {
    ws::WSASetLastError(FSslSession->ErrorCode());
    return -1;
  }
  if (FSslPeerClosed) {
    // After the close-notify: the system's bytes are read (so its close notice comes) and
    // dropped; the session has ended in order.
    const std::int32_t n = TCustomSocksWSocket::RecvRaw(
        FSslRecvBuf.data(), static_cast<std::int32_t>(FSslRecvBuf.size()), 0);
    return n > 0 ? 0 : n;
  }
  const std::int32_t result = SslDecrypt(static_cast<char*>(Buffer), BufferSize);
  // Reading may have produced bytes for the peer (a key update's answer, an alert); sending
  // them must not change the error the caller reads next.
  const int error = ws::WSAGetLastError();
  SslFlushOutgoing();
  ws::WSASetLastError(error);
  return result;
}

std::int32_t TCustomSslWSocket::SslDecrypt(char* Out, std::int32_t Size) {
  std::int32_t got = 0;
  while (got < Size) {
    const std::int32_t r = FSslSession->Read(Out + got, Size - got);
    if (r > 0) {
      got += r;
      continue;
    }
    if (r == -1) {
      FSslPeerClosed = true;
      return got;
    }
    if (r == -2) {
      if (got > 0) return got;
      SslSetError(FSslSession->ErrorCode(), FSslSession->ErrorText());
      ws::WSASetLastError(FSslSession->ErrorCode());
      return -1;
    }
    // More encrypted bytes are needed.
    const std::int32_t n = TCustomSocksWSocket::RecvRaw(
        FSslRecvBuf.data(), static_cast<std::int32_t>(FSslRecvBuf.size()), 0);
    if (n > 0) {
      FSslSession->PutReceived(FSslRecvBuf.data(), static_cast<std::size_t>(n));
      continue;
    }
    // Nothing now (the error stays for WSAGetLastError), or the TCP close: what was decrypted
    // goes first, the same answer comes again on the next call.
    if (got > 0) return got;
    return n;
  }
  return got;
}

void TCustomSslWSocket::PutDataInSendBuffer(const void* Data, std::int32_t Len) {
  if (!FSslSession || Len <= 0 || Data == nullptr) {
    TCustomSocksWSocket::PutDataInSendBuffer(Data, Len);
    return;
  }
  if (!FSslEstablished) {
    FSslEarlyPlain.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
    return;
  }
  if (!FSslSession->Write(Data, static_cast<std::size_t>(Len))) {
    SslSetError(FSslSession->ErrorCode(), FSslSession->ErrorText());
    return;
  }
  SslQueueOutgoing();
}

std::int32_t TCustomSslWSocket::Send(const void* Data, std::int32_t Len) {
  if (!FSslSession || FState != wsConnected) return TCustomSocksWSocket::Send(Data, Len);
  std::int32_t result = 0;
  if (Len > 0 && Data != nullptr) {
    PutDataInSendBuffer(Data, Len);
    result = Len;
  }
  // Before the end of the handshake the plain bytes wait; its own bytes are already going.
  if (!FSslEstablished) return result;
  TCustomSocksWSocket::Send(nullptr, 0);
  return result;
}
