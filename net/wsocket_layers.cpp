// The line, timeout and bandwidth layers (the proxy layers are in wsocket_proxy.cpp, TLS in
// wsocket_tls.cpp). Each one is inactive while its settings are off and then passes every call
// to its base. The line layer refuses to be switched on; the timeout and bandwidth layers
// create their timers only when a limit is set.
#include <cstdint>
#include <string>

#include "net/wsocket.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "platform/tick.h"

// ---------------------------------------------------------------------------------------------
// Line mode.

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSslWSocket(AOwner) {}

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value) {
    ReportFailure("Line mode is not supported");
    return;
  }
  FLineMode = false;
}

std::int32_t TCustomLineWSocket::RecvRaw(void* Buffer, std::int32_t BufferSize, int Flags) {
  return TCustomSslWSocket::RecvRaw(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t ErrCode) {
  return TCustomSslWSocket::TriggerDataAvailable(ErrCode);
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  TCustomSslWSocket::TriggerSessionClosed(ErrCode);
}

void TCustomLineWSocket::AbortSocket(int ErrCode) {
  TCustomSslWSocket::AbortSocket(ErrCode);
}

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

// ---------------------------------------------------------------------------------------------
// Time-outs: a thread timer samples the connect start and the last activity. Nothing exists and
// every call passes through while TimeoutConnect and TimeoutIdle are both 0.

TCustomTimeoutWSocket::TCustomTimeoutWSocket(TComponent* AOwner) : TCustomSyncWSocket(AOwner) {}

TCustomTimeoutWSocket::~TCustomTimeoutWSocket() {
  // The base's destruction closes the socket and may pump messages on the way (a refused
  // close); a tick handled then would run TimeoutTick on a destroyed layer.
  delete FTimeoutTimer;
  FTimeoutTimer = nullptr;
}

void TCustomTimeoutWSocket::ResetToDefaults() {
  TCustomSyncWSocket::ResetToDefaults();
  TimeoutStopSampling();
}

void TCustomTimeoutWSocket::LeavingThread() {
  TCustomSyncWSocket::LeavingThread();
  FTimeoutOldTimerEnabled = FTimeoutTimer != nullptr && FTimeoutTimer->Enabled();
  TimeoutStopSampling();
}

void TCustomTimeoutWSocket::JoinedThread() {
  TCustomSyncWSocket::JoinedThread();
  if (FTimeoutOldTimerEnabled && FTimeoutTimer != nullptr) FTimeoutTimer->SetEnabled(true);
  FTimeoutOldTimerEnabled = false;
}

void TCustomTimeoutWSocket::SetTimeoutSampling(std::uint32_t Value) {
  FTimeoutSampling = (Value > 0 && Value < 1000) ? 1000 : Value;
}

void TCustomTimeoutWSocket::TimeoutStartSampling() {
  if (FTimeoutTimer == nullptr) {
    FTimeoutTimer = new TNetThreadTimer(this);
    FTimeoutTimer->SetKeepThreadAlive(FTimeoutKeepThreadAlive);
    FTimeoutTimer->SetOnTimer([this](TObject* Sender) { TimeoutTick(Sender); });
  }
  if (FCounter)
    FCounter->LastSendTick = NetTimerTickCount();
  else
    CreateCounter();
  if (FTimeoutTimer->Interval() != FTimeoutSampling) FTimeoutTimer->SetInterval(FTimeoutSampling);
  FTimeoutTimer->SetEnabled(true);
}

void TCustomTimeoutWSocket::TimeoutStopSampling() {
  if (FTimeoutTimer != nullptr) FTimeoutTimer->SetEnabled(false);
}

void TCustomTimeoutWSocket::Connect() {
  if (FTimeoutConnect != 0) {
    TimeoutStartSampling();
    FTimeoutConnectStartTick = NetTimerTickCount();
  } else if (FTimeoutIdle != 0) {
    TimeoutStartSampling();
  }
  TCustomSyncWSocket::Connect();
  // A connect refused before any socket existed (a setting missing, a name not found) leaves
  // nothing to watch.
  if (FHSocket == plat::sock::kInvalidSocket && FState == wsClosed) TimeoutStopSampling();
}

void TCustomTimeoutWSocket::TriggerSessionConnected(std::uint16_t ErrCode) {
  if (ErrCode != 0 || FTimeoutIdle == 0)
    TimeoutStopSampling();
  else
    TimeoutStartSampling();
  TCustomSyncWSocket::TriggerSessionConnected(ErrCode);
}

void TCustomTimeoutWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  TimeoutStopSampling();
  TCustomSyncWSocket::TriggerSessionClosed(ErrCode);
}

