// THttpCli: receiving the body, by Content-Length, chunks or until the close.
#include "http/httpcli.h"

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// Receiving: the body

void THttpCli::BodyStep() {
  if (FRequestType == httpHEAD) {
    FReceiveBuffer.Clear();
    FCtrlSocket->Abort();
    return;
  }
  if (FNext != TReceiver::Body) return;
  const auto buffered = static_cast<std::int64_t>(FReceiveBuffer.Len());
  // A chunked body finds its own end; its framing bytes are not counted in ContentLength.
  if (FContentLength < 0 || FChunked)
    FBodyDataLen = buffered;
  else
    FBodyDataLen = std::min(buffered, FContentLength - FRcvdCount);
  GetBodyLineNext();
  if (!Running()) return;
  FReceiveBuffer.Consume(static_cast<std::size_t>(FBodyDataLen));
  FBodyDataLen = 0;
  if (FNext == TReceiver::Body) return;  // the document goes on
  // The document is complete. Bytes after it belong to no answer: they are dropped, the
  // download stays good, and the connection is not used again.
  if (!FReceiveBuffer.Empty()) {
    FReceiveBuffer.Clear();
    FCloseReq = true;
  }
  if (FLocationFlag) {
    StartRelocation();
    return;
  }
  if (FCloseReq) FCtrlSocket->CloseDelayed();
  SetReadyUnlessSending();
}

void THttpCli::WriteBody(const char* Data, std::int64_t Len) {
  try {
    FContentCodingHnd->WriteBuffer(Data, static_cast<std::int32_t>(Len));
  } catch (EStreamError& E) {
    // The download cannot be stored (a full disk): nothing more is taken.
    FailRequest(reqErrStreamWrite, text::FromUtf8(E.Message()));
  }
}

void THttpCli::GetBodyLineNext() {
  if (FBodyLineCount == 0) {
    FChunk.Reset();
    TriggerDocBegin();
    if (!Running()) return;
    FContentCodingHnd->Prepare(FContentEncoding);
    FRcvdStreamStartSize = FRcvdStream ? FRcvdStream->Size() : 0;
  }
  ++FBodyLineCount;
  const char* data = FReceiveBuffer.Data();
  if (!FChunked) {
    if (FBodyDataLen > 0) {
      FRcvdCount += FBodyDataLen;
      WriteBody(data, FBodyDataLen);
      if (!Running()) return;
    }
    if (FRcvdCount == FContentLength) DocumentEnd();
    return;
  }
  std::int64_t used = 0;
  auto result = FChunk.Feed(
      data, FBodyDataLen,
      [this](const char* d, std::int32_t n) {
        FRcvdCount += n;
        WriteBody(d, n);
        return Running();
      },
      used);
  if (!Running()) return;
  if (result == THttpChunkParser::TResult::BadSize) {
    FailRequest(reqErrBadChunkSize, u"Invalid chunk size");
    return;
  }
  if (result == THttpChunkParser::TResult::BadDataEnd) {
    FailRequest(reqErrBadChunkSize, u"Invalid chunk: data not followed by its line end");
    return;
  }
  // What follows the body (the trailer section's empty line included) stays in the buffer.
  FBodyDataLen = used;
  if (FChunk.Done()) DocumentEnd();
}

void THttpCli::DocumentEnd() {
  FBodyLineCount = 0;
  FNext = TReceiver::None;
  FBodyExpected = false;
  SetState(httpBodyReceived);
  FContentCodingHnd->Complete();
  TriggerDocEnd();
}

bool THttpCli::BodyIncomplete() const {
  if (!FBodyExpected) return false;
  // The last chunk completes the document; a trailer section cut by the close takes nothing.
  if (FChunked) return !FChunk.LastChunkSeen();
  // Over TLS only the peer's close-notify ends a body that has no length: a bare TCP close
  // may be anyone's, cutting the document short.
  if (FContentLength < 0) return FCtrlSocket->SslEstablished() && !FCtrlSocket->SslClosedInOrder();
  return FRcvdCount < FContentLength;
}
