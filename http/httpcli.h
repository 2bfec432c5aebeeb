// THttpCli: the event-driven HTTP/1.0 and HTTP/1.1 client component.
//
// One request at a time, driven entirely by the notifications of its socket (CtrlSocket) and
// by three private messages of its own, all delivered to the hidden window of the thread that
// owns it. Each request kind exists as a synchronous call (Get, Head, Post, Put, Del, Close:
// returns when the request has ended, pumping the thread's messages meanwhile) and as an
// asynchronous one (GetASync ...: returns at once; OnRequestDone reports the end).
//
// A request: StartRequest splits URL, resets the response state, reuses an open connection to
// the same host, port and protocol or resolves and connects anew; the request header goes to
// the socket in one piece (POST and PUT bodies follow from SendStream); the answer's header is
// read line by line, its body written block by block through the content-coding handler into
// RcvdStream and reported by OnDocData; a Location field is followed up to
// LocationChangeMaxCount times within the same request; entering httpReady ends the request
// and posts the request-done message, unless an authentication retry starts then.
//
// Failures during a request never raise from the asynchronous calls: they set StatusCode,
// ReasonPhrase and the error code passed to OnRequestDone (download_client.h lists them). The
// synchronous calls raise EHttpException afterwards. Misuse (busy, nothing to post, a bad
// RequestVer) raises at once.
//
// Framing (RFC 9112 section 6): Transfer-Encoding is a case-insensitive list of codings over
// any number of fields; a final "chunked" means chunked framing, any other coding on an answer
// with a body fails the request (15). With Transfer-Encoding, Content-Length is ignored and
// the connection is not reused. Content-Length must be one non-negative decimal number (a
// repetition or list only of the same number), else the request fails (14). The outcome is
// success only when the framing says the body is complete; bytes after a complete answer are
// dropped and the connection is not reused.
//
// Requests: the request target is sent without its fragment and with control characters and
// blanks percent-encoded; a host, port or header setting that would put such a character into
// the request fails the request before it goes out (17), a Location with them in its host or
// port is refused (17). An IPv6 literal is bracketed in the Host line. A relocation to another
// origin (protocol, host or port) leaves the server credentials behind. A GET or HEAD sent on a
// kept-open connection that the server closed meanwhile is sent once more on a new connection.
//
// Threads: create, use and destroy the client on one thread; every event fires there, from
// message handlers or from the pump inside a synchronous call. Handlers may call Abort (and
// start a new request from OnRequestDone); starting a request while one runs raises "busy".
//
// Ownership: the client owns CtrlSocket, the content-coding handler and its buffers.
// RcvdStream and SendStream are borrowed: the client writes to (reads from) whatever they refer
// to when a block moves, truncates RcvdStream back before a relocation or an authentication
// retry, and never frees them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "events/netwnd.h"
#include "http/chunked.h"
#include "http/content_coding.h"
#include "http/download_client.h"
#include "http/http_auth.h"
#include "http/receive_buffer.h"
#include "http/request.h"
#include "net/wsocket.h"

enum THttpState {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting
};

enum THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm, httpAuthDigest };
enum THttpNTLMState { ntlmNone, ntlmMsg1, ntlmMsg2, ntlmMsg3, ntlmDone };
enum THttpBasicState { basicNone, basicMsg1, basicDone };
enum THttpDigestState { digestNone, digestMsg1, digestDone };

// Options, as bits of THttpCliOptions.
enum THttpCliOption : std::uint32_t {
  httpoNoBasicAuth = 1,
  httpoNoNTLMAuth = 2,
  httpoBandwidthControl = 4,
  httpoEnableContentCoding = 8,
  httpoUseQuality = 16,
  httpoNoDigestAuth = 32,
};
using THttpCliOptions = std::uint32_t;

// Limits on what a server may send before the body: one header line, and the whole header.
constexpr std::size_t kHttpMaxHeaderLine = 64 * 1024;
constexpr std::size_t kHttpMaxHeaderSize = 1024 * 1024;

