// HTTP authentication: the message builders of the Basic, Digest (RFC 7616) and NTLM schemes,
// free of any socket, so that the HTTP client and the socket's proxy tunnel share them and they
// can be tested and fuzzed alone.
//
// Every value here is a complete header value ("NTLM TlRMTVNT...", "Digest username=...",
// "Basic dXNlcjpwYXNz"); the caller puts "Authorization: " or "Proxy-Authorization: " in front.
// Challenges are the values of the answer's "WWW-Authenticate" or "Proxy-Authenticate" lines,
// as received. They are hostile input: every parser here checks its bounds and refuses what it
// cannot use instead of guessing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace httpauth {

// --- Base64 (standard alphabet, "=" padding) ---------------------------------------------------

std::string Base64Encode(std::string_view bytes);
// False on a character outside the alphabet, on bad padding or a length that is not a
// multiple of 4 (blanks around the text are ignored). bytes is replaced.
bool Base64Decode(std::string_view text, std::string& bytes);

// "Basic " + base64 of user ":" password (8-bit text as given).
std::string BasicCredentials(const AnsiString& user, const AnsiString& password);

// --- Choice of scheme ------------------------------------------------------------------------

enum class TAuthScheme { None, Basic, Digest, Ntlm, Negotiate };

// The scheme a challenge value names: its first token compared without regard to case
// ("NTLM", "Negotiate", "Digest", "Basic"); None for anything else.
TAuthScheme ChallengeScheme(std::string_view value);
TAuthScheme ChallengeScheme(std::u16string_view value);

// The strongest scheme among the challenge values, NTLM, then Digest, then Basic, and the
// index of its (first) value; scheme None and index npos when none is offered. A Digest
// challenge that TDigestClient cannot use does not count as offered. "Negotiate" is
// picked only with allow_negotiate (the logged-on user's credentials through the system, where
// the platform has them), and then before NTLM.
struct TChallengePick {
  TAuthScheme scheme = TAuthScheme::None;
  std::size_t index = static_cast<std::size_t>(-1);
};
TChallengePick PickChallenge(const std::vector<std::string>& values, bool allow_negotiate = false);
TChallengePick PickChallenge(const std::vector<String>& values, bool allow_negotiate = false);

// --- Sources that tests fix ------------------------------------------------------------------

// Fills the buffer with unpredictable bytes (client nonces, client challenges).
using TRandomSource = std::function<void(std::uint8_t* out, std::size_t len)>;
// The current time as a Windows FILETIME: 100 ns units since 1601-01-01 UTC.
using TFileTimeSource = std::function<std::uint64_t()>;

// The system's random source and clock.
void SystemRandom(std::uint8_t* out, std::size_t len);
std::uint64_t SystemFileTime();

// --- Digest (RFC 7616) -----------------------------------------------------------------------

// One Digest exchange: accepts a challenge, then builds Authorization values for it, counting
// the nonce. Algorithms MD5, MD5-sess, SHA-256, SHA-256-sess; qop "auth", or the RFC 2069 form
// when the challenge names no qop. "userhash" is not supported: the user name is always sent
// as it is, also to a server that offered userhash=true (one that insists on the hashed form
// refuses the answer, and the request ends with its 401).
class TDigestClient {
 public:
  TDigestClient();
  explicit TDigestClient(TRandomSource random);

  // Parses a "Digest ..." challenge. False (and the previous state kept) when it cannot be
  // used: not Digest, malformed, no nonce, an unknown algorithm, a qop list without "auth".
  // A new nonce starts the nonce count at 1.
  bool Accept(std::string_view challenge_header_value);
  // The last accepted challenge said stale=true: the credentials were right, the nonce old;
  // retry with the new nonce without asking the user again.
  bool Stale() const { return stale_; }
  bool Accepted() const { return !nonce_.empty(); }

  // The full "Digest username=..." value for one request; advances the nonce count. uri is
  // the request target as on the request line. Empty before a challenge was accepted.
  std::string Authorization(std::string_view method, std::string_view uri, const AnsiString& user,
                            const AnsiString& password);

