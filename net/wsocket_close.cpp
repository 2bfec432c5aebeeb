// TCustomWSocket: ending a session (close, abort, shutdown), pause and resume.
#include "net/wsocket.h"

#include "events/application.h"
#include "net/wsocket_internal.h"
#include "platform/messages.h"
#include "platform/tick.h"

using namespace wsocket_detail;

namespace {

// The longest wait for input between two attempts of a refused close.
constexpr std::uint32_t kCloseRetryWaitMs = 50;

}  // namespace

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
    ++FHandleCloses;
    return;
  }
  if (Graceful) Shutdown(ws::kSdSend);
  // With a linger time-out the system refuses to close a non-blocking socket while it still
  // sends (would block). It is asked again after a wait for input and a pump, and abortively
  // once the linger time (at least a second) has passed. A handler that runs in the pump may
  // release this socket itself (and even start another session): then the close is done.
  const ws::TSocket handle = FHSocket;
  const std::uint32_t closes = FHandleCloses;
  const std::uint32_t started = plat::GetTickCount();
  const std::uint32_t limit_ms =
      1000u * static_cast<std::uint32_t>(FLingerTimeout > 1 ? FLingerTimeout : 1);
  bool abortive = false;
  for (;;) {
    ws::WSAAsyncSelect(handle, FHandle, 0, 0);
    if (ws::closesocket(handle) == 0) break;
    int e = ws::WSAGetLastError();
    if (e == WSAEWOULDBLOCK && !abortive) {
      if (plat::TicksBetween(started, plat::GetTickCount()) >= limit_ms) {
        ws::TLinger hard{1, 0};
        ws::setsockopt(handle, ws::kSolSocket, ws::kSoLinger, reinterpret_cast<char*>(&hard),
                       sizeof hard);
        abortive = true;
        continue;
      }
      ws::WSAAsyncSelect(handle, FHandle, FMsg_WM_ASYNCSELECT, FSelectEvent);
      plat::WaitForInput(kCloseRetryWaitMs);
      MessagePump();
      if (FHSocket != handle || FHandleCloses != closes) return;
      continue;
    }
    if (e == WSANOTINITIALISED) break;
    FHSocket = ws::kInvalidSocket;
    ++FHandleCloses;
    ReportSocketError("Disconnect (closesocket)", e);
    return;
  }
  DropStaleNotices();
  FHSocket = ws::kInvalidSocket;
  ++FHandleCloses;
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
  plat::WindowHandle window = Handle();  // binds first when unbound: the id exists only then
  plat::PostMessage(window, FMsg_WM_CLOSE_DELAYED, 0, 0);
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