// The name of a state ("httpReady"), or "INVALID STATE".
const char* HttpStateName(THttpState State);

using TBeforeHeaderSendEvent =
    std::function<void(TObject* Sender, const String& Method, std::vector<String>& Headers)>;
using THttpCommandEvent = std::function<void(TObject* Sender, String& S)>;
using THttpSendDataEvent =
    std::function<void(TObject* Sender, const void* Buffer, std::int32_t Len)>;
using TCookieRcvdEvent = std::function<void(TObject* Sender, const String& Data, bool& Accept)>;
using TLocationChangeExceeded =
    std::function<void(TObject* Sender, int RelocationCount, bool& AllowMoreRelocations)>;
using THttpBeforeAuthEvent = std::function<void(
    TObject* Sender, THttpAuthType AuthType, bool ProxyAuth, const String& AuthHdr, bool& Allow)>;
using THttpDataPushEvent = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const String& Msg)>;

class THttpCli : public TNetWndControl, public IDownloadClient {
 public:
  explicit THttpCli(TComponent* AOwner);
  ~THttpCli() override;

  // --- Requests -----------------------------------------------------------------------------
  void Get() override;
  void Head();
  void Post();
  void Put();
  void Del();
  void Close();
  void GetASync();
  void HeadASync();
  void PostASync();
  void PutASync();
  void DelASync();
  void CloseAsync();
  void Abort() override;

  // The client and its socket move together: a detach that either of them refuses leaves
  // both where they were.
  void ThreadAttach() override;
  void ThreadDetach() override;

  // --- Settings -----------------------------------------------------------------------------
  const String& URL() const override { return FURL; }
  void SetURL(const String& Value) override { FURL = Value; }
  TStream* RcvdStream() const override { return FRcvdStream; }
  void SetRcvdStream(TStream* Value) override { FRcvdStream = Value; }
  TStream* SendStream() const { return FSendStream; }
  void SetSendStream(TStream* Value) { FSendStream = Value; }

