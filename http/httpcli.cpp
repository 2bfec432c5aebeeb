// THttpCli: request life cycle, header and body reception, relocation, synchronous wait.
#include "http/httpcli.h"

#include <algorithm>
#include <limits>

#include "events/syncwait.h"
#include "http/header.h"
#include "http/url.h"
#include "platform/tick.h"

namespace {

const char16_t kDocIncomplete[] = u"Document incomplete (connection closed prematurely)";
const char16_t kNoStatus[] = u"HTTP no status code (connection closed prematurely)";
const char16_t kHeaderTooLarge[] = u"Response header too large";

bool StartsWithNoCase(const String& s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  return text::LowerAscii(std::u16string_view(s).substr(0, prefix.size())) ==
         text::LowerAscii(prefix);
}

String MethodName(THttpRequest Rq) {
  switch (Rq) {
    case httpGET:
      return u"GET";
    case httpPOST:
      return u"POST";
    case httpPUT:
      return u"PUT";
    case httpHEAD:
      return u"HEAD";
    case httpDELETE:
      return u"DELETE";
    default:
      return String();
  }
}

String Base64(const AnsiString& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  String out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    std::uint32_t v = static_cast<unsigned char>(in[i]) << 16 |
                      static_cast<unsigned char>(in[i + 1]) << 8 |
                      static_cast<unsigned char>(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6)
      out += static_cast<char16_t>(kAlphabet[(v >> k) & 63]);
  }
  if (i < in.size()) {
    std::uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += static_cast<char16_t>(kAlphabet[(v >> 18) & 63]);
    out += static_cast<char16_t>(kAlphabet[(v >> 12) & 63]);
    out += i + 1 < in.size() ? static_cast<char16_t>(kAlphabet[(v >> 6) & 63]) : u'=';
    out += u'=';
  }
  return out;
}

// The extension of a file name, dot included; empty when it has none.
String ExtractFileExt(const String& name) {
  auto dot = name.rfind(u'.');
  return dot == String::npos ? String() : name.substr(dot);
}

String ErrorText(int code) {
  return DescribeSocketError(code) + u" (Error #" + text::IntToStr(code) + u")";
}

}  // namespace

const char* HttpStateName(THttpState State) {
  switch (State) {
    case httpReady:
      return "httpReady";
    case httpNotConnected:
      return "httpNotConnected";
    case httpConnected:
      return "httpConnected";
    case httpDnsLookup:
      return "httpDnsLookup";
    case httpDnsLookupDone:
      return "httpDnsLookupDone";
    case httpWaitingHeader:
      return "httpWaitingHeader";
    case httpWaitingBody:
      return "httpWaitingBody";
    case httpBodyReceived:
      return "httpBodyReceived";
    case httpWaitingProxyConnect:
      return "httpWaitingProxyConnect";
    case httpClosing:
      return "httpClosing";
    case httpAborting:
      return "httpAborting";
  }
  return "INVALID STATE";
}

// ---------------------------------------------------------------------------------------------
// Construction and messages

THttpCli::THttpCli(TComponent* AOwner) : THttpCli(AOwner, nullptr) {}

THttpCli::THttpCli(TComponent* AOwner, std::unique_ptr<TWSocket> Socket) : TNetWndControl(AOwner) {
  Init(std::move(Socket));
}

void THttpCli::Init(std::unique_ptr<TWSocket> Socket) {
  FContentCodingHnd = std::make_unique<THttpContCodHandler>(
      &FRcvdStream, [this](const void* b, std::int32_t n) { TriggerDocData(b, n); });
  FCtrlSocket = Socket ? std::move(Socket) : std::make_unique<TWSocket>(nullptr);
  TWSocket& s = *FCtrlSocket;
  s.OnDnsLookupDone = [this](TObject*, std::uint16_t e) { SocketDNSLookupDone(e); };
  s.OnSessionConnected = [this](TObject*, std::uint16_t e) { SocketSessionConnected(e); };
  s.OnDataAvailable = [this](TObject*, std::uint16_t e) { SocketDataAvailable(e); };
  s.OnDataSent = [this](TObject*, std::uint16_t e) { SocketDataSent(e); };
  s.OnSessionClosed = [this](TObject*, std::uint16_t e) { SocketSessionClosed(e); };
  s.OnSocksConnected = [this](TObject*, std::uint16_t e) {
    if (OnSocksConnected) OnSocksConnected(this, e);
  };
  s.OnSocksError = [this](TObject*, std::uint16_t e) {
    if (OnSocksError) OnSocksError(this, e, String());
  };
  s.OnError = [this](TObject*) { TriggerSocketError(); };
  s.ExceptAbortProc = [this] { AbortAfterBgException(); };
  AttachWindow();
}

THttpCli::~THttpCli() {
  // Our message ids go back while this class's overrides still exist.
  ReleaseResources(true);
  if (FCtrlSocket) {
    TWSocket& s = *FCtrlSocket;
    s.OnDnsLookupDone = nullptr;
    s.OnSessionConnected = nullptr;
    s.OnDataAvailable = nullptr;
    s.OnDataSent = nullptr;
    s.OnSessionClosed = nullptr;
    s.OnSocksConnected = nullptr;
    s.OnSocksError = nullptr;
    s.OnError = nullptr;
    s.ExceptAbortProc = nullptr;
    FCtrlSocket.reset();
  }
}

