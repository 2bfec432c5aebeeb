// THttpCli: composing the request header and sending it, with the body of a POST or PUT.
#include "http/httpcli.h"

#include <algorithm>

#include "http/header.h"

// ---------------------------------------------------------------------------------------------
// Request composition

String THttpCli::TunnelTarget() const {
  if (FProxy.empty() || FProtocol != u"https") return String();
  return FTargetHost + u":" + FTargetPort;
}

bool THttpCli::ViaSocks() const {
  return FProxy.empty() && !FSocksServer.empty();
}

String THttpCli::RequestTarget() const {
  const String path = EncodeRequestTarget(FPath);
  // Through a tunnel the request goes to the target itself: its path only.
  if (FProxy.empty() || !TunnelTarget().empty() || path.empty() || path[0] != u'/') return path;
  String target = FProtocol.empty() ? String(u"http") : FProtocol;
  target += u"://" + UrlHost(FTargetHost);
  if (!FTargetPort.empty() && FTargetPort != u"80") target += u":" + FTargetPort;
  return target + path;
}

String THttpCli::UnsafeRequestText() const {
  // The request target is percent-encoded when it is sent; hosts and ports cannot be.
  if (!IsSafeHost(FTargetHost) || !IsSafePort(FTargetPort))
    return u"Request refused: invalid character in the URL's host or port";
  if (!FProxy.empty() && (!IsSafeHost(FProxy) || !IsSafePort(FProxyPort)))
    return u"Request refused: invalid character in the proxy's host or port";
  if (ViaSocks() && (!IsSafeHost(FSocksServer) || !IsSafePort(FSocksPort)))
    return u"Request refused: invalid character in the SOCKS server's host or port";
  const struct {
    const char16_t* name;
    const String& value;
  } settings[] = {{u"Sender", FSender},
                  {u"Accept", FAccept},
                  {u"Reference", FReference},
                  {u"Connection", FConnection},
                  {u"AcceptLanguage", FAcceptLanguage},
                  {u"Agent", FAgent},
                  {u"ContentTypePost", FContentTypePost},
                  {u"ProxyConnection", FProxyConnection},
                  {u"Cookie", FCookie},
                  {u"ContentRangeBegin", FContentRangeBegin},
                  {u"ContentRangeEnd", FContentRangeEnd},
                  {u"IfRange", FIfRange}};
  for (const auto& s : settings)
    if (HasControlCharacter(s.value))
      return String(u"Request refused: control character in the ") + s.name + u" setting";
  return String();
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
  // Inside a tunnel the proxy is out of the conversation.
  const bool tunnel = !TunnelTarget().empty();
  h.ProxyConnection = tunnel ? String() : FCurrProxyConnection;
  // The first NTLM message of a POST or PUT goes without its body: the server answers it with
  // its challenge, and the body follows with the third message.
  const bool ntlm_first = FAuthNTLMState == ntlmMsg1 || FProxyAuthNTLMState == ntlmMsg1;
  if (with_body && ntlm_first)
    h.ContentLength = 0;
  else if (with_body && FSendStream)
    h.ContentLength = std::max<std::int64_t>(0, FSendStream->Size() - FSendStream->Position());
  h.ModifiedSince = FModifiedSince;
  h.Authorization = AuthorizationLine(false, Method);
  h.ProxyAuthorization = tunnel ? String() : AuthorizationLine(true, Method);
  h.Cookie = FCookie;
  h.RangeBegin = FContentRangeBegin;
  h.RangeEnd = FContentRangeEnd;
  h.IfRange = FIfRange;
  std::vector<String> lines = BuildRequestLines(h);
  if (Method != u"CONNECT") {
    FContentRangeBegin.clear();
    FContentRangeEnd.clear();
    FIfRange.clear();
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

  if (with_body && !ntlm_first && FState == httpWaitingHeader) {
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

void THttpCli::SetResumeFrom(std::int64_t Begin, const String& Validator) {
  FContentRangeBegin = Begin > 0 ? text::IntToStr(Begin) : String();
  FContentRangeEnd.clear();
  FIfRange = Begin > 0 ? Validator : String();
}

namespace {

// The values of the received header's fields called Name: all of them, or the first only.
String FindAnswerFields(const std::vector<String>& header, const String& Name, bool all) {
  const String wanted = text::LowerAscii(std::u16string_view(Name));
  String joined;
  bool found = false;
  // The first line is the status line; every other one is "name: value".
  for (std::size_t i = 1; i < header.size(); ++i) {
    const String& line = header[i];
    const auto colon = line.find(u':');
    if (colon == String::npos) continue;
    if (text::LowerAscii(std::u16string_view(line).substr(0, colon)) != wanted) continue;
    const String value = TrimBlanks(line.substr(colon + 1));
    if (!all) return value;
    if (found) joined += u", ";
    joined += value;
    found = true;
  }
  return joined;
}

}  // namespace

String THttpCli::AnswerField(const String& Name) const {
  return FindAnswerFields(FRcvdHeader, Name, false);
}

String THttpCli::AnswerFieldLines(const String& Name) const {
  return FindAnswerFields(FRcvdHeader, Name, true);
}