  const String& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const String& Value) { FLocalAddr = Value; }
  const String& LocalAddr6() const { return FLocalAddr6; }
  void SetLocalAddr6(const String& Value) { FLocalAddr6 = Value; }
  TSocketFamily SocketFamily() const { return FSocketFamily; }
  void SetSocketFamily(TSocketFamily Value) { FSocketFamily = Value; }
  const String& Proxy() const { return FProxy; }
  void SetProxy(const String& Value) { FProxy = Value; }
  const String& ProxyPort() const { return FProxyPort; }
  void SetProxyPort(const String& Value) { FProxyPort = Value; }
  const String& Agent() const { return FAgent; }
  void SetAgent(const String& Value) { FAgent = Value; }
  const String& Accept() const { return FAccept; }
  void SetAccept(const String& Value) { FAccept = Value; }
  const String& AcceptLanguage() const { return FAcceptLanguage; }
  void SetAcceptLanguage(const String& Value) { FAcceptLanguage = Value; }
  const String& Sender() const { return FSender; }
  void SetSender(const String& Value) { FSender = Value; }
  const String& Reference() const { return FReference; }
  void SetReference(const String& Value) { FReference = Value; }
  const String& Connection() const { return FConnection; }
  void SetConnection(const String& Value) { FConnection = Value; }
  const String& ProxyConnection() const { return FProxyConnection; }
  void SetProxyConnection(const String& Value) { FProxyConnection = Value; }
  const String& Username() const { return FUsername; }
  void SetUsername(const String& Value) { FUsername = Value; }
  const String& Password() const { return FPassword; }
  void SetPassword(const String& Value) { FPassword = Value; }
  const String& ProxyUsername() const { return FProxyUsername; }
  void SetProxyUsername(const String& Value) { FProxyUsername = Value; }
  const String& ProxyPassword() const { return FProxyPassword; }
  void SetProxyPassword(const String& Value) { FProxyPassword = Value; }
  bool NoCache() const { return FNoCache; }
  void SetNoCache(bool Value) { FNoCache = Value; }
  TDateTime ModifiedSince() const { return FModifiedSince; }
  void SetModifiedSince(TDateTime Value) { FModifiedSince = Value; }
  const String& Cookie() const { return FCookie; }
  void SetCookie(const String& Value) { FCookie = Value; }
  const String& ContentTypePost() const { return FContentTypePost; }
  void SetContentTypePost(const String& Value) { FContentTypePost = Value; }
  const String& ContentRangeBegin() const { return FContentRangeBegin; }
  void SetContentRangeBegin(const String& Value) { FContentRangeBegin = Value; }
  const String& ContentRangeEnd() const { return FContentRangeEnd; }
  void SetContentRangeEnd(const String& Value) { FContentRangeEnd = Value; }
  // Sent as If-Range with the next range request; cleared with the range.
  const String& IfRange() const { return FIfRange; }
  void SetIfRange(const String& Value) { FIfRange = Value; }
  void SetResumeFrom(std::int64_t Begin, const String& Validator) override;
  String AnswerField(const String& Name) const override;
  String AnswerFieldLines(const String& Name) const override;
  const String& AcceptRanges() const { return FAcceptRanges; }
  const String& RequestVer() const { return FRequestVer; }
  // "1.0" or "1.1"; anything else raises "Insupported HTTP version" (code 5).
  void SetRequestVer(const String& Value);
  bool FollowRelocation() const { return FFollowRelocation; }
  void SetFollowRelocation(bool Value) { FFollowRelocation = Value; }
  int LocationChangeMaxCount() const { return FLocationChangeMaxCount; }
  void SetLocationChangeMaxCount(int Value) { FLocationChangeMaxCount = Value; }
  int LocationChangeCurCount() const { return FLocationChangeCurCount; }
  THttpAuthType ServerAuth() const { return FServerAuth; }
  void SetServerAuth(THttpAuthType Value) { FServerAuth = Value; }
  THttpAuthType ProxyAuth() const { return FProxyAuth; }
  void SetProxyAuth(THttpAuthType Value) { FProxyAuth = Value; }
  std::uint32_t BandwidthLimit() const { return FBandwidthLimit; }
  void SetBandwidthLimit(std::uint32_t Value) { FBandwidthLimit = Value; }
  std::uint32_t BandwidthSampling() const { return FBandwidthSampling; }
  void SetBandwidthSampling(std::uint32_t Value) { FBandwidthSampling = Value; }
  // Reading refreshes the content-coding bits from the handler.
  THttpCliOptions Options() const;
  void SetOptions(THttpCliOptions Value);
  // Idle limit of the synchronous calls, in seconds.
  std::uint32_t Timeout() const { return FTimeout; }
  void SetTimeout(std::uint32_t Value) { FTimeout = Value; }
  const String& SocksServer() const { return FSocksServer; }
  void SetSocksServer(const String& Value) { FSocksServer = Value; }
  const String& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const String& Value) { FSocksLevel = Value; }
  const String& SocksPort() const { return FSocksPort; }
  void SetSocksPort(const String& Value) { FSocksPort = Value; }
  const String& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const String& Value) { FSocksUsercode = Value; }
  const String& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const String& Value) { FSocksPassword = Value; }
  // https: a PEM file of roots trusted besides the system's (a vendor's own root, the tests'
  // root); empty for none. The certificate is always verified.
  const String& SslTrustedRootsFile() const { return FSslTrustedRootsFile; }
  void SetSslTrustedRootsFile(const String& Value) { FSslTrustedRootsFile = Value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

  // Forwarded to the socket as well, so both pump the same way.
  void SetMultiThreaded(bool Value) override;
  void SetTerminated(bool Value) override;
  void SetOnMessagePump(TNotifyEvent Value) override;
  void SetOnBgException(TNetBgExceptionEvent Value) override;

  // --- Results ------------------------------------------------------------------------------
  THttpState State() const { return FState; }
  TWSocket* CtrlSocket() const { return FCtrlSocket.get(); }
  THttpContCodHandler* ContentCodingHnd() const { return FContentCodingHnd.get(); }
  const String& LastResponse() const { return FLastResponse; }
  std::int32_t StatusCode() const override { return FStatusCode; }
  const String& ReasonPhrase() const { return FReasonPhrase; }
  std::int64_t ContentLength() const override { return FContentLength; }
  const String& ContentType() const { return FContentType; }
  const String& TransferEncoding() const { return FTransferEncoding; }
  const String& ContentEncoding() const { return FContentEncoding; }
  std::int64_t RcvdCount() const override { return FRcvdCount; }
  std::int64_t SentCount() const { return FSentCount; }
  const String& DnsResult() const { return FDnsResult; }
  const std::vector<String>& AuthorizationRequest() const { return FDoAuthor; }
  const std::vector<String>& RcvdHeader() const { return FRcvdHeader; }
  const String& DocName() const { return FDocName; }
  const String& Hostname() const { return FHostName; }
  const String& Protocol() const { return FProtocol; }
  const String& Location() const { return FLocation; }
  void SetLocation(const String& Value) { FLocation = Value; }
  // The request's error code (its low 16 bits are OnRequestDone's ErrCode).
  int RequestDoneError() const { return FRequestDoneError; }
  // Size of RcvdStream when the current document began.
  std::int64_t RcvdStreamStartSize() const { return FRcvdStreamStartSize; }
  THttpBasicState AuthBasicState() const { return FAuthBasicState; }
  THttpBasicState ProxyAuthBasicState() const { return FProxyAuthBasicState; }
  THttpNTLMState AuthNTLMState() const { return FAuthNTLMState; }
  THttpNTLMState ProxyAuthNTLMState() const { return FProxyAuthNTLMState; }
  THttpDigestState AuthDigestState() const { return FAuthDigestState; }
  THttpDigestState ProxyAuthDigestState() const { return FProxyAuthDigestState; }
  // NTLM responses: 0-2 LM and NTLMv1 (NTLM2 session response when the server asks for it),
  // 3 and above LMv2 and NTLMv2 only.
  int LmCompatLevel() const { return FLmCompatLevel; }
  // The Digest challenge last accepted from the server (from the proxy), with its nonce count.
  const httpauth::TDigestClient& AuthDigestInfo() const { return FDigest; }
  const httpauth::TDigestClient& AuthDigestProxyInfo() const { return FProxyDigest; }
  // The hash of the body for qop "auth-int"; that quality of protection is not offered by this
  // client, so it stays empty.
  const String& AuthDigestEntityHash() const { return FAuthDigestEntityHash; }
  // Why an offered scheme could not answer the last challenge (the system's credentials are
  // missing, the server's NTLM challenge was malformed ...); empty when none failed.
  const String& AuthError() const { return FAuthError; }

  // --- Events -------------------------------------------------------------------------------
  void SetOnDocData(TDocDataEvent Value) override { OnDocData = std::move(Value); }
  void SetOnRequestDone(THttpRequestDone Value) override { OnRequestDone = std::move(Value); }

  TNotifyEvent OnStateChange;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnSessionClosed;
  TNotifyEvent OnRequestHeaderBegin;
  TBeforeHeaderSendEvent OnBeforeHeaderSend;
  THttpCommandEvent OnCommand;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnSendBegin;
  THttpSendDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderData;
  TCookieRcvdEvent OnCookie;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnLocationChange;
  TLocationChangeExceeded OnLocationChangeExceeded;
  THttpRequestDone OnRequestDone;
  THttpBeforeAuthEvent OnBeforeAuth;
  THttpDataPushEvent OnDataPush;
  TNotifyEvent OnDataPush2;
  TNotifyEvent OnTrace;  // stored only
  THttpDataPushEvent OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TNotifyEvent OnSocketError;

 protected:
  // For subclasses that bring their own socket (a test double); nullptr creates a TWSocket.
  THttpCli(TComponent* AOwner, std::unique_ptr<TWSocket> Socket);

  // --- Message ids and dispatch -------------------------------------------------------------
  int MessageIdsNeeded() override { return TNetWndControl::MessageIdsNeeded() + 3; }
  void ClaimMessageIds() override;
  void ReturnMessageIds() override;
  void HandleWindowMessage(TMessage& MsgRec) override;
  void AbortAfterBgException() override;

  // --- Steps of a request -------------------------------------------------------------------
  virtual void StartRequest(THttpRequest Rq);
  virtual void RunRequestSync(THttpRequest Rq);
  virtual void Login();
  virtual void SendRequest(const String& Method, const String& Version);
  virtual void ProcessHeaderLine();
  virtual void GetBodyLineNext();
  virtual void ResetResponseState(bool KeepLocation, bool KeepDocName);
  virtual void StartRelocation();
  virtual void RelocateAfterClose();
  virtual void SetReadyUnlessSending();
  virtual void PostSetReady();
  virtual void SetState(THttpState NewState);
  virtual void SetupSocketForConnect();

  // Socket notifications.
  virtual void SocketDNSLookupDone(std::uint16_t ErrCode);
  virtual void SocketSessionConnected(std::uint16_t ErrCode);
  virtual void SocketDataAvailable(std::uint16_t ErrCode);
  virtual void SocketDataSent(std::uint16_t ErrCode);
  virtual void SocketSessionClosed(std::uint16_t ErrCode);

  // Event triggers.
  virtual void TriggerStateChange();
  virtual void TriggerSessionConnected();
  virtual void TriggerSessionClosed();
  virtual void TriggerRequestHeaderBegin();
  virtual void TriggerBeforeHeaderSend(const String& Method, std::vector<String>& Headers);
  virtual void TriggerCommand(String& S);
  virtual void TriggerRequestHeaderEnd();
  virtual void TriggerSendBegin();
  virtual void TriggerSendData(const void* Buffer, std::int32_t Len);
  virtual void TriggerSendEnd();
  virtual void TriggerHeaderBegin();
  virtual void TriggerHeaderData();
  virtual void TriggerCookie(const String& Data, bool& Accept);
  virtual void TriggerHeaderEnd();
  virtual void TriggerDocBegin();
  virtual void TriggerDocData(const void* Buffer, std::int32_t Len);
  virtual void TriggerDocEnd();
  virtual void TriggerLocationChange();
  virtual void TriggerLocationChangeExceeded(int RelocationCount, bool& AllowMoreRelocations);
  virtual void TriggerRequestDone(THttpRequest RqType, std::uint16_t ErrCode);
  virtual void TriggerDataPush(std::uint16_t ErrCode);
  virtual void TriggerDataPush2();
  virtual void TriggerSocketError();

 private:
  enum class TReceiver { None, Header, Body };

  void Init(std::unique_ptr<TWSocket> Socket);
  void ConnectionReady();
  void ReceiveHeaderLines(std::uint16_t ErrCode);
  void HeaderlessHtml();
  void HeaderEnded();
  void AcceptLocation(const String& Value);
  void BodyStep();
  void WriteBody(const char* Data, std::int64_t Len);
  void DocumentEnd();
  bool BodyIncomplete() const;
  bool CountRelocation();
  // The fields taken from an answer's header and the reception counters, as before any answer.
  void ClearHeaderState();
  void TruncateStreams();
  void PostLogin();
  void SendBodyBlock();
  // Ends the running request at once with an error of its own (a failed stream write, a bad
  // status line, a header too large, a bad chunk size): the connection is dropped and the
  // request reaches httpReady.
  void FailRequest(int ErrCode, const String& Phrase);
  // Ends the running request, or the retry or relocation hop queued while it stands at
  // httpReady, as Abort does, with this error code and reason phrase.
  void EndRunningRequest(int ErrCode, const String& Phrase);
  // The body framing of the answer whose header just ended: false when it failed the request
  // (an invalid Content-Length, a transfer coding that cannot be decoded on a body).
  bool DecideFraming(bool HasBody);
  // ContentLength, the invalid-length flag and TransferEncoding from the framing fields so far.
  void ReadFramingFields();
  // Received bytes that belong to no answer (after a complete one, or between requests): they
  // are dropped and the connection is not used again.
  void DropStrayBytes();
  // Why the request may not go out: a control character or blank that the URL, a Location or a
  // setting would put into the request line or a header, or a malformed host or port. Empty
  // when it is fit.
  String UnsafeRequestText() const;
  // A relocation to another origin: the server credentials of this request and every server
  // authentication in progress stay behind.
  void ForgetServerCredentials();
  // Ends the running request at once through httpAborting: a name lookup is cancelled, the
  // connection closed, StatusCode 404 with this error code and phrase, then httpReady.
  void AbortRequest(int ErrCode, const String& Phrase);
  // Ends the request from the synchronous wait: Aborted (termination) or timed out.
  void EndRequestFromWait(bool TimedOut);
  bool Running() const { return FState != httpReady && FState != httpAborting; }
  void CheckAuthRetry();
  // At the start of a request: every exchange back to none, then the preemptive ones that
  // ServerAuth and ProxyAuth ask for.
  void PrepareAuth();
  // One scheme's decision at the end of an answer, for the server or the proxy: true when it
  // retries (the retry is then prepared).
  bool RetryNtlm(bool Proxy);
  bool RetryDigest(bool Proxy);
  bool RetryBasic(bool Proxy);
  // Whether the owner and the options let a scheme start.
  bool AuthAllowed(THttpAuthType Type, bool Proxy, const String& Challenge);
  // Starts an NTLM exchange at its first message (a new client object; false when its type-1
  // message cannot be made).
  bool StartNtlm(bool Proxy);
  // Ends the request: an exchange in progress cannot go on (error 6).
  void AuthStateError(const char16_t* Text);
  String AuthorizationLine(bool ForProxy, const String& Method);
  String RequestTarget() const;
  // "host:port" of the target when the request goes through a tunnel of the HTTP proxy (https
  // with Proxy set), else empty.
  String TunnelTarget() const;
  // The connection goes through the SOCKS server (SocksServer set, no Proxy).
  bool ViaSocks() const;

  std::unique_ptr<TWSocket> FCtrlSocket;
  std::unique_ptr<THttpContCodHandler> FContentCodingHnd;
  std::vector<String> FRcvdHeader;
  std::vector<String> FDoAuthor;
  AnsiString FReqStream;
  THttpReceiveBuffer FReceiveBuffer;
  std::vector<char> FSendBuffer;
  THttpChunkParser FChunk;

  // Settings.
  String FURL;
  TStream* FRcvdStream = nullptr;
  TStream* FSendStream = nullptr;
  String FLocalAddr = u"0.0.0.0";
  String FLocalAddr6 = u"::";
  TSocketFamily FSocketFamily = sfIPv4;
  String FProxy;
  String FProxyPort = u"80";
  String FSslTrustedRootsFile;
  // A hop of the current request went over https: a relocation to http is refused.
  bool FSecureChain = false;
  String FAgent = u"Mozilla/4.0";
  String FAccept = u"image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  String FAcceptLanguage;
  String FSender;
  String FReference;
  String FConnection;
  String FProxyConnection;
  String FUsername, FPassword, FProxyUsername, FProxyPassword;
  bool FNoCache = false;
  TDateTime FModifiedSince = 0;
  String FCookie;
  String FContentTypePost = u"application/x-www-form-urlencoded";
  String FContentRangeBegin, FContentRangeEnd, FAcceptRanges, FIfRange;
  String FRequestVer = u"1.0";
  bool FFollowRelocation = true;
  int FLocationChangeMaxCount = 5;
  int FLocationChangeCurCount = 0;
  THttpAuthType FServerAuth = httpAuthNone;
  THttpAuthType FProxyAuth = httpAuthNone;
  std::uint32_t FBandwidthLimit = 10000;
  std::uint32_t FBandwidthSampling = 1000;
  THttpCliOptions FOptions = 0;
  std::uint32_t FTimeout = 30;
  String FSocksServer, FSocksLevel, FSocksPort, FSocksUsercode, FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;

  // The request.
  THttpState FState = httpReady;
  THttpRequest FRequestType = httpABORT;
  int FRequestDoneError = 0;
  // Tags the private messages of one request, so a message left over from an ended request
  // never acts on the next one.
  std::uint32_t FRequestSerial = 0;
  String FCurrUsername, FCurrPassword, FCurrConnection, FCurrProxyConnection;
  String FCurrProxyUsername, FCurrProxyPassword;
  String FTargetHost, FTargetPort, FPath, FProtocol;
  String FHostName, FPort;
  String FCurrentHost, FCurrentPort, FCurrentProtocol;
  // The target of the tunnel the connection carries ("host:port"), empty without one.
  String FCurrentTunnelTarget;
  bool FConnected = false;
  bool FProxyConnected = false;
  String FDnsResult;
  std::uint32_t FMsg_WM_HTTP_REQUEST_DONE = 0;
  std::uint32_t FMsg_WM_HTTP_SET_READY = 0;
  std::uint32_t FMsg_WM_HTTP_LOGIN = 0;
  bool FWMLoginQueued = false;
  bool FAllowedToSend = false;
  bool FDelaySetReady = false;
  THttpNTLMState FAuthNTLMState = ntlmNone, FProxyAuthNTLMState = ntlmNone;
  THttpDigestState FAuthDigestState = digestNone, FProxyAuthDigestState = digestNone;
  THttpBasicState FAuthBasicState = basicNone, FProxyAuthBasicState = basicNone;
  int FLmCompatLevel = 3;
  // The exchanges' builders and the messages they made for the next request.
  std::unique_ptr<httpauth::TNtlmClient> FNtlm, FProxyNtlm;
  std::string FNtlmValue, FProxyNtlmValue;
  httpauth::TDigestClient FDigest, FProxyDigest;
  // Host and port the accepted Digest challenge came from (a preemptive Digest answer goes
  // only there), and the stale-nonce retries of this request.
  String FDigestOrigin;
  int FDigestStaleRetries = 0, FProxyDigestStaleRetries = 0;
  String FAuthDigestEntityHash;
  String FAuthError;

  // The answer.
  std::int32_t FStatusCode = 0;
  String FReasonPhrase;
  std::int64_t FContentLength = -1;
  String FContentType, FTransferEncoding, FContentEncoding;
  std::int64_t FRcvdCount = 0;
  std::int64_t FSentCount = 0;
  String FLastResponse;
  int FHeaderLineCount = 0;
  std::size_t FHeaderBytes = 0;
  bool FHeaderEndFlag = false;
  TReceiver FNext = TReceiver::None;
  String FResponseVer;
  bool FCloseReq = false;
  bool FLocationFlag = false;
  String FLocation;
  String FDocName;
  // The body phase began and the document has not been completed by its own framing.
  bool FBodyExpected = false;
  // The answer's body is chunked (its final transfer coding is "chunked").
  bool FChunked = false;
  // The values of the answer's Content-Length and Transfer-Encoding fields, a folded
  // continuation line joined to its field; the field a continuation line would continue; and
  // whether the Content-Length values (one, or their combination) are invalid.
  enum class TFramingField { None, ContentLength, TransferEncoding };
  std::vector<String> FContentLengthFields, FTransferEncodingFields;
  TFramingField FLastFramingField = TFramingField::None;
  bool FContentLengthBad = false;
  // The request went out on a connection kept open from an earlier exchange, and whether the
  // one retry on a fresh connection, for a server that closed it meanwhile, has been used.
  bool FReusedConnection = false;
  bool FReuseRetried = false;

  // The document.
  std::int64_t FBodyDataLen = 0;
  int FBodyLineCount = 0;
  std::int64_t FRcvdStreamStartSize = 0;
  // The socket's close continues a relocation instead of ending the request.
  bool FCloseForRelocation = false;
  // Runs of the close handling, to tell whether closing the socket ran it.
  std::uint32_t FSessionClosedCount = 0;
};