void THttpCli::ClaimMessageIds() {
  TNetWndControl::ClaimMessageIds();
  FMsg_WM_HTTP_REQUEST_DONE = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_HTTP_SET_READY = FWndHandler->AllocateMsgHandler(this);
  FMsg_WM_HTTP_LOGIN = FWndHandler->AllocateMsgHandler(this);
}

void THttpCli::ReturnMessageIds() {
  if (FWndHandler != nullptr) {
    FWndHandler->UnregisterMessage(FMsg_WM_HTTP_REQUEST_DONE);
    FWndHandler->UnregisterMessage(FMsg_WM_HTTP_SET_READY);
    FWndHandler->UnregisterMessage(FMsg_WM_HTTP_LOGIN);
  }
  TNetWndControl::ReturnMessageIds();
}

void THttpCli::HandleWindowMessage(TMessage& MsgRec) {
  if (MsgRec.Msg == 0) {
    TNetWndControl::HandleWindowMessage(MsgRec);
  } else if (MsgRec.Msg == FMsg_WM_HTTP_REQUEST_DONE) {
    Guarded([&] {
      TriggerRequestDone(static_cast<THttpRequest>(MsgRec.WParam),
                         static_cast<std::uint16_t>(MsgRec.LParam));
    });
  } else if (MsgRec.Msg == FMsg_WM_HTTP_SET_READY) {
    Guarded([&] {
      if (MsgRec.WParam == FRequestSerial) SetState(httpReady);
    });
  } else if (MsgRec.Msg == FMsg_WM_HTTP_LOGIN) {
    Guarded([&] {
      if (MsgRec.WParam != FRequestSerial || !FWMLoginQueued) return;
      FWMLoginQueued = false;
      Login();
    });
  } else {
    TNetWndControl::HandleWindowMessage(MsgRec);
  }
}

void THttpCli::AbortAfterBgException() {
  try {
    Abort();
  } catch (...) {
  }
}

void THttpCli::PostSetReady() {
  plat::PostMessage(Handle(), FMsg_WM_HTTP_SET_READY, FRequestSerial, 0);
}

void THttpCli::PostLogin() {
  if (FWMLoginQueued) return;
  FWMLoginQueued = true;
  plat::PostMessage(Handle(), FMsg_WM_HTTP_LOGIN, FRequestSerial, 0);
}

// ---------------------------------------------------------------------------------------------
// Settings

void THttpCli::SetRequestVer(const String& Value) {
  if (Value == FRequestVer) return;
  if (Value != u"1.0" && Value != u"1.1")
    throw EHttpException("Insupported HTTP version", reqErrBadVersion);
  FRequestVer = Value;
}

THttpCliOptions THttpCli::Options() const {
  THttpCliOptions o = FOptions & ~(httpoEnableContentCoding | httpoUseQuality);
  if (FContentCodingHnd->Enabled()) o |= httpoEnableContentCoding;
  if (FContentCodingHnd->UseQuality()) o |= httpoUseQuality;
  return o;
}

void THttpCli::SetOptions(THttpCliOptions Value) {
  FOptions = Value;
  FContentCodingHnd->SetEnabled((Value & httpoEnableContentCoding) != 0);
  FContentCodingHnd->SetUseQuality((Value & httpoUseQuality) != 0);
}

void THttpCli::SetMultiThreaded(bool Value) {
  TNetWndControl::SetMultiThreaded(Value);
  FCtrlSocket->SetMultiThreaded(Value);
}

void THttpCli::SetTerminated(bool Value) {
  TNetWndControl::SetTerminated(Value);
  FCtrlSocket->SetTerminated(Value);
}

void THttpCli::SetOnMessagePump(TNotifyEvent Value) {
  TNetWndControl::SetOnMessagePump(Value);
  FCtrlSocket->SetOnMessagePump(std::move(Value));
}

void THttpCli::SetOnBgException(TNetBgExceptionEvent Value) {
  TNetWndControl::SetOnBgException(Value);
  FCtrlSocket->SetOnBgException(std::move(Value));
}

void THttpCli::ThreadAttach() {
  TNetWndControl::ThreadAttach();
  FCtrlSocket->ThreadAttach();
}

void THttpCli::ThreadDetach() {
  TNetWndControl::ThreadDetach();
  FCtrlSocket->ThreadDetach();
}

// ---------------------------------------------------------------------------------------------
// Request operations

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
void THttpCli::GetASync() {
  FLocationChangeCurCount = 0;
  StartRequest(httpGET);
}
void THttpCli::HeadASync() {
  FLocationChangeCurCount = 0;
  StartRequest(httpHEAD);
}
void THttpCli::PostASync() {
  FLocationChangeCurCount = 0;
  StartRequest(httpPOST);
}
void THttpCli::PutASync() {
  FLocationChangeCurCount = 0;
  StartRequest(httpPUT);
}
void THttpCli::DelASync() {
  FLocationChangeCurCount = 0;
  StartRequest(httpDELETE);
}
void THttpCli::CloseAsync() {
  StartRequest(httpCLOSE);
}