  // The parsed challenge, for the client's AuthDigest* properties.
  const std::string& Realm() const { return realm_; }
  const std::string& Nonce() const { return nonce_; }
  const std::string& Opaque() const { return opaque_; }
  const std::string& Algorithm() const { return algorithm_; }
  // "auth" or empty (RFC 2069 form).
  const std::string& Qop() const { return qop_; }
  std::uint32_t NonceCount() const { return nc_; }
  // The client nonce of the last Authorization value.
  const std::string& ClientNonce() const { return cnonce_; }

 private:
  TRandomSource random_;
  std::string realm_, nonce_, opaque_, algorithm_, qop_, cnonce_;
  bool sha256_ = false, sess_ = false, stale_ = false;
  std::uint32_t nc_ = 0;
};

// The request-digest computation alone, for tests against published examples: returns the
// lower-case hex response. algorithm as in a challenge ("MD5", "SHA-256-sess" ...); qop "auth"
// or empty.
std::string DigestResponse(std::string_view algorithm, std::string_view user,
                           std::string_view realm, std::string_view password,
                           std::string_view nonce, std::string_view nc, std::string_view cnonce,
                           std::string_view qop, std::string_view method, std::string_view uri);

// --- NTLM ------------------------------------------------------------------------------------

// The pure NTLM message builders, with every input explicit, for tests against the protocol
// documentation's examples and for TNtlmClient.
namespace ntlm {

// Negotiate flags.
constexpr std::uint32_t kNegotiateUnicode = 0x00000001;
constexpr std::uint32_t kNegotiateOem = 0x00000002;
constexpr std::uint32_t kRequestTarget = 0x00000004;
constexpr std::uint32_t kNegotiateSign = 0x00000010;
constexpr std::uint32_t kNegotiateSeal = 0x00000020;
constexpr std::uint32_t kNegotiateLmKey = 0x00000080;
constexpr std::uint32_t kNegotiateNtlm = 0x00000200;
constexpr std::uint32_t kNegotiateAnonymous = 0x00000800;
constexpr std::uint32_t kNegotiateOemDomainSupplied = 0x00001000;
constexpr std::uint32_t kNegotiateOemWorkstationSupplied = 0x00002000;
constexpr std::uint32_t kNegotiateAlwaysSign = 0x00008000;
constexpr std::uint32_t kTargetTypeDomain = 0x00010000;
constexpr std::uint32_t kTargetTypeServer = 0x00020000;
constexpr std::uint32_t kNegotiateExtendedSessionSecurity = 0x00080000;
constexpr std::uint32_t kNegotiateTargetInfo = 0x00800000;
constexpr std::uint32_t kNegotiateVersion = 0x02000000;
constexpr std::uint32_t kNegotiate128 = 0x20000000;
constexpr std::uint32_t kNegotiateKeyExchange = 0x40000000;
constexpr std::uint32_t kNegotiate56 = 0x80000000;

// A parsed CHALLENGE_MESSAGE (type 2).
struct TChallenge {
  std::uint32_t flags = 0;
  std::uint8_t server_challenge[8] = {};
  std::string target_name;  // bytes as sent (UTF-16LE or OEM)
  std::string target_info;  // AV pairs, bytes as sent
  bool has_timestamp = false;
  std::uint64_t timestamp = 0;  // MsvAvTimestamp, when present
};
// False on anything malformed: wrong signature or type, fields outside the message, AV pairs
// running past their field or without MsvAvEOL.
bool ParseChallenge(std::string_view message, TChallenge& out);

// NTOWFv1 = MD4(UTF-16LE(password)); LMOWFv1 from the upper-cased OEM password (14 bytes).
std::string NtOwfV1(const String& password);
std::string LmOwfV1(const String& password);
// NTOWFv2 = HMAC-MD5(NTOWFv1, UTF-16LE(upper(user) + domain)).
std::string NtOwfV2(const String& user, const String& domain, const String& password);

// The 24-byte DES response of a 16-byte key to an 8-byte challenge.
std::string DesLongResponse(std::string_view key16, std::string_view challenge8);

struct TResponses {
  std::string lm;  // LmChallengeResponse
  std::string nt;  // NtChallengeResponse
  std::string session_base_key;
};
// NTLMv1 (with NTLM2 session security, the client challenge goes into the LM field).
TResponses ResponsesV1(const String& password, const std::uint8_t server_challenge[8],
                       const std::uint8_t client_challenge[8], bool extended_session_security,
                       bool send_lm);
// NTLMv2: LMv2 and NTLMv2 with the given target info and timestamp. An empty LM response is
// sent (24 zero bytes) when the challenge carried a timestamp, as the documentation asks.
TResponses ResponsesV2(const String& user, const String& domain, const String& password,
                       const std::uint8_t server_challenge[8],
                       const std::uint8_t client_challenge[8], std::uint64_t timestamp,
                       std::string_view target_info, bool lm_zero);

// NEGOTIATE_MESSAGE (type 1): the flags this client asks for, no domain or workstation.
std::string NegotiateMessage(std::uint32_t flags);
// AUTHENTICATE_MESSAGE (type 3); strings in UTF-16LE when kNegotiateUnicode is in flags, else
// in the system's OEM code page.
std::string AuthenticateMessage(std::uint32_t flags, const String& domain, const String& user,
                                const String& workstation, std::string_view lm_response,
                                std::string_view nt_response);

// The flags the client asks for in its type-1 message.
std::uint32_t ClientFlags(int lm_compat_level);

}  // namespace ntlm

