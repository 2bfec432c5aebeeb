// THttpCli: authentication: the Authorization lines and the retry after a 401 or 407.
//
// Each side (server, proxy) has one state per scheme. A challenge starts at most one scheme,
// the strongest offered one that can answer: NTLM, then Digest, then Basic. NTLM takes three
// messages on one connection (type 1, the server's type 2 in a 401 or 407, type 3); Digest
// and Basic one retry, Digest one more per stale nonce. An answer that refuses a finished
// exchange again is the request's result: there is no second round.
//
// The logged-on user's own credentials (the system's NTLM or Negotiate, where the platform has
// them) answer only a proxy's challenge, never a server's: a download server, or any host a
// relocation leads to, could otherwise collect the user's NTLM response.
#include "http/httpcli.h"

#include "http/http_auth.h"
#include "http/httpcli_internal.h"

namespace {

std::string Narrow(const String& s) {
  return text::UnicodeToAnsi(s);
}

// Header values built here are 8-bit text; each byte becomes one character again.
String Wide(const std::string& s) {
  return text::WidenBytes(s);
}

bool HasData(const String& challenge) {
  const String t = text::Trim(std::u16string_view(challenge));
  const auto blank = t.find(u' ');
  return blank != String::npos && !text::Trim(std::u16string_view(t).substr(blank)).empty();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Preparing a request

void THttpCli::PrepareAuth() {
  FAuthNTLMState = FProxyAuthNTLMState = ntlmNone;
  FAuthDigestState = FProxyAuthDigestState = digestNone;
  FAuthBasicState = FProxyAuthBasicState = basicNone;
  FNtlm.reset();
  FProxyNtlm.reset();
  FNtlmValue.clear();
  FProxyNtlmValue.clear();
  FDigestStaleRetries = FProxyDigestStaleRetries = 0;
  FAuthError.clear();

  // Preemptive answers, as ServerAuth and ProxyAuth ask, unless an option forbids the scheme.
  if (!FCurrUsername.empty()) {
    const String origin = FProtocol + u"://" + text::LowerAscii(std::u16string_view(FTargetHost)) +
                          u":" + FTargetPort;
    if (FServerAuth == httpAuthBasic && !(FOptions & httpoNoBasicAuth))
      FAuthBasicState = basicMsg1;
    else if (FServerAuth == httpAuthNtlm && !(FOptions & httpoNoNTLMAuth))
      StartNtlm(false);
    else if (FServerAuth == httpAuthDigest && !(FOptions & httpoNoDigestAuth) &&
             FDigest.Accepted() && FDigestOrigin == origin)
      FAuthDigestState = digestMsg1;  // the nonce of the last challenge, counted on
  }
  if (!FProxy.empty()) {
    if (FProxyAuth == httpAuthBasic && !(FOptions & httpoNoBasicAuth) &&
        !FCurrProxyUsername.empty())
      FProxyAuthBasicState = basicMsg1;
    else if (FProxyAuth == httpAuthNtlm && !(FOptions & httpoNoNTLMAuth))
      StartNtlm(true);
    else if (FProxyAuth == httpAuthDigest && !(FOptions & httpoNoDigestAuth) &&
             FProxyDigest.Accepted() && !FCurrProxyUsername.empty())
      FProxyAuthDigestState = digestMsg1;
  }
}

bool THttpCli::StartNtlm(bool Proxy) {
  THttpNTLMState& state = Proxy ? FProxyAuthNTLMState : FAuthNTLMState;
  std::unique_ptr<httpauth::TNtlmClient>& client = Proxy ? FProxyNtlm : FNtlm;
  std::string& value = Proxy ? FProxyNtlmValue : FNtlmValue;
  const String& user = Proxy ? FCurrProxyUsername : FCurrUsername;
  const String& password = Proxy ? FCurrProxyPassword : FCurrPassword;
  state = ntlmNone;
  client.reset();
  value.clear();
  if (user.empty() && !Proxy) return false;
  // With the system's credentials the proxy may offer Negotiate only.
  std::string scheme = "NTLM";
  if (user.empty()) {
    bool ntlm = false, negotiate = false;
    for (const String& c : FDoAuthor) {
      const httpauth::TAuthScheme s = httpauth::ChallengeScheme(std::u16string_view(c));
      ntlm = ntlm || s == httpauth::TAuthScheme::Ntlm;
      negotiate = negotiate || s == httpauth::TAuthScheme::Negotiate;
    }
    if (negotiate && !ntlm) scheme = "Negotiate";
  }
  client = std::make_unique<httpauth::TNtlmClient>(user, password, FLmCompatLevel, scheme);
  if (user.empty()) client->SetTarget(u"HTTP/" + FProxy);
  value = client->Negotiate();
  if (value.empty()) {
    FAuthError = Wide(client->Error());
    client.reset();
    return false;
  }
  // The exchange needs the connection kept open between its messages.
  if (Proxy) {
    if (FCurrProxyConnection.empty()) FCurrProxyConnection = u"Keep-Alive";
  } else if (FCurrConnection.empty()) {
    FCurrConnection = u"Keep-Alive";
  }
  state = ntlmMsg1;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Authorization lines

String THttpCli::AuthorizationLine(bool ForProxy, const String& Method) {
  // While the proxy wants its first NTLM message, the server hears nothing of credentials.
  if (!ForProxy && FProxyAuthNTLMState == ntlmMsg1) return String();
  THttpNTLMState& ntlm = ForProxy ? FProxyAuthNTLMState : FAuthNTLMState;
  const String prefix = ForProxy ? u"Proxy-Authorization: " : u"Authorization: ";
  const String& user = ForProxy ? FCurrProxyUsername : FCurrUsername;
  const String& password = ForProxy ? FCurrProxyPassword : FCurrPassword;
  if (ntlm == ntlmMsg1) return prefix + Wide(ForProxy ? FProxyNtlmValue : FNtlmValue);
  if (ntlm == ntlmMsg2) {
    ntlm = ntlmMsg3;
    return prefix + Wide(ForProxy ? FProxyNtlmValue : FNtlmValue);
  }
  if ((ForProxy ? FProxyAuthDigestState : FAuthDigestState) == digestMsg1) {
    httpauth::TDigestClient& digest = ForProxy ? FProxyDigest : FDigest;
    return prefix + Wide(digest.Authorization(Narrow(Method), Narrow(RequestTarget()), Narrow(user),
                                              Narrow(password)));
  }
  if ((ForProxy ? FProxyAuthBasicState : FAuthBasicState) == basicMsg1)
    return prefix + Wide(httpauth::BasicCredentials(Narrow(user), Narrow(password)));
  return String();
}

// ---------------------------------------------------------------------------------------------
// The retry at the end of an answer

bool THttpCli::AuthAllowed(THttpAuthType Type, bool Proxy, const String& Challenge) {
  // An option forbids its scheme whatever ServerAuth and ProxyAuth say: a caller that forbids
  // Basic never has its password sent in the clear.
  const THttpCliOptions forbidding = Type == httpAuthBasic  ? httpoNoBasicAuth
                                     : Type == httpAuthNtlm ? httpoNoNTLMAuth
                                                            : httpoNoDigestAuth;
  if (FOptions & forbidding) return false;
  bool allow = true;
  if (OnBeforeAuth) OnBeforeAuth(this, Type, Proxy, Challenge, allow);
  return allow;
}

void THttpCli::AuthStateError(const char16_t* Text) {
  FRequestDoneError = reqErrAuthState;
  FReasonPhrase = Text;
}

bool THttpCli::RetryNtlm(bool Proxy) {
  THttpNTLMState& state = Proxy ? FProxyAuthNTLMState : FAuthNTLMState;
  const String& user = Proxy ? FCurrProxyUsername : FCurrUsername;
  // The challenge values of NTLM (and, with the system's credentials, of Negotiate).
  const String* offered = nullptr;
  for (const String& c : FDoAuthor) {
    const httpauth::TAuthScheme s = httpauth::ChallengeScheme(std::u16string_view(c));
    if (s == httpauth::TAuthScheme::Ntlm ||
        (s == httpauth::TAuthScheme::Negotiate && Proxy && user.empty())) {
      // After the first message, the one carrying the server's type-2 message counts.
      if (offered == nullptr || (state == ntlmMsg1 && HasData(c) && !HasData(*offered)))
        offered = &c;
    }
  }
  if (state == ntlmMsg1) {
    // The answer to the first message: it must carry the challenge (type 2).
    std::unique_ptr<httpauth::TNtlmClient>& client = Proxy ? FProxyNtlm : FNtlm;
    std::string third;
    if (offered != nullptr && HasData(*offered) && client)
      third = client->Authenticate(Narrow(*offered));
    if (third.empty()) {
      FAuthError = client && !client->Error().empty()
                       ? Wide(client->Error())
                       : String(u"the NTLM challenge is missing or malformed");
      state = ntlmDone;
      AuthStateError(Proxy ? u"Unexpected ProxyAuthNTLMState" : u"Unexpected AuthNTLMState");
      return false;
    }
    (Proxy ? FProxyNtlmValue : FNtlmValue) = third;
    state = ntlmMsg2;
    return true;
  }
  // A third message refused (wrong credentials) ends here: the answer is the result.
  if (state != ntlmNone || offered == nullptr) return false;
  if ((Proxy ? FProxyAuthDigestState : FAuthDigestState) == digestMsg1 ||
      (Proxy ? FProxyAuthBasicState : FAuthBasicState) == basicMsg1)
    return false;
  if (user.empty() && !Proxy) return false;
  if (!AuthAllowed(httpAuthNtlm, Proxy, *offered)) return false;
  return StartNtlm(Proxy);
}

bool THttpCli::RetryDigest(bool Proxy) {
  THttpDigestState& state = Proxy ? FProxyAuthDigestState : FAuthDigestState;
  httpauth::TDigestClient& digest = Proxy ? FProxyDigest : FDigest;
  int& stale_retries = Proxy ? FProxyDigestStaleRetries : FDigestStaleRetries;
  if ((Proxy ? FCurrProxyUsername : FCurrUsername).empty()) return false;
  if (state == digestMsg1) {
    // Refused again: only a stale nonce is worth another try, and only a few times.
    for (const String& c : FDoAuthor) {
      if (httpauth::ChallengeScheme(std::u16string_view(c)) != httpauth::TAuthScheme::Digest)
        continue;
      httpauth::TDigestClient probe = digest;
      if (probe.Accept(Narrow(c)) && probe.Stale() && stale_retries < 2) {
        ++stale_retries;
        digest = probe;
        return true;
      }
    }
    return false;
  }
  if (state != digestNone) return false;
  if ((Proxy ? FProxyAuthNTLMState : FAuthNTLMState) != ntlmNone &&
      (Proxy ? FProxyAuthNTLMState : FAuthNTLMState) != ntlmDone)
    return false;
  if ((Proxy ? FProxyAuthBasicState : FAuthBasicState) == basicMsg1) return false;
  for (const String& c : FDoAuthor) {
    if (httpauth::ChallengeScheme(std::u16string_view(c)) != httpauth::TAuthScheme::Digest)
      continue;
    httpauth::TDigestClient probe;
    if (!probe.Accept(Narrow(c))) continue;
    if (!AuthAllowed(httpAuthDigest, Proxy, c)) return false;
    digest.Accept(Narrow(c));
    if (!Proxy)
      FDigestOrigin = FProtocol + u"://" + text::LowerAscii(std::u16string_view(FTargetHost)) +
                      u":" + FTargetPort;
    state = digestMsg1;
    return true;
  }
  return false;
}

bool THttpCli::RetryBasic(bool Proxy) {
  const String* offered = nullptr;
  for (const String& c : FDoAuthor) {
    if (httpauth::ChallengeScheme(std::u16string_view(c)) == httpauth::TAuthScheme::Basic) {
      offered = &c;
      break;
    }
  }
  THttpBasicState& basic = Proxy ? FProxyAuthBasicState : FAuthBasicState;
  const THttpNTLMState ntlm = Proxy ? FProxyAuthNTLMState : FAuthNTLMState;
  const THttpDigestState digest = Proxy ? FProxyAuthDigestState : FAuthDigestState;
  const bool other_in_progress = (ntlm != ntlmNone && ntlm != ntlmDone) || digest == digestMsg1;
  if (offered == nullptr || basic != basicNone || other_in_progress ||
      (Proxy ? FCurrProxyUsername : FCurrUsername).empty())
    return false;
  if (!AuthAllowed(httpAuthBasic, Proxy, *offered)) return false;
  basic = basicMsg1;
  return true;
}

void THttpCli::CheckAuthRetry() {
  // Progress of the exchanges in progress: done unless the answer asks again.
  if (FStatusCode != 401) {
    if (FAuthBasicState == basicMsg1) FAuthBasicState = basicDone;
    if (FAuthNTLMState == ntlmMsg1 || FAuthNTLMState == ntlmMsg3) FAuthNTLMState = ntlmDone;
    if (FAuthDigestState == digestMsg1) FAuthDigestState = digestDone;
  }
  if (FStatusCode != 407) {
    if (FProxyAuthBasicState == basicMsg1) FProxyAuthBasicState = basicDone;
    if (FProxyAuthNTLMState == ntlmMsg1 || FProxyAuthNTLMState == ntlmMsg3)
      FProxyAuthNTLMState = ntlmDone;
    if (FProxyAuthDigestState == digestMsg1) FProxyAuthDigestState = digestDone;
  }

  if (FRequestDoneError == 0 && (FStatusCode == 401 || FStatusCode == 407)) {
    const bool proxy = FStatusCode == 407;
    const bool retry = RetryNtlm(proxy) || (FRequestDoneError == 0 && RetryDigest(proxy)) ||
                       (FRequestDoneError == 0 && RetryBasic(proxy));
    if (retry) {
      FAuthError.clear();
      TruncateStreams();
      FReceiveBuffer.Clear();
      ResetResponseState(false, true);
      PostLogin();
      return;
    }
  }
  plat::PostMessage(Handle(), FMsg_WM_HTTP_REQUEST_DONE, static_cast<plat::WParam>(FRequestType),
                    static_cast<plat::LParam>(FRequestDoneError & 0xFFFF));
}