void THttpCli::StartRequest(THttpRequest Rq) {
  if (Rq != httpCLOSE && FState != httpReady)
    throw EHttpException("HTTP component " + text::ToUtf8(Name()) + " is busy", reqErrBusy);
  if ((Rq == httpPOST || Rq == httpPUT) && FSendStream == nullptr)
    throw EHttpException("HTTP component has nothing to post or put", reqErrNoSendStream);

  ++FRequestSerial;
  FWMLoginQueued = false;
  FCloseForRelocation = false;
  if (Rq == httpCLOSE) {
    FStatusCode = 200;
    FReasonPhrase = u"OK";
    SetState(httpClosing);
    if (FCtrlSocket->State() == wsClosed) {
      FLocationFlag = false;
      FRequestType = Rq;
      ResetResponseState(false, false);
      // The reset clears the status; a close with nothing to close still ends with 200 OK.
      FStatusCode = 200;
      FReasonPhrase = u"OK";
      PostSetReady();
    } else {
      FCtrlSocket->CloseDelayed();
    }
    return;
  }

  FRequestType = Rq;
  ResetResponseState(false, false);
  FCurrUsername = FUsername;
  FCurrPassword = FPassword;
  FCurrProxyUsername = FProxyUsername;
  FCurrProxyPassword = FProxyPassword;
  FCurrConnection = FConnection;
  FCurrProxyConnection = FProxyConnection;
  // A relocation or a retry cuts the stream back to this size when no document began yet, so
  // what the caller's stream held before the request is never lost.
  FRcvdStreamStartSize = FRcvdStream ? FRcvdStream->Size() : 0;

  String proto, user, pass, host, port;
  SplitUrl(FURL, proto, user, pass, host, port, FPath);
  FTargetHost = host;
  FTargetPort = port.empty() ? String(u"80") : port;
  if (FPath.empty()) FPath = u"/";
  FProtocol = proto.empty() ? String(u"http") : proto;
  if (!user.empty() || !pass.empty()) {
    FCurrUsername = user;
    FCurrPassword = pass;
  }
  FDocName = FPath;
  DocNameFromPath(FDocName);
  if (FProxy.empty()) {
    FHostName = FTargetHost;
    FPort = FTargetPort;
  } else {
    FHostName = FProxy;
    FPort = FProxyPort;
  }

  FAuthNTLMState = FProxyAuthNTLMState = ntlmNone;
  FAuthDigestState = FProxyAuthDigestState = digestNone;
  FAuthBasicState = FProxyAuthBasicState = basicNone;
  if (FServerAuth == httpAuthBasic && !FCurrUsername.empty()) FAuthBasicState = basicMsg1;
  if (FProxyAuth == httpAuthBasic && !FCurrProxyUsername.empty()) FProxyAuthBasicState = basicMsg1;

  // An exception from an owner's handler run inside (a dotted address is resolved and
  // connected at once) reaches the caller; the request it interrupted is ended first.
  try {
    if (FCtrlSocket->State() == wsConnected) {
      if (FHostName == FCurrentHost && FPort == FCurrentPort && FProtocol == FCurrentProtocol) {
        ConnectionReady();
        return;
      }
      FCtrlSocket->Abort();
    }
    SetState(httpNotConnected);
    Login();
  } catch (...) {
    if (FState != httpReady) {
      try {
        Abort();
      } catch (...) {
      }
    }
    throw;
  }
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
  const THttpState old = FState;
  SetState(httpAborting);
  FLocationFlag = false;
  FCloseForRelocation = false;
  FWMLoginQueued = false;
  if (old == httpDnsLookup) {
    try {
      FCtrlSocket->CancelDnsLookup();
    } catch (...) {
    }
  }
  FStatusCode = 404;
  FReasonPhrase = TimedOut ? u"Request aborted on timeout" : u"Request aborted";
  FRequestDoneError = TimedOut ? reqErrTimeout : reqErrAborted;
  if (old == httpDnsLookup)
    SocketSessionClosed(0);
  else
    FCtrlSocket->Close();
  SetState(httpReady);
}

void THttpCli::Abort() {
  FLocationFlag = false;
  FRcvdCount = 0;
  FReceiveBuffer.Clear();
  if (FState != httpReady) {
    const THttpState old = FState;
    SetState(httpAborting);
    FCloseForRelocation = false;
    FWMLoginQueued = false;
    if (old == httpDnsLookup) {
      try {
        FCtrlSocket->CancelDnsLookup();
      } catch (...) {
      }
    }
    FStatusCode = 404;
    FReasonPhrase = u"Connection aborted on request";
    FRequestDoneError = reqErrAborted;
    if (old == httpDnsLookup)
      SocketSessionClosed(0);
    else
      FCtrlSocket->Close();
    SetState(httpReady);
    return;
  }
  if (FCtrlSocket->State() != wsClosed) FCtrlSocket->Abort();
  FStatusCode = 200;
  FReasonPhrase = u"OK";
  FRequestDoneError = 0;
  TriggerStateChange();
  TriggerRequestDone(FRequestType, 0);
}