void TCustomTimeoutWSocket::TimeoutTick(TObject*) {
  std::uint32_t now = NetTimerTickCount();
  if (FTimeoutConnect != 0 && FState != wsConnected) {
    if (plat::TicksBetween(FTimeoutConnectStartTick, now) > FTimeoutConnect) {
      TimeoutStopSampling();
      TriggerTimeout(torConnect);
    }
  } else if (FTimeoutIdle != 0) {
    // No counter (destroyed by the user) counts as no activity since the sampling started.
    std::uint32_t last = FCounter ? FCounter->LastAliveTick() : FTimeoutConnectStartTick;
    if (plat::TicksBetween(last, now) > FTimeoutIdle) {
      TimeoutStopSampling();
      TriggerTimeout(torIdle);
    }
  } else {
    TimeoutStopSampling();
  }
}

void TCustomTimeoutWSocket::TriggerTimeout(TTimeoutReason Reason) {
  if (FOnTimeout) FOnTimeout(this, Reason);
}

// ---------------------------------------------------------------------------------------------
// Bandwidth: bytes sent plus received are counted per sampling period; once the allowance is
// passed the socket's notifications pause until the next tick. Off while BandwidthLimit is 0.

TCustomThrottledWSocket::TCustomThrottledWSocket(TComponent* AOwner)
    : TCustomTimeoutWSocket(AOwner) {}

TCustomThrottledWSocket::~TCustomThrottledWSocket() {
  delete FBandwidthTimer;
  FBandwidthTimer = nullptr;
}

void TCustomThrottledWSocket::ResetToDefaults() {
  TCustomTimeoutWSocket::ResetToDefaults();
  if (FBandwidthTimer != nullptr) FBandwidthTimer->SetEnabled(false);
  FBandwidthEnabled = false;
  FBandwidthPaused = false;
}

void TCustomThrottledWSocket::LeavingThread() {
  TCustomTimeoutWSocket::LeavingThread();
  FBandwidthOldTimerEnabled = FBandwidthTimer != nullptr && FBandwidthTimer->Enabled();
  if (FBandwidthTimer != nullptr) FBandwidthTimer->SetEnabled(false);
}

void TCustomThrottledWSocket::JoinedThread() {
  TCustomTimeoutWSocket::JoinedThread();
  if (FBandwidthOldTimerEnabled && FBandwidthTimer != nullptr) FBandwidthTimer->SetEnabled(true);
  FBandwidthOldTimerEnabled = false;
}

void TCustomThrottledWSocket::SetBandwidthLimit(std::uint32_t Value) {
  if (Value == FBandwidthLimit) return;
  FBandwidthLimit = Value;
  if (FBandwidthTimer != nullptr) StartBandwidthControl();
}

void TCustomThrottledWSocket::SetBandwidthSampling(std::uint32_t Value) {
  if (Value < 500) Value = 500;
  if (Value == FBandwidthSampling) return;
  FBandwidthSampling = Value;
  if (FBandwidthTimer != nullptr) StartBandwidthControl();
}

void TCustomThrottledWSocket::StartBandwidthControl() {
  FBandwidthCount = 0;
  if (FBandwidthLimit != 0) {
    if (FBandwidthTimer == nullptr) {
      FBandwidthTimer = new TNetThreadTimer(this);
      FBandwidthTimer->SetKeepThreadAlive(FBandwidthKeepThreadAlive);
      FBandwidthTimer->SetOnTimer([this](TObject* Sender) { BandwidthTick(Sender); });
    }
    FBandwidthTimer->SetInterval(FBandwidthSampling);
    FBandwidthTimer->SetEnabled(true);
    std::uint64_t max = std::uint64_t{FBandwidthLimit} * FBandwidthSampling / 1000;
    FBandwidthMaxCount = max > 2147483647u ? 2147483647u : static_cast<std::uint32_t>(max);
    // A socket paused for the old allowance gets its notifications back under the new one.
    if (FBandwidthPaused && FPaused) Resume();
    FBandwidthPaused = false;
    FComponentOptions.Include(wsoNoReceiveLoop);
    FBandwidthEnabled = true;
  } else if (FBandwidthTimer != nullptr) {
    FBandwidthTimer->SetEnabled(false);
    if (FBandwidthPaused) {
      // Switching the limit off must not leave the socket deaf.
      FBandwidthPaused = false;
      if (FPaused) Resume();
    }
    FBandwidthEnabled = false;
  }
}

