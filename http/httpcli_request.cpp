// THttpCli: composing the request header and sending it, with the body of a POST or PUT.
#include "http/httpcli.h"

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// Request composition

String THttpCli::RequestTarget() const {
  if (FProxy.empty() || FPath.empty() || FPath[0] != u'/') return FPath;
  String target = FProtocol.empty() ? String(u"http") : FProtocol;
  target += u"://" + FTargetHost;
  if (!FTargetPort.empty() && FTargetPort != u"80") target += u":" + FTargetPort;
  return target + FPath;
}

void THttpCli::SendRequest(const String& Method, const String& Version) {
  FReqStream.clear();
  TriggerRequestHeaderBegin();
  const bool with_body = FRequestType == httpPOST || FRequestType == httpPUT;
  THttpRequestHeader h;
  h.Method = Method;
  h.Target = RequestTarget();
  h.Version = Version;
  h.Sender = FSender;
  h.Accept = FAccept;
  h.Reference = FReference;
  h.Connection = FCurrConnection;
  h.AcceptLanguage = FAcceptLanguage;
  h.AcceptEncoding = FContentCodingHnd->HeaderText();
  h.ContentType = FContentTypePost;
  h.Agent = FAgent;
  h.TargetHost = FTargetHost;
  h.TargetPort = FTargetPort;
  h.NoCache = FNoCache;
  h.ProxyConnection = FCurrProxyConnection;
  if (with_body && FSendStream)
    h.ContentLength = std::max<std::int64_t>(0, FSendStream->Size() - FSendStream->Position());
  h.ModifiedSince = FModifiedSince;
  h.Authorization = AuthorizationLine(false);
  h.ProxyAuthorization = AuthorizationLine(true);
  h.Cookie = FCookie;
  h.RangeBegin = FContentRangeBegin;
  h.RangeEnd = FContentRangeEnd;
  std::vector<String> lines = BuildRequestLines(h);
  if (Method != u"CONNECT") {
    FContentRangeBegin.clear();
    FContentRangeEnd.clear();
  }
  FAcceptRanges.clear();

  TriggerBeforeHeaderSend(Method, lines);
  for (const String& line : lines) {
    String s = line;
    TriggerCommand(s);
    AppendRequestLine(FReqStream, s);
  }
  TriggerRequestHeaderEnd();
  String last;
  TriggerCommand(last);
  AppendRequestLine(FReqStream, last);

  FCtrlSocket->PutDataInSendBuffer(FReqStream.data(), static_cast<std::int32_t>(FReqStream.size()));
  FReqStream.clear();
  FCtrlSocket->Send(nullptr, 0);

  if (with_body && FState == httpWaitingHeader) {
    TriggerSendBegin();
    FAllowedToSend = true;
    SendBodyBlock();
  }
}

void THttpCli::SendBodyBlock() {
  if (!FAllowedToSend) return;
  if (FSendBuffer.empty()) FSendBuffer.resize(8192);
  std::int32_t n = FSendStream ? FSendStream->Read(FSendBuffer.data(), 8192) : 0;
  if (n <= 0) {
    FAllowedToSend = false;
    TriggerSendEnd();
    if (FDelaySetReady) {
      FDelaySetReady = false;
      PostSetReady();
    }
    return;
  }
  FSentCount += n;
  TriggerSendData(FSendBuffer.data(), n);
  FCtrlSocket->Send(FSendBuffer.data(), n);
}

void THttpCli::SocketDataSent(std::uint16_t) {
  if (FAllowedToSend) SendBodyBlock();
}