void THttpCli::FailRequest(int ErrCode, const String& Phrase) {
  if (!Running()) return;
  FRequestDoneError = ErrCode;
  FReasonPhrase = Phrase;
  FLocationFlag = false;
  FCloseForRelocation = false;
  FWMLoginQueued = false;
  FNext = TReceiver::None;
  FBodyExpected = false;
  FReceiveBuffer.Clear();
  SetState(httpAborting);
  // Dropping the connection ends the transfer: nothing more is read or written. The close
  // handling runs inside (ending a begun document, OnSessionClosed).
  FCtrlSocket->Abort();
  SetState(httpReady);
}

void THttpCli::ResetResponseState(bool KeepLocation, bool KeepDocName) {
  FRcvdHeader.clear();
  FRequestDoneError = 0;
  if (!KeepDocName) FDocName.clear();
  FStatusCode = 0;
  FRcvdCount = 0;
  FReceiveBuffer.Clear();
  FSentCount = 0;
  FHeaderLineCount = 0;
  FHeaderBytes = 0;
  FHeaderEndFlag = false;
  FBodyLineCount = 0;
  FBodyExpected = false;
  FNext = TReceiver::None;
  FContentLength = -1;
  FContentType.clear();
  FTransferEncoding.clear();
  FContentEncoding.clear();
  FResponseVer.clear();
  FAllowedToSend = false;
  FDelaySetReady = false;
  if (!KeepLocation) FLocation = FURL;
  FDoAuthor.clear();
  FCloseReq = FRequestVer == u"1.0";
}

void THttpCli::Login() {
  FLocationFlag = false;
  FStatusCode = 0;
  if (FCtrlSocket->State() == wsConnected) {
    ConnectionReady();
    return;
  }
  SetState(httpDnsLookup);
  try {
    TWSocket& s = *FCtrlSocket;
    s.SetLocalAddr(FLocalAddr);
    s.SetLocalAddr6(FLocalAddr6);
    s.SetSocketFamily(FSocketFamily);
    s.SetAddr(FHostName);
    s.DnsLookup(FHostName);
  } catch (std::exception& E) {
    if (FState != httpDnsLookup) throw;
    FStatusCode = 404;
    FReasonPhrase = text::FromUtf8(E.what());
    SetState(httpReady);
  }
}

void THttpCli::SetupSocketForConnect() {
  TWSocket& s = *FCtrlSocket;
  s.SetAddr(FDnsResult);
  s.SetLocalAddr(FLocalAddr);
  s.SetLocalAddr6(FLocalAddr6);
  s.SetPort(FPort);
  s.SetProto(u"tcp");
  s.SetSocksServer(FSocksServer);
  s.SetSocksLevel(FSocksLevel);
  s.SetSocksPort(FSocksPort);
  s.SetSocksUsercode(FSocksUsercode);
  s.SetSocksPassword(FSocksPassword);
  s.SetSocksAuthentication(FSocksAuthentication);
  if (FOptions & httpoBandwidthControl) {
    s.SetBandwidthLimit(FBandwidthLimit);
    s.SetBandwidthSampling(FBandwidthSampling);
  } else {
    s.SetBandwidthLimit(0);
  }
}

void THttpCli::SocketDNSLookupDone(std::uint16_t ErrCode) {
  // A lookup that completes after the request was aborted or ended finds another state.
  if (FState != httpDnsLookup) return;
  if (ErrCode != 0) {
    FRequestDoneError = ErrCode;
    FStatusCode = 404;
    FReasonPhrase = u"can't resolve hostname to IP address";
    SocketSessionClosed(ErrCode);
    return;
  }
  FDnsResult = FCtrlSocket->DnsResult();
  SetState(httpDnsLookupDone);
  if (FState != httpDnsLookupDone) return;
  SetupSocketForConnect();
  FReceiveBuffer.Clear();
  FCurrentHost = FHostName;
  FCurrentPort = FPort;
  FCurrentProtocol = FProtocol;

  const std::uint32_t closes = FSessionClosedCount;
  auto end_with_close = [&](int code) {
    FCtrlSocket->Close();
    if (FSessionClosedCount == closes) SocketSessionClosed(static_cast<std::uint16_t>(code));
  };
  if (FProtocol != u"http") {
    FStatusCode = 501;
    FReasonPhrase = u"Protocol \"" + FProtocol + u"\" not implemented";
    end_with_close(0);
    return;
  }
  auto connect_failed = [&](int code) {
    FRequestDoneError = code;
    FStatusCode = 404;
    FReasonPhrase = u"can't connect: " + ErrorText(code);
    end_with_close(code);
  };
  try {
    FCtrlSocket->Connect();
  } catch (std::exception&) {
    int code = FCtrlSocket->LastError();
    connect_failed(code != 0 ? code : WSAEINVAL);
    return;
  }
  // With OnError assigned the socket reports a connect that could not even start instead of
  // raising; without this the request would wait for a connection that never comes.
  TSocketState st = FCtrlSocket->State();
  if (FState == httpDnsLookupDone && st != wsConnecting && st != wsConnected) {
    int code = FCtrlSocket->LastError();
    connect_failed(code != 0 ? code : WSAEINVAL);
  }
}

void THttpCli::SocketSessionConnected(std::uint16_t ErrCode) {
  if (FState != httpDnsLookupDone) return;
  if (ErrCode != 0) {
    FRequestDoneError = ErrCode;
    FStatusCode = 404;
    FReasonPhrase = ErrorText(ErrCode);
    TriggerSessionConnected();
    return;
  }
  ConnectionReady();
}

