// The layers above TCustomWSocket. Each one is inactive while its settings are off and then
// passes every call to its base. The proxy and line layers refuse to start a session when
// they are switched on, rather than connecting directly and bypassing the proxy; the timeout
// and bandwidth layers keep their settings and pass through until their timers exist.
#include <string>

#include "net/wsocket.h"

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

void TCustomHttpTunnelWSocket::HandleWindowMessage(TMessage& MsgRec) {
  if (FMsg_WM_TUNNEL_RECONNECT != 0 && MsgRec.Msg == FMsg_WM_TUNNEL_RECONNECT) return;
  TCustomWSocket::HandleWindowMessage(MsgRec);
}

void TCustomHttpTunnelWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  FHttpTunnelStatusCode = 0;
  FHttpTunnelRcvdCnt = 0;
  FHttpTunnelLastResponse.clear();
}

void TCustomHttpTunnelWSocket::ReportFailure(const std::string& Msg) {
  FHttpTunnelStatusCode = 21000;
  FHttpTunnelRcvdCnt = 0;
  FHttpTunnelLastResponse.clear();
  TCustomWSocket::ReportFailure(Msg);
}

void TCustomHttpTunnelWSocket::Connect() {
  if (HttpTunnelActive()) {
    ReportFailure("Connect: tunnelling through an HTTP proxy is not supported");
    return;
  }
  TCustomWSocket::Connect();
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
}

void TCustomSocksWSocket::Connect() {
  if (SocksActive()) {
    ReportFailure("Connect: SOCKS proxies are not supported");
    return;
  }
  TCustomHttpTunnelWSocket::Connect();
}

// ---------------------------------------------------------------------------------------------
// Line mode.

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value) {
    ReportFailure("Line mode is not supported");
    return;
  }
  FLineMode = false;
}

std::int32_t TCustomLineWSocket::RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags) {
  return TCustomSocksWSocket::RecvRaw(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t ErrCode) {
  return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  TCustomSocksWSocket::TriggerSessionClosed(ErrCode);
}

void TCustomLineWSocket::AbortSocket(int ErrCode) {
  TCustomSocksWSocket::AbortSocket(ErrCode);
}

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

// ---------------------------------------------------------------------------------------------
// Time-outs and bandwidth: pass-through until their timers exist.

TCustomTimeoutWSocket::TCustomTimeoutWSocket(TComponent* AOwner) : TCustomSyncWSocket(AOwner) {}

void TCustomTimeoutWSocket::SetTimeoutSampling(std::uint32_t Value) {
  FTimeoutSampling = (Value > 0 && Value < 1000) ? 1000 : Value;
}

void TCustomTimeoutWSocket::Connect() {
  TCustomSyncWSocket::Connect();
}

void TCustomTimeoutWSocket::TriggerSessionConnected(std::uint16_t ErrCode) {
  TCustomSyncWSocket::TriggerSessionConnected(ErrCode);
}

void TCustomTimeoutWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  TCustomSyncWSocket::TriggerSessionClosed(ErrCode);
}

TCustomThrottledWSocket::TCustomThrottledWSocket(TComponent* AOwner)
    : TCustomTimeoutWSocket(AOwner) {}

void TCustomThrottledWSocket::SetBandwidthSampling(std::uint32_t Value) {
  FBandwidthSampling = Value < 500 ? 500 : Value;
}

std::int32_t TCustomThrottledWSocket::Receive(void* Buffer, std::int32_t BufferSize) {
  return TCustomTimeoutWSocket::Receive(Buffer, BufferSize);
}

std::int32_t TCustomThrottledWSocket::SendRaw(const void* Data, std::int32_t Len) {
  return TCustomTimeoutWSocket::SendRaw(Data, Len);
}

void TCustomThrottledWSocket::TriggerSessionConnected(std::uint16_t ErrCode) {
  TCustomTimeoutWSocket::TriggerSessionConnected(ErrCode);
}

void TCustomThrottledWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  TCustomTimeoutWSocket::TriggerSessionClosed(ErrCode);
}
