// THttpCli: relocation, following a Location field within the same request.
#include "http/httpcli.h"

#include "http/httpcli_internal.h"
#include "http/url.h"

using httpcli_detail::DefaultPort;
using httpcli_detail::StartsWithNoCase;

// ---------------------------------------------------------------------------------------------
// Relocation

void THttpCli::AcceptLocation(const String& Value) {
  String value = Value;
  if (value.size() >= 2 && value[0] == u'/' && value[1] == u'/') value = FProtocol + u":" + value;
  if (FRequestType == httpPUT) {
    FLocation = value;
    return;
  }
  if (!FFollowRelocation) return;
  // The fragment is never sent; the new target's path is percent-encoded when it is.
  if (auto hash = value.find(u'#'); hash != String::npos) value.erase(hash);
  FLocationFlag = true;

  // Through a proxy the connection stays with the proxy; only the target changes.
  String& host_field = FProxy.empty() ? FHostName : FTargetHost;
  if (!value.empty() && value[0] == u'/') {
    FPath = value;
    FLocation = FProtocol + u"://" + UrlHost(host_field) + FPath;
  } else if (!StartsWithNoCase(value, u"http://") && !StartsWithNoCase(value, u"https://")) {
    FPath = UrlDirectory(FPath) + value;
    FLocation = FProtocol + u"://" + UrlHost(host_field) + FPath;
  } else {
    String proto, user, pass, host, port, path = FPath;
    SplitUrl(value, proto, user, pass, host, port, path);
    if (!IsSafeHost(host) || !IsSafePort(port)) {
      // A host or port cannot be percent-encoded: the relocation is refused.
      FailRequest(reqErrUnsafeRequest,
                  u"Relocation refused: invalid character in the Location's host or port");
      return;
    }
    // A download that began over TLS never continues in plain text.
    if (FSecureChain && proto != u"https") {
      FailRequest(reqErrInsecureRelocation,
                  u"Relocation refused: " + proto + u" after https would drop the encryption");
      return;
    }
    if (!host.empty()) {
      // Credentials of one origin never go to another.
      const String new_port = port.empty() ? DefaultPort(proto) : port;
      if (proto != FProtocol || new_port != FTargetPort ||
          text::LowerAscii(std::u16string_view(host)) !=
              text::LowerAscii(std::u16string_view(FTargetHost)))
        ForgetServerCredentials();
      if (FProxy.empty()) {
        FHostName = host;
        FPort = port.empty() ? DefaultPort(proto) : port;
      }
      FPath = path;
      FProtocol = proto;
      if (FProtocol == u"https") FSecureChain = true;
      if (!user.empty() && !pass.empty()) {
        FCurrUsername = user;
        FCurrPassword = pass;
      }
      FTargetHost = host;
      FTargetPort = port.empty() ? DefaultPort(proto) : port;
      const bool empty_path = FPath.empty();
      if (empty_path) FPath = u"/";
      FLocation = proto + u"://" + UrlHost(host);
      if (!port.empty()) FLocation += u":" + port;
      if (!empty_path) FLocation += FPath;
    } else {
      if (FProxy.empty()) FHostName = FTargetHost;
      if (path.empty()) {
        FLocation = proto + u"://" + UrlHost(FTargetHost) + u"/";
        FPath = FLocation;
      } else {
        FPath = path;
        FLocation = proto + u"://" + UrlHost(FTargetHost) + FPath;
      }
    }
  }
}

bool THttpCli::CountRelocation() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount > FLocationChangeMaxCount) {
    bool allow = false;
    TriggerLocationChangeExceeded(FLocationChangeCurCount, allow);
    if (!allow) {
      // The request ends with this answer; its Location must not act on a later request that
      // uses the same connection.
      FLocationFlag = false;
      PostSetReady();
      return false;
    }
  }
  return true;
}

void THttpCli::TruncateStreams() {
  if (FRcvdStream && FRcvdStream->Size() != FRcvdStreamStartSize)
    FRcvdStream->SetSize(FRcvdStreamStartSize);
  if (FSendStream && FSentCount > 0) FSendStream->Seek(-FSentCount, TSeekOrigin::soCurrent);
}

void THttpCli::ClearHeaderState() {
  FRcvdHeader.clear();
  FHeaderLineCount = 0;
  FHeaderBytes = 0;
  FHeaderEndFlag = false;
  FBodyLineCount = 0;
  FBodyExpected = false;
  FNext = TReceiver::None;
  FContentLength = -1;
  FContentLengthFields.clear();
  FTransferEncodingFields.clear();
  FLastFramingField = TFramingField::None;
  FContentLengthBad = false;
  FChunked = false;
  // The chunk decoder starts each answer afresh: a body cut before its first byte must not
  // find the last chunk of the answer before it.
  FChunk.Reset();
  FContentType.clear();
  FTransferEncoding.clear();
  FResponseVer.clear();
  FContentEncoding.clear();
}

void THttpCli::StartRelocation() {
  FRcvdCount = 0;
  FReceiveBuffer.Clear();
  FHeaderLineCount = 0;
  FBodyLineCount = 0;
  if (FHostName != FCurrentHost || FPort != FCurrentPort || FProtocol != FCurrentProtocol ||
      TunnelTarget() != FCurrentTunnelTarget || FCloseReq) {
    FCloseForRelocation = true;
    if (FCtrlSocket->State() == wsClosed)
      SocketSessionClosed(0);
    else
      FCtrlSocket->CloseDelayed();
    return;
  }
  if (!CountRelocation()) return;
  TriggerLocationChange();
  if (!Running()) return;
  ResetResponseState(true, false);
  FDocName = FPath;
  DocNameFromPath(FDocName);
  if (FRequestType == httpPOST) FRequestType = httpGET;
  TruncateStreams();
  PostLogin();
}

void THttpCli::RelocateAfterClose() {
  String url = FLocation;
  auto hash = url.find(u'#');
  if (hash != String::npos) url.erase(hash);
  if (FProxyAuthNTLMState != ntlmNone) StartNtlm(true);
  if (FWMLoginQueued) {
    FConnected = false;
    FLocationFlag = false;
    FCloseForRelocation = false;
    ClearHeaderState();
    return;
  }
  String proto, user, pass, host, port, path = FPath;
  SplitUrl(url, proto, user, pass, host, port, path);
  FDocName = path;
  DocNameFromPath(FDocName);
  FConnected = false;
  FLocationFlag = false;
  if (FRequestType == httpPOST) FRequestType = httpGET;
  FCloseForRelocation = false;
  if (!CountRelocation()) return;
  TriggerLocationChange();
  if (!Running()) return;
  ClearHeaderState();
  // The next hop is judged on its own: a reset after a complete answer does not fail it.
  FRequestDoneError = 0;
  FRcvdCount = 0;
  if (!FProxy.empty()) FPort = FProxyPort;
  TruncateStreams();
  PostLogin();
}

void THttpCli::ForgetServerCredentials() {
  FCurrUsername.clear();
  FCurrPassword.clear();
  FAuthBasicState = basicNone;
  FAuthNTLMState = ntlmNone;
  FAuthDigestState = digestNone;
  FNtlm.reset();
  FNtlmValue.clear();
  FDigest = httpauth::TDigestClient();
  FDigestOrigin.clear();
}