void THttpCli::ConnectionReady() {
  FConnected = true;
  SetState(httpConnected);
  TriggerSessionConnected();
  if (FState != httpConnected) return;
  SetState(httpWaitingHeader);
  FNext = TReceiver::Header;
  try {
    SendRequest(MethodName(FRequestType), FRequestVer);
  } catch (std::exception&) {
    FCtrlSocket->Close();
  }
}

String THttpCli::RequestTarget() const {
  if (FProxy.empty() || FPath.empty() || FPath[0] != u'/') return FPath;
  String target = FProtocol.empty() ? String(u"http") : FProtocol;
  target += u"://" + FTargetHost;
  if (!FTargetPort.empty() && FTargetPort != u"80") target += u":" + FTargetPort;
  return target + FPath;
}

String THttpCli::AuthorizationLine(bool ForProxy) const {
  if (ForProxy) {
    if (FProxyAuthBasicState != basicMsg1) return String();
    return u"Proxy-Authorization: Basic " +
           Base64(text::UnicodeToAnsi(FCurrProxyUsername + u":" + FCurrProxyPassword));
  }
  if (FAuthBasicState != basicMsg1) return String();
  return u"Authorization: Basic " +
         Base64(text::UnicodeToAnsi(FCurrUsername + u":" + FCurrPassword));
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

// ---------------------------------------------------------------------------------------------
// Receiving: the header

void THttpCli::SocketDataAvailable(std::uint16_t ErrCode) {
  // The socket's receive loop would drop anything thrown here and leave the request without
  // an ending; end it instead.
  try {
    std::size_t room = 0;
    char* at = FReceiveBuffer.PrepareRead(room);
    std::int32_t n = FCtrlSocket->Receive(
        at, static_cast<std::int32_t>(std::min<std::size_t>(room, 0x7FFFFFFF)));
    if (FRequestType == httpABORT || n <= 0) return;
    FReceiveBuffer.Commit(static_cast<std::size_t>(n));
    if (FState == httpWaitingBody) {
      BodyStep();
      return;
    }
    ReceiveHeaderLines(ErrCode);
  } catch (std::exception& E) {
    FailRequest(reqErrAborted, text::FromUtf8(E.what()));
  }
}

void THttpCli::ReceiveHeaderLines(std::uint16_t ErrCode) {
  while (!FReceiveBuffer.Empty()) {
    if (FState == httpWaitingBody && FNext == TReceiver::Body) return;
    const bool header_phase =
        (FState == httpWaitingHeader || FState == httpWaitingBody) && FNext == TReceiver::Header;
    const std::size_t line_len = FReceiveBuffer.LineLength();
    if (line_len == 0) {
      // No line end yet. A line may not grow without bound: 64 KiB (and its CR) at most.
      if (FReceiveBuffer.Len() > kHttpMaxHeaderLine + 1) {
        if (Running()) {
          FailRequest(reqErrHeaderTooLarge, kHeaderTooLarge);
        } else {
          FReceiveBuffer.Clear();
          FCtrlSocket->Abort();
        }
      }
      return;
    }
    if (header_phase) {
      if (line_len > kHttpMaxHeaderLine + 2 || FHeaderBytes + line_len > kHttpMaxHeaderSize) {
        FailRequest(reqErrHeaderTooLarge, kHeaderTooLarge);
        return;
      }
      if (FHeaderLineCount <= 0) {
        const char* d = FReceiveBuffer.Data();
        std::string_view first(d, std::min<std::size_t>(line_len, 9));
        if (!first.empty() && first[0] == '<' &&
            (text::LowerAscii(first.substr(0, 6)) == "<html>" ||
             text::LowerAscii(first.substr(0, 9)) == "<!doctype")) {
          HeaderlessHtml();
          return;
        }
      }
      FHeaderBytes += line_len;
    }
    FReceiveBuffer.TakeLine(FLastResponse);
    if (FState == httpWaitingHeader || FState == httpWaitingBody) {
      if (FNext == TReceiver::Header)
        ProcessHeaderLine();
      else if (FNext == TReceiver::None)
        SetReadyUnlessSending();
    } else {
      TriggerDataPush(ErrCode);
    }
  }
}

// The answer has no header: its first line already belongs to an HTML document. The document
// gets every byte as received, that first line included.
void THttpCli::HeaderlessHtml() {
  if (FHeaderLineCount == 0) TriggerHeaderBegin();
  FHeaderLineCount = 1;
  if (!Running()) return;
  if (FContentType.empty()) FContentType = u"text/html";
  SetState(httpWaitingBody);
  FNext = TReceiver::Body;
  FBodyExpected = true;
  TriggerHeaderEnd();
  if (!Running() || FReceiveBuffer.Empty()) return;
  BodyStep();
}

void THttpCli::ProcessHeaderLine() {
  if (FHeaderLineCount == 0)
    TriggerHeaderBegin();
  else if (FHeaderLineCount == -1)
    FHeaderLineCount = 0;
  ++FHeaderLineCount;
  if (!Running()) return;

  if (FLastResponse.empty()) {
    HeaderEnded();
    return;
  }
  FRcvdHeader.push_back(FLastResponse);

  if (FHeaderLineCount == 1) {
    auto st = ParseStatusLine(FLastResponse);
    if (!st) {
      TriggerDataPush2();
    } else {
      FResponseVer = st->ResponseVer;
      FCloseReq = CloseRequiredFor(FRequestVer, FResponseVer);
      if (!st->CodeValid) {
        String quoted =
            FLastResponse.size() > 200 ? FLastResponse.substr(0, 200) + u"..." : FLastResponse;
        FailRequest(reqErrNoStatusLine, u"Invalid status line \"" + quoted + u"\"");
        return;
      }
      FStatusCode = st->StatusCode;
      FReasonPhrase = st->ReasonPhrase;
    }
  } else if (auto field = ParseHeaderField(FLastResponse)) {
    const String& name = field->Name;
    const String& value = field->Value;
    if (name == u"location") {
      AcceptLocation(value);
    } else if (name == u"content-length") {
      FContentLength = ParseContentLength(value);
    } else if (name == u"transfer-encoding") {
      FTransferEncoding = text::LowerAscii(std::u16string_view(value));
    } else if (name == u"content-range") {
      ParseContentRange(value, FContentRangeBegin, FContentRangeEnd);
    } else if (name == u"accept-ranges") {
      FAcceptRanges = value;
    } else if (name == u"content-type") {
      FContentType = text::LowerAscii(std::u16string_view(value));
    } else if (name == u"www-authenticate" || name == u"proxy-authenticate") {
      FDoAuthor.push_back(value);
    } else if (name == u"set-cookie") {
      bool accept = true;
      TriggerCookie(value, accept);
    } else if (name == u"connection" || name == u"proxy-connection") {
      String v = text::LowerAscii(std::u16string_view(text::Trim(value)));
      if (v == u"close")
        FCloseReq = true;
      else if (v == u"keep-alive")
        FCloseReq = false;
    } else if (name == u"content-encoding") {
      FContentEncoding = value;
    }
  }
  if (Running()) TriggerHeaderData();
}

void THttpCli::AcceptLocation(const String& Value) {
  String value = Value;
  if (value.size() >= 2 && value[0] == u'/' && value[1] == u'/') value = FProtocol + u":" + value;
  if (FRequestType == httpPUT) {
    FLocation = value;
    return;
  }
  if (!FFollowRelocation) return;
  FLocationFlag = true;

  auto url_protocol = [this] {
    String proto, user, pass, host, port, path;
    SplitUrl(FURL, proto, user, pass, host, port, path);
    return proto.empty() ? String(u"http") : proto;
  };
  // Through a proxy the connection stays with the proxy; only the target changes.
  String& host_field = FProxy.empty() ? FHostName : FTargetHost;
  if (!value.empty() && value[0] == u'/') {
    FPath = value;
    FLocation = url_protocol() + u"://" + host_field + FPath;
  } else if (!StartsWithNoCase(value, u"http://") && !StartsWithNoCase(value, u"https://")) {
    FPath = UrlDirectory(FPath) + value;
    FLocation = url_protocol() + u"://" + host_field + FPath;
  } else {
    String proto, user, pass, host, port, path = FPath;
    SplitUrl(value, proto, user, pass, host, port, path);
    if (!host.empty()) {
      if (FProxy.empty()) {
        FHostName = host;
        FPort = port.empty() ? String(u"80") : port;
      }
      FPath = path;
      FProtocol = proto;
      if (!user.empty() && !pass.empty()) {
        FCurrUsername = user;
        FCurrPassword = pass;
      }
      FTargetHost = host;
      FTargetPort = port.empty() ? String(u"80") : port;
      const bool empty_path = FPath.empty();
      if (empty_path) FPath = u"/";
      FLocation = proto + u"://" + host;
      if (!port.empty()) FLocation += u":" + port;
      if (!empty_path) FLocation += FPath;
    } else {
      if (FProxy.empty()) FHostName = FTargetHost;
      if (path.empty()) {
        FLocation = proto + u"://" + FTargetHost + u"/";
        FPath = FLocation;
      } else {
        FPath = path;
        FLocation = proto + u"://" + FTargetHost + FPath;
      }
    }
  }
}

void THttpCli::HeaderEnded() {
  if (FResponseVer == u"1.1" && FStatusCode == 100) {
    // An interim answer: the real one follows.
    FRcvdHeader.clear();
    FHeaderLineCount = -1;
    return;
  }
  TriggerHeaderEnd();
  if (!Running()) {
    FReceiveBuffer.Clear();
    return;
  }
  const bool head = FRequestType == httpHEAD;
  const bool chunked = FTransferEncoding == u"chunked";
  const bool no_body = FContentLength == 0 || head ||
                       (FContentLength == -1 && !chunked &&
                        (FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 301 ||
                         FStatusCode == 302 || FStatusCode == 304));
  if (no_body) {
    if (FCloseReq) {
      if (FLocationFlag) {
        StartRelocation();
      } else {
        if (head) {
          FReceiveBuffer.Clear();
          SetState(httpWaitingBody);
          FNext = TReceiver::None;
        }
        FCtrlSocket->CloseDelayed();
      }
    } else if (head) {
      FReceiveBuffer.Clear();
      SetState(httpWaitingBody);
      FNext = TReceiver::None;
      PostSetReady();
    } else if (FLocationFlag) {
      StartRelocation();
    } else {
      SetReadyUnlessSending();
    }
    return;
  }

  String ext = text::LowerAscii(std::u16string_view(ExtractFileExt(FDocName)));
  if ((ext == u".exe" || ext.empty()) && FContentType == u"text/html")
    ReplaceExtension(FDocName, u"htm");
  SetState(httpWaitingBody);
  FNext = TReceiver::Body;
  FBodyExpected = true;
  if (Running() && !FReceiveBuffer.Empty()) BodyStep();
}

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
  if (FContentLength < 0 || FTransferEncoding == u"chunked")
    FBodyDataLen = buffered;
  else
    FBodyDataLen = std::min(buffered, FContentLength - FRcvdCount);
  GetBodyLineNext();
  if (!Running()) return;
  FReceiveBuffer.Consume(static_cast<std::size_t>(FBodyDataLen));
  FBodyDataLen = 0;
  if (FNext == TReceiver::Body) return;  // the document goes on
  if (FLocationFlag)
    StartRelocation();
  else
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
  if (FTransferEncoding != u"chunked") {
    if (FBodyDataLen > 0) {
      FRcvdCount += FBodyDataLen;
      WriteBody(data, FBodyDataLen);
      if (!Running()) return;
    }
    if (FRcvdCount == FContentLength) {
      DocumentEnd();
      if (!Running()) return;
      if (FCloseReq)
        FCtrlSocket->CloseDelayed();
      else if (!FLocationFlag)
        SetReadyUnlessSending();
    }
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
  if (FChunk.Done()) {
    DocumentEnd();
    if (!Running()) return;
    if (FCloseReq) FCtrlSocket->CloseDelayed();
  }
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
  if (FTransferEncoding == u"chunked") return !FChunk.Done();
  return FContentLength >= 0 && FRcvdCount < FContentLength;
}

// ---------------------------------------------------------------------------------------------
// End of a request

void THttpCli::SetReadyUnlessSending() {
  if (FAllowedToSend && (FStatusCode == 401 || FStatusCode == 407))
    FDelaySetReady = true;
  else
    PostSetReady();
}

void THttpCli::SocketSessionClosed(std::uint16_t ErrCode) {
  ++FSessionClosedCount;
  FReceiveBuffer.Clear();
  FConnected = false;
  FProxyConnected = false;
  if (FCloseForRelocation) {
    RelocateAfterClose();
    return;
  }
  // A kept-open connection that closes between requests changes nothing of the last one.
  if (ErrCode != 0 && FState != httpReady) FRequestDoneError = ErrCode;

  if (FHeaderEndFlag) {
    TriggerHeaderEnd();
    if (FLocationFlag) {
      RelocateAfterClose();
      return;
    }
    // A header cut short: nothing more will come on this connection, so the request ends now
    // instead of waiting for an idle time-out that an asynchronous request does not have.
    // OnSessionClosed stays silent here, as for any close that cuts a header short.
    if (FState != httpReady) {
      if (FRequestDoneError == 0) {
        FRequestDoneError = FStatusCode == 0 ? reqErrNoStatusLine : reqErrDocIncomplete;
        FReasonPhrase = FStatusCode == 0 ? kNoStatus : kDocIncomplete;
      }
      PostSetReady();
    }
    return;
  }

  const bool incomplete = BodyIncomplete();
  if (FBodyLineCount > 0) {
    // A document begun and not ended: it ends here (a close-delimited body is complete now).
    FBodyLineCount = 0;
    FContentCodingHnd->Complete();
    TriggerDocEnd();
  }
  FBodyExpected = false;
  if (FLocationFlag) {
    RelocateAfterClose();
    return;
  }
  TriggerSessionClosed();
  if (FState != httpReady) {
    if (FRequestDoneError == 0 && incomplete && FState != httpAborting) {
      FRequestDoneError = reqErrDocIncomplete;
      FReasonPhrase = kDocIncomplete;
    }
    if (FRequestDoneError == 0 && FStatusCode == 0) {
      FRequestDoneError = reqErrNoStatusLine;
      FReasonPhrase = kNoStatus;
    }
    PostSetReady();
  }
}

void THttpCli::SetState(THttpState NewState) {
  if (NewState == FState) return;
  FState = NewState;
  if (NewState != httpReady) {
    TriggerStateChange();
    return;
  }
  // Messages still queued for the request that ends here must not act on the next one.
  ++FRequestSerial;
  const THttpRequest rq = FRequestType;
  const int err = FRequestDoneError;
  TriggerStateChange();
  if (FState != httpReady) {
    // The handler started the next request already; this one is still reported.
    plat::PostMessage(Handle(), FMsg_WM_HTTP_REQUEST_DONE, static_cast<plat::WParam>(rq),
                      static_cast<plat::LParam>(err & 0xFFFF));
    return;
  }
  CheckAuthRetry();
}

void THttpCli::CheckAuthRetry() {
  // Progress of an exchange in progress: done unless the answer asks again.
  if (FAuthBasicState == basicMsg1 && FStatusCode != 401) FAuthBasicState = basicDone;
  if (FProxyAuthBasicState == basicMsg1 && FStatusCode != 407) FProxyAuthBasicState = basicDone;

  bool retry = false;
  if (FRequestDoneError == 0 && (FStatusCode == 401 || FStatusCode == 407)) {
    const bool proxy = FStatusCode == 407;
    // NTLM and Digest are not available in this client: their challenges never retry. Basic
    // retries once, from no exchange, with credentials, when the answer offers it.
    bool offered = false;
    String challenge;
    for (const String& c : FDoAuthor) {
      if (StartsWithNoCase(c, u"basic")) {
        offered = true;
        challenge = c;
        break;
      }
    }
    const THttpBasicState basic = proxy ? FProxyAuthBasicState : FAuthBasicState;
    const bool other_in_progress = (proxy ? FProxyAuthNTLMState : FAuthNTLMState) != ntlmNone ||
                                   (proxy ? FProxyAuthDigestState : FAuthDigestState) != digestNone;
    const String& user = proxy ? FCurrProxyUsername : FCurrUsername;
    const bool forbidden =
        (FOptions & httpoNoBasicAuth) != 0 && (proxy ? FProxyAuth : FServerAuth) == httpAuthBasic;
    if (offered && basic == basicNone && !other_in_progress && !user.empty() && !forbidden) {
      bool allow = true;
      if (OnBeforeAuth) OnBeforeAuth(this, httpAuthBasic, proxy, challenge, allow);
      retry = allow;
    }
    if (retry) {
      TruncateStreams();
      FReceiveBuffer.Clear();
      ResetResponseState(false, true);
      if (proxy)
        FProxyAuthBasicState = basicMsg1;
      else
        FAuthBasicState = basicMsg1;
      PostLogin();
      return;
    }
  }
  plat::PostMessage(Handle(), FMsg_WM_HTTP_REQUEST_DONE, static_cast<plat::WParam>(FRequestType),
                    static_cast<plat::LParam>(FRequestDoneError & 0xFFFF));
}

// ---------------------------------------------------------------------------------------------
// Relocation

bool THttpCli::CountRelocation() {
  ++FLocationChangeCurCount;
  if (FLocationChangeCurCount > FLocationChangeMaxCount) {
    bool allow = false;
    TriggerLocationChangeExceeded(FLocationChangeCurCount, allow);
    if (!allow) {
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
      FCloseReq) {
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
  if (FProxyAuthNTLMState != ntlmNone) FProxyAuthNTLMState = ntlmMsg1;
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

// ---------------------------------------------------------------------------------------------
// Event triggers

void THttpCli::TriggerStateChange() {
  if (OnStateChange) OnStateChange(this);
}
void THttpCli::TriggerSessionConnected() {
  if (OnSessionConnected) OnSessionConnected(this);
}
void THttpCli::TriggerSessionClosed() {
  if (OnSessionClosed) OnSessionClosed(this);
}
void THttpCli::TriggerRequestHeaderBegin() {
  if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
}
void THttpCli::TriggerBeforeHeaderSend(const String& Method, std::vector<String>& Headers) {
  if (OnBeforeHeaderSend) OnBeforeHeaderSend(this, Method, Headers);
}
void THttpCli::TriggerCommand(String& S) {
  if (OnCommand) OnCommand(this, S);
}
void THttpCli::TriggerRequestHeaderEnd() {
  if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
}
void THttpCli::TriggerSendBegin() {
  if (OnSendBegin) OnSendBegin(this);
}
void THttpCli::TriggerSendData(const void* Buffer, std::int32_t Len) {
  if (OnSendData) OnSendData(this, Buffer, Len);
}
void THttpCli::TriggerSendEnd() {
  if (OnSendEnd) OnSendEnd(this);
}
void THttpCli::TriggerHeaderBegin() {
  FHeaderEndFlag = true;
  if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::TriggerHeaderData() {
  if (OnHeaderData) OnHeaderData(this);
}
void THttpCli::TriggerCookie(const String& Data, bool& Accept) {
  if (OnCookie) OnCookie(this, Data, Accept);
}
void THttpCli::TriggerHeaderEnd() {
  FHeaderEndFlag = false;
  if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::TriggerDocBegin() {
  if (OnDocBegin) OnDocBegin(this);
}
void THttpCli::TriggerDocData(const void* Buffer, std::int32_t Len) {
  if (OnDocData) OnDocData(this, Buffer, Len);
}
void THttpCli::TriggerDocEnd() {
  if (OnDocEnd) OnDocEnd(this);
}
void THttpCli::TriggerLocationChange() {
  if (OnLocationChange) OnLocationChange(this);
}
void THttpCli::TriggerLocationChangeExceeded(int RelocationCount, bool& AllowMoreRelocations) {
  if (OnLocationChangeExceeded)
    OnLocationChangeExceeded(this, RelocationCount, AllowMoreRelocations);
}
void THttpCli::TriggerRequestDone(THttpRequest RqType, std::uint16_t ErrCode) {
  if (OnRequestDone) OnRequestDone(this, RqType, ErrCode);
}
void THttpCli::TriggerDataPush(std::uint16_t ErrCode) {
  if (OnDataPush) OnDataPush(this, ErrCode);
}
void THttpCli::TriggerDataPush2() {
  if (OnDataPush2) OnDataPush2(this);
}
void THttpCli::TriggerSocketError() {
  if (OnSocketError) OnSocketError(this);
}
