// THttpCli: construction, messages and settings, starting a request, the connection, the end
// of a request and the event triggers. The stages of a request have their own files:
// httpcli_request.cpp (composing and sending the request), httpcli_header.cpp and
// httpcli_body.cpp (receiving the answer), httpcli_relocation.cpp, httpcli_auth.cpp and
// httpcli_sync.cpp (the synchronous calls).
#include "http/httpcli.h"

#include <cxxabi.h>
#include <exception>

#include "http/httpcli_internal.h"
#include "http/request.h"
#include "http/url.h"
#include "platform/tick.h"

namespace {

const char16_t kDocIncomplete[] = u"Document incomplete (connection closed prematurely)";
const char16_t kNoStatus[] = u"HTTP no status code (connection closed prematurely)";

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

String ErrorText(int code, const TWSocket& socket) {
  // A TLS failure names its reason (the certificate's fault, the missing backend).
  const String& tls = socket.SslErrorText();
  const String text = plat::tls::IsTlsError(code) && !tls.empty() ? tls : DescribeSocketError(code);
  return text + u" (Error #" + text::IntToStr(code) + u")";
}

// The message of the exception being handled, for the reason phrase of a request that an
// exception ended. Its callers run inside a handler's catch; the exception is thrown again and
// caught here, which needs no copy of it (std::current_exception would bring the whole
// exception-pointer machinery into the program). Without one being handled, nothing is thrown.
String CurrentExceptionText() {
  if (abi::__cxa_current_exception_type() != nullptr) {
    try {
      throw;
    } catch (std::exception& E) {
      if (*E.what() != 0) return text::FromUtf8(E.what());
    } catch (...) {
    }
  }
  return u"Exception in an event handler";
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
  // An exception escaped a handler while this client's (or its socket's) message was handled.
  // A running request ends with its own code, so it is never taken for the user's Cancel; an
  // idle client only drops its connection (there is no request to report).
  try {
    if (FState != httpReady || FWMLoginQueued) {
      EndRunningRequest(reqErrHandlerException, CurrentExceptionText());
    } else if (FCtrlSocket->State() != wsClosed) {
      FCtrlSocket->Abort();
    }
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
  if (plat::CurrentThreadId() != FThreadId)
    throw ENetException("Cannot detach from another thread");
  FCtrlSocket->ThreadDetach();
  try {
    TNetWndControl::ThreadDetach();
  } catch (...) {
    FCtrlSocket->ThreadAttach();
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Request operations

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
  // A relocation that an earlier request left unfinished (its limit reached) is not this one's.
  FLocationFlag = false;
  FReusedConnection = false;
  FReuseRetried = false;
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
  // The fragment belongs to the client side of a URL: it is never sent.
  if (auto hash = FPath.find(u'#'); hash != String::npos) FPath.erase(hash);
  FTargetHost = host;
  FProtocol = proto.empty() ? String(u"http") : proto;
  FSecureChain = FProtocol == u"https";
  FTargetPort = port.empty() ? httpcli_detail::DefaultPort(FProtocol) : port;
  if (FPath.empty()) FPath = u"/";
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

  PrepareAuth();

  // An exception from an owner's handler run inside (a dotted address is resolved and
  // connected at once) reaches the caller; the request it interrupted is ended first.
  try {
    const String unsafe = UnsafeRequestText();
    if (!unsafe.empty()) {
      // Nothing goes out: not even the name lookup of a host that could not be sent.
      SetState(httpNotConnected);
      FailRequest(reqErrUnsafeRequest, unsafe);
      return;
    }
    if (FCtrlSocket->State() == wsConnected) {
      if (FHostName == FCurrentHost && FPort == FCurrentPort && FProtocol == FCurrentProtocol &&
          TunnelTarget() == FCurrentTunnelTarget) {
        FReusedConnection = true;
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
        EndRunningRequest(reqErrHandlerException, CurrentExceptionText());
      } catch (...) {
      }
    }
    throw;
  }
}

void THttpCli::Abort() {
  // An authentication retry queued at httpReady is still the running request.
  if (FState != httpReady || FWMLoginQueued) {
    EndRunningRequest(reqErrAborted, u"Connection aborted on request");
    return;
  }
  FLocationFlag = false;
  FRcvdCount = 0;
  FReceiveBuffer.Clear();
  if (FCtrlSocket->State() != wsClosed) FCtrlSocket->Abort();
  FStatusCode = 200;
  FReasonPhrase = u"OK";
  FRequestDoneError = 0;
  TriggerStateChange();
  TriggerRequestDone(FRequestType, 0);
}

void THttpCli::EndRunningRequest(int ErrCode, const String& Phrase) {
  FLocationFlag = false;
  FRcvdCount = 0;
  FReceiveBuffer.Clear();
  if (FState == httpReady) {
    // The retry waits in the queue: it is called off (the queued message finds another serial)
    // and the request ends here instead of passing as done.
    FWMLoginQueued = false;
    ++FRequestSerial;
    FStatusCode = 404;
    FReasonPhrase = Phrase;
    FRequestDoneError = ErrCode;
    if (FCtrlSocket->State() != wsClosed) FCtrlSocket->Close();
    plat::PostMessage(Handle(), FMsg_WM_HTTP_REQUEST_DONE, static_cast<plat::WParam>(FRequestType),
                      static_cast<plat::LParam>(ErrCode & 0xFFFF));
    return;
  }
  AbortRequest(ErrCode, Phrase);
}

void THttpCli::AbortRequest(int ErrCode, const String& Phrase) {
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
  FReasonPhrase = Phrase;
  FRequestDoneError = ErrCode;
  if (old == httpDnsLookup)
    SocketSessionClosed(0);
  else
    FCtrlSocket->Close();
  SetState(httpReady);
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
  ClearHeaderState();
  FRequestDoneError = 0;
  if (!KeepDocName) FDocName.clear();
  FStatusCode = 0;
  FRcvdCount = 0;
  FReceiveBuffer.Clear();
  FSentCount = 0;
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
    FReusedConnection = true;
    ConnectionReady();
    return;
  }
  SetState(httpDnsLookup);
  try {
    TWSocket& s = *FCtrlSocket;
    s.SetLocalAddr(FLocalAddr);
    s.SetLocalAddr6(FLocalAddr6);
    s.SetSocketFamily(FSocketFamily);
    // Through SOCKS the name looked up is the SOCKS server's; the target's name goes to it.
    const String& lookup = ViaSocks() ? FSocksServer : FHostName;
    s.SetAddr(lookup);
    s.DnsLookup(lookup);
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
  // https through an HTTP proxy: the socket connects to the proxy's address and opens a
  // tunnel to the target (CONNECT), answering the proxy's 407 with the proxy credentials;
  // TLS then runs to the target through it. Through SOCKS the socket connects to the SOCKS
  // server's address and asks it for the target by name.
  const bool tunnel = !TunnelTarget().empty();
  s.SetHttpTunnelServer(tunnel ? FDnsResult : String());
  s.SetHttpTunnelPort(tunnel ? FPort : String());
  s.SetHttpTunnelUsercode(tunnel ? FCurrProxyUsername : String());
  s.SetHttpTunnelPassword(tunnel ? FCurrProxyPassword : String());
  s.SetHttpTunnelLmCompatLevel(FLmCompatLevel);
  if (tunnel || ViaSocks()) {
    s.SetAddr(FTargetHost);
    s.SetPort(FTargetPort);
  }
  s.SetSocksServer(ViaSocks() ? FDnsResult : String());
  s.SetSocksLevel(FSocksLevel);
  s.SetSocksPort(FSocksPort.empty() && ViaSocks() ? String(u"1080") : FSocksPort);
  s.SetSocksUsercode(FSocksUsercode);
  s.SetSocksPassword(FSocksPassword);
  s.SetSocksAuthentication(FSocksAuthentication);
  s.SetSslEnable(FProtocol == u"https");
  s.SetSslServerName(FTargetHost);
  s.SetSslTrustedRootsFile(FSslTrustedRootsFile);
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
  FCurrentTunnelTarget = TunnelTarget();

  const std::uint32_t closes = FSessionClosedCount;
  auto end_with_close = [&](int code) {
    FCtrlSocket->Close();
    if (FSessionClosedCount == closes) SocketSessionClosed(static_cast<std::uint16_t>(code));
  };
  if (FProtocol != u"http" && FProtocol != u"https") {
    FStatusCode = 501;
    FReasonPhrase = u"Protocol \"" + FProtocol + u"\" not implemented";
    end_with_close(0);
    return;
  }
  auto connect_failed = [&](int code) {
    FRequestDoneError = code;
    FStatusCode = 404;
    FReasonPhrase = u"can't connect: " + ErrorText(code, *FCtrlSocket);
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
    FReasonPhrase = ErrorText(ErrCode, *FCtrlSocket);
    TriggerSessionConnected();
    return;
  }
  FReusedConnection = false;
  // NTLM authenticates a connection: on a new one to the proxy the exchange starts over.
  if (FProxyAuthNTLMState == ntlmDone && !FProxy.empty()) StartNtlm(true);
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
  // A kept-open connection that the server closed before it answered anything: a GET or HEAD
  // goes out once more on a new connection, instead of failing on a close it could not know of.
  if (!FCloseForRelocation && FReusedConnection && !FReuseRetried && FState == httpWaitingHeader &&
      FNext == TReceiver::Header && FHeaderLineCount == 0 && FReceiveBuffer.Empty() &&
      (FRequestType == httpGET || FRequestType == httpHEAD)) {
    FReuseRetried = true;
    FReusedConnection = false;
    FConnected = false;
    FProxyConnected = false;
    SetState(httpNotConnected);
    if (FState == httpNotConnected) PostLogin();
    return;
  }
  FReceiveBuffer.Clear();
  FConnected = false;
  FProxyConnected = false;
  if (FCloseForRelocation) {
    RelocateAfterClose();
    return;
  }
  // A kept-open connection that closes between requests changes nothing of the last one, and
  // neither does a reset after the answer's framing said it was complete.
  const bool answer_complete =
      FNext == TReceiver::None &&
      (FState == httpWaitingHeader || FState == httpWaitingBody || FState == httpBodyReceived);
  if (ErrCode != 0 && FState != httpReady && !answer_complete) FRequestDoneError = ErrCode;

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
