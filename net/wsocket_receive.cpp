// TCustomWSocket: the select notices and receiving.
#include "net/wsocket.h"

#include "events/timers.h"
#include "net/wsocket_internal.h"
#include "platform/tick.h"

using namespace wsocket_detail;

namespace {

// Marks the readable notice a bounded receive loop posts to itself. Not one of the system's
// select events (they end at 512), so the system's own readable notices stay apart from it.
constexpr int kFdReadResume = 0x4000;

}  // namespace

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
  if ((ev & (ws::kFdRead | kFdReadResume)) && same() && !DeferReadForInput(err)) {
    if (ev & ws::kFdRead) HandleReadNotice(err);
    if ((ev & kFdReadResume) && same()) HandleReadResumeNotice(err);
  }
  if ((ev & ws::kFdWrite) && same()) HandleWriteNotice(err);
  if ((ev & ws::kFdAccept) && same()) HandleAcceptNotice(err);
  if ((ev & ws::kFdClose) && same()) HandleCloseNotice(err);
  if ((ev & ws::kFdRoutingInterfaceChange) && same() && OnRoutingInterfaceChanged)
    OnRoutingInterfaceChanged(this);
  if ((ev & ws::kFdAddressListChange) && same() && OnAddressListChanged) OnAddressListChanged(this);
}

void TCustomWSocket::HandleConnectNotice(std::uint16_t ErrCode) {
  if (FState == wsConnected || FState == wsSocksConnected) return;
  TransportConnected(ErrCode);
  if (ErrCode != 0 && FState != wsClosed) Close();
}

void TCustomWSocket::TransportConnected(std::uint16_t ErrCode) {
  SetSocketState(wsConnected);
  TriggerSessionConnected(ErrCode);
}

void TCustomWSocket::HandleReadNotice(std::uint16_t ErrCode) {
  if (FState != wsConnected && FState != wsSocksConnected) TransportConnected(ErrCode);
  ReceiveLoop(ErrCode, FComponentOptions, true);
}

void TCustomWSocket::HandleReadResumeNotice(std::uint16_t ErrCode) {
  // The system's own readable notice may have read the rest meanwhile: an event with nothing
  // to read is not fired for a notice of our own.
  if (FState != wsConnected) return;
  std::uint32_t avail = 0;
  if (!ReceiveBuffered() && (ws::ioctlsocket(FHSocket, ws::kFionRead, &avail) != 0 || avail == 0))
    return;
  ReceiveLoop(ErrCode, FComponentOptions, true);
}

// Against a fast sender a readable notice always waits in the queue, and Windows hands the
// queue's posted messages out before the window's input and painting, in every loop of the
// thread, the system's modal ones (a message box) included: the window would freeze. While
// input or painting waits, a readable notice therefore reads nothing and leaves the rest to a
// tick of a window timer, which the queue hands out only after them. Reading nothing, the
// socket gets no new readable notice from the system meanwhile; a close notice still reads
// everything first.
bool TCustomWSocket::DeferReadForInput(std::uint16_t ErrCode) {
  if (FState != wsConnected) return false;
  if (FReadDeferred) return true;
  if (!plat::WindowInputWaiting()) return false;
  if (FReadDeferTimer == nullptr) {
    FReadDeferTimer = new TNetTimer(this);
    FReadDeferTimer->SetInterval(1);
    FReadDeferTimer->SetOnTimer([this](TObject*) { ReadDeferTick(); });
  }
  FReadDeferred = true;
  FReadDeferredError = ErrCode;
  FReadDeferTimer->SetEnabled(true);
  return true;
}

void TCustomWSocket::ReadDeferTick() {
  FReadDeferTimer->SetEnabled(false);
  if (!FReadDeferred) return;
  FReadDeferred = false;
  if (FHSocket == ws::kInvalidSocket || FPaused) return;
  HandleReadResumeNotice(FReadDeferredError);
}

void TCustomWSocket::HandleAcceptNotice(std::uint16_t ErrCode) {
  TriggerSessionAvailable(ErrCode);
}

void TCustomWSocket::ReceiveLoop(std::uint16_t ErrCode, TWSocketOptions Options, bool Bounded) {
  const std::uint32_t started = NetTimerTickCount();
  const std::int64_t read_before = FReadCount;
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
      if (avail == 0 && !ReceiveBuffered()) break;
      // Against a fast sender the socket is never empty: past its share, the notice hands the
      // thread back and comes again behind what was queued meanwhile (the window's input and
      // painting among it).
      if (Bounded && (static_cast<std::uint64_t>(FReadCount - read_before) >= FReceiveTurnBytes ||
                      plat::TicksBetween(started, NetTimerTickCount()) >= FReceiveTurnMs)) {
        plat::PostMessage(Handle(), FMsg_WM_ASYNCSELECT, static_cast<plat::WParam>(FHSocket),
                          ws::MakeSelectReply(kFdReadResume, ErrCode));
        break;
      }
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
  // The last bytes are read now, whatever their amount: the close must come after them.
  if (FState != wsListening) ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop), false);
  if (FHSocket != ws::kInvalidSocket && !FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(ErrCode);
  }
  if (FState != wsClosed) Close();
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
