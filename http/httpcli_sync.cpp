// THttpCli: the synchronous calls, which wait in TSyncWait until the request has ended.
#include "http/httpcli.h"

#include <algorithm>
#include <limits>

#include "events/syncwait.h"
#include "platform/tick.h"

// ---------------------------------------------------------------------------------------------
// Synchronous calls

void THttpCli::Get() {
  FLocationChangeCurCount = 0;
  RunRequestSync(httpGET);
}
void THttpCli::Head() {
  FLocationChangeCurCount = 0;
  RunRequestSync(httpHEAD);
}
void THttpCli::Post() {
  FLocationChangeCurCount = 0;
  RunRequestSync(httpPOST);
}
void THttpCli::Put() {
  FLocationChangeCurCount = 0;
  RunRequestSync(httpPUT);
}
void THttpCli::Del() {
  FLocationChangeCurCount = 0;
  RunRequestSync(httpDELETE);
}
void THttpCli::Close() {
  RunRequestSync(httpCLOSE);
}

void THttpCli::RunRequestSync(THttpRequest Rq) {
  StartRequest(Rq);
  if (FCtrlSocket->Counter() == nullptr) FCtrlSocket->CreateCounter();
  FCtrlSocket->Counter()->LastSendTick = plat::GetTickCount();
  const std::uint64_t limit = static_cast<std::uint64_t>(FTimeout) * 1000u;

  TSyncWait wait;
  // During an authentication retry the client passes through httpReady with the next login
  // queued: that is not the end yet.
  wait.Done = [this] { return FState == httpReady && !FWMLoginQueued; };
  wait.TimedOut = [this, limit] {
    TWSocketCounter* counter = FCtrlSocket->Counter();
    if (counter == nullptr) return limit == 0;
    // The silence since the latest activity is the smallest of the intervals since each
    // recorded tick. Taking the largest tick instead would pick a tick from just before the
    // counter's wrap-around over one just after it and end a live download.
    const std::uint32_t now = plat::GetTickCount();
    std::uint64_t idle = std::numeric_limits<std::uint64_t>::max();
    for (std::uint32_t tick : {counter->ConnectTick, counter->LastRecvTick, counter->LastSendTick})
      if (tick != 0) idle = std::min<std::uint64_t>(idle, plat::TicksBetween(tick, now));
    if (idle == std::numeric_limits<std::uint64_t>::max())
      idle = plat::TicksBetween(counter->LastAliveTick(), now);
    return idle >= limit;
  };
  switch (wait.Run(*this)) {
    case TSyncWaitResult::swTerminated:
      EndRequestFromWait(false);
      break;
    case TSyncWaitResult::swTimedOut:
      EndRequestFromWait(true);
      break;
    case TSyncWaitResult::swDone:
      break;
  }

  if (FRequestDoneError != 0)
    throw EHttpException(text::ToUtf8(FReasonPhrase),
                         static_cast<std::uint16_t>(FRequestDoneError & 0xFFFF));
  if (FStatusCode >= 400 && FStatusCode != 401 && FStatusCode != 407)
    throw EHttpException(text::ToUtf8(FReasonPhrase), static_cast<std::uint16_t>(FStatusCode));
}

void THttpCli::EndRequestFromWait(bool TimedOut) {
  AbortRequest(TimedOut ? reqErrTimeout : reqErrAborted,
               TimedOut ? u"Request aborted on timeout" : u"Request aborted");
}