std::int32_t TCustomThrottledWSocket::BandwidthCut(std::int32_t Len) const {
  if (Len > 0 && FBandwidthCount < FBandwidthMaxCount &&
      std::uint64_t{FBandwidthCount} + static_cast<std::uint32_t>(Len) > FBandwidthMaxCount)
    return static_cast<std::int32_t>(FBandwidthMaxCount - FBandwidthCount + 1);
  return Len;
}

void TCustomThrottledWSocket::BandwidthAddCount(std::int32_t n) {
  if (n <= 0) return;
  std::uint64_t c = std::uint64_t{FBandwidthCount} + static_cast<std::uint32_t>(n);
  FBandwidthCount = c > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(c);
  if (FBandwidthCount > FBandwidthMaxCount && !FBandwidthPaused) {
    FBandwidthPaused = true;
    Pause();
  }
}

std::int32_t TCustomThrottledWSocket::SendRaw(const void* Data, std::int32_t Len) {
  if (!FBandwidthEnabled) return TCustomTimeoutWSocket::SendRaw(Data, Len);
  // The send loop offers the next block at once after a short send; while the allowance is
  // spent nothing more goes out, or the pause would hold back only the notifications. The
  // tick that resumes restarts the sending.
  if (FBandwidthPaused) return 0;
  std::int32_t n = TCustomTimeoutWSocket::SendRaw(Data, BandwidthCut(Len));
  BandwidthAddCount(n);
  return n;
}

std::int32_t TCustomThrottledWSocket::Receive(void* Buffer, std::int32_t BufferSize) {
  if (!FBandwidthEnabled || !FComponentOptions.Contains(wsoNoReceiveLoop))
    return TCustomTimeoutWSocket::Receive(Buffer, BufferSize);
  std::int32_t n = TCustomTimeoutWSocket::Receive(Buffer, BandwidthCut(BufferSize));
  BandwidthAddCount(n);
  return n;
}

void TCustomThrottledWSocket::BandwidthTick(TObject*) {
  if (FBandwidthPaused) {
    FBandwidthPaused = false;
    std::uint32_t over = FBandwidthCount - FBandwidthMaxCount;
    FBandwidthCount = over < FBandwidthMaxCount ? over : FBandwidthMaxCount;
    if (FHSocket != plat::sock::kInvalidSocket) {
      Resume();
      // Data held back while paused leaves through the ordinary write notice.
      if (!bAllSent)
        plat::PostMessage(Handle(), FMsg_WM_ASYNCSELECT, static_cast<plat::WParam>(FHSocket),
                          plat::sock::MakeSelectReply(plat::sock::kFdWrite, 0));
    }
  } else {
    FBandwidthCount = 0;
  }
}

void TCustomThrottledWSocket::TriggerSessionConnected(std::uint16_t ErrCode) {
  if (ErrCode == 0) StartBandwidthControl();
  TCustomTimeoutWSocket::TriggerSessionConnected(ErrCode);
  if (ErrCode != 0 && FBandwidthTimer != nullptr) {
    FBandwidthTimer->SetEnabled(false);
    FBandwidthEnabled = false;
  }
}

void TCustomThrottledWSocket::TriggerSessionClosed(std::uint16_t ErrCode) {
  if (FBandwidthTimer != nullptr) {
    FBandwidthTimer->SetEnabled(false);
    FBandwidthEnabled = false;
  }
  // A session closed while paused leaves nothing paused for the next one.
  FBandwidthPaused = false;
  TCustomTimeoutWSocket::TriggerSessionClosed(ErrCode);
}
