// THttpCli: authentication, the Authorization lines and the retry after a 401 or 407.
#include "http/httpcli.h"

#include "http/httpcli_internal.h"

using httpcli_detail::StartsWithNoCase;

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Authentication

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
