// TCustomWSocket: the send buffer and sending.
#include "net/wsocket.h"

#include "events/application.h"
#include "net/wsocket_internal.h"
#include "platform/tick.h"

using namespace wsocket_detail;

namespace {

bool IsConnectionLost(int e) {
  return e == WSAECONNRESET || e == WSAENOTSOCK || e == WSAENOTCONN || e == WSAEINVAL ||
         e == WSAECONNABORTED;
}

}  // namespace

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
