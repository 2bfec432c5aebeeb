// TCustomWSocket: ending a session (close, abort, shutdown), pause and resume.
#include "net/wsocket.h"

#include "events/application.h"
#include "net/wsocket_internal.h"

using namespace wsocket_detail;

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