// The logged-on user's credentials through the system's security packages (Windows SSPI); the
// seam is in platform/sspi.h. Opaque here.
class TSystemAuthSession;

// One NTLM exchange on one connection: Negotiate (type 1), then Authenticate (type 3) from the
// server's challenge (type 2).
//
// lm_compat_level as on Windows: 0-2 send LM and NTLMv1 responses (with NTLM2 session security
// when the server asks for extended session security), 3 and above LMv2 and NTLMv2.
// user may be "DOMAIN\user" (or "user@domain"). An empty user means the logged-on user's own
// credentials through the system, available only on Windows (Available() false elsewhere, or
// when the system's package cannot be loaded).
class TNtlmClient {
 public:
  TNtlmClient(const String& user, const String& password, int lm_compat_level);
  // scheme "NTLM" or "Negotiate" (the latter only for the logged-on user's credentials).
  TNtlmClient(const String& user, const String& password, int lm_compat_level,
              std::string_view scheme);
  ~TNtlmClient();
  TNtlmClient(const TNtlmClient&) = delete;
  TNtlmClient& operator=(const TNtlmClient&) = delete;

  // Fixed sources for tests (client challenge, clock) and the workstation name sent.
  void SetRandomSource(TRandomSource random) { random_ = std::move(random); }
  void SetClock(TFileTimeSource clock) { clock_ = std::move(clock); }
  void SetWorkstation(const String& workstation) { workstation_ = workstation; }
  // The service the system's credentials are for ("HTTP/host"), used by Negotiate; set it
  // before Negotiate.
  void SetTarget(const String& spn);

  bool Available() const;
  // Why it is not available ("" when it is).
  const std::string& Error() const { return error_; }

  // "NTLM <base64 type-1>"; empty when not available.
  std::string Negotiate();
  // Takes the server's "NTLM <base64 type-2>" value and returns "NTLM <base64 type-3>"; empty
  // on a malformed challenge.
  std::string Authenticate(std::string_view challenge_header_value);

 private:
  String user_, domain_, password_, workstation_, spn_;
  int level_;
  bool started_ = false;
  std::string scheme_;
  std::string error_;
  TRandomSource random_;
  TFileTimeSource clock_;
  std::unique_ptr<TSystemAuthSession> system_;
};

}  // namespace httpauth
