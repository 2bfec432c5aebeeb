// The protocol pieces of the socket's proxy layers that need no socket: the error codes and
// their texts, the HTTP proxy's answer to a CONNECT request, and the SOCKS messages. Pure
// functions over bytes, so every rule is tested without a connection; the layers in
// wsocket_proxy.cpp drive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace proxy {

// --- Error codes ------------------------------------------------------------------------------
// SOCKS: 20000 to 20017, texts beginning "SOCKS - ".
constexpr int kSocksProtocolError = 20000;         // a reply that breaks the protocol
constexpr int kSocksVersionError = 20001;          // the server speaks another version
constexpr int kSocksNoAcceptableMethod = 20002;    // no authentication method in common
constexpr int kSocksGeneralFailure = 20003;        // SOCKS 5 reply 1
constexpr int kSocksNotAllowed = 20004;            // reply 2
constexpr int kSocksNetworkUnreachable = 20005;    // reply 3
constexpr int kSocksHostUnreachable = 20006;       // reply 4
constexpr int kSocksConnectionRefused = 20007;     // reply 5
constexpr int kSocksTtlExpired = 20008;            // reply 6
constexpr int kSocksCommandNotSupported = 20009;   // reply 7
constexpr int kSocksAddressNotSupported = 20010;   // reply 8
constexpr int kSocksUnknownReply = 20011;          // any other SOCKS 5 reply code
constexpr int kSocksBadTarget = 20012;             // the target cannot be expressed
constexpr int kSocksClosed = 20013;                // closed or reset during the negotiation
constexpr int kSocksAuthenticationFailed = 20014;  // user code and password refused
constexpr int kSocksRejected = 20015;              // SOCKS 4 reply 91
constexpr int kSocksIdentRejected = 20016;         // SOCKS 4 replies 92 and 93
constexpr int kSocksCannotResolve = 20017;         // SOCKS 4: the target's name has no address

// HTTP proxy tunnel: 21000 to 21599, texts beginning "HTTP Proxy - ". A refusal is 21000 plus
// the proxy's status code (21403, 21407, 21502...); the codes below 21100 are the tunnel's own.
constexpr int kTunnelGeneralFailure = 21000;
constexpr int kTunnelInvalidAnswer = 21001;  // not an HTTP answer, or a malformed one
constexpr int kTunnelAnswerTooLarge = 21002;
constexpr int kTunnelClosed = 21003;        // closed or reset before the tunnel was up
constexpr int kTunnelNoAuthScheme = 21004;  // a 407 offering nothing this client can answer
constexpr int kTunnelStatusBase = 21000;

// The text of a proxy layer's code; empty for any other code.
std::string ErrorText(int code);

// --- The HTTP proxy's answer to CONNECT -------------------------------------------------------

// The longest answer header the tunnel reads; a longer one fails with kTunnelAnswerTooLarge.
constexpr std::size_t kTunnelAnswerLimit = 16 * 1024;

// The end of an answer header in `bytes`: the offset just past its empty line (CR LF CR LF,
// or LF LF), or 0 while it is incomplete.
std::size_t AnswerHeaderEnd(std::string_view bytes);

struct TTunnelAnswer {
  int major = 0, minor = 0;  // HTTP version
  int status = 0;
  std::string reason;
  std::vector<std::string> proxy_authenticate;  // every Proxy-Authenticate value, in order
  bool has_length = false;
  std::uint64_t content_length = 0;
  bool chunked = false;
  bool close = false;  // the proxy ends the connection after this answer
};

// Parses a complete answer header (as found by AnswerHeaderEnd). False for anything that is no
// HTTP/1.x answer: a bad status line, a status outside 100..599, a field line without a name
// or colon, a Content-Length that is no single decimal number.
bool ParseTunnelAnswer(std::string_view header, TTunnelAnswer& out);

// "host:port" for the request line and the Host field: an IPv6 literal in brackets.
std::string TunnelAuthority(std::string_view host, std::string_view port);

// Whether a host or port may go on the request line: printable ASCII without blanks, and no
// character that would end or split the line.
bool SafeRequestToken(std::string_view s);

// --- SOCKS ------------------------------------------------------------------------------------

// The 16 bytes of an IPv6 literal ("::1", "2001:db8::7", optionally in brackets); false when
// the text is no IPv6 address.
bool ParseIPv6Literal(std::string_view text, std::uint8_t out[16]);
// The 4 bytes of a dotted IPv4 address (exactly four decimal groups below 256).
bool ParseIPv4Literal(std::string_view text, std::uint8_t out[4]);

// SOCKS 5 method offer: no authentication, and user code and password when `with_password`.
std::string Socks5Greeting(bool with_password);
// RFC 1929 sub-negotiation; false when a field is longer than 255 bytes or the user is empty.
bool Socks5PasswordRequest(std::string_view user, std::string_view password, std::string& out);
// CONNECT request: an IPv4 or IPv6 literal goes as an address, anything else as a name for the
// server to resolve. False when a name is empty or longer than 255 bytes.
bool Socks5ConnectRequest(std::string_view host, std::uint16_t port, std::string& out);
// The length of the SOCKS 5 reply that begins with `have` (at least 5 bytes are needed to
// know it); 0 while unknown, -1 for an unknown address type.
int Socks5ReplyLength(std::string_view have);
// The code for a SOCKS 5 reply byte (0 is success).
int Socks5ReplyError(std::uint8_t rep);

// SOCKS 4 request to an IPv4 address; SOCKS 4A (ip 0.0.0.1) with the name after the user id.
// False when the user id or the name is longer than 255 bytes or holds a zero byte.
bool Socks4ConnectRequest(const std::uint8_t ip[4], std::uint16_t port, std::string_view user,
                          std::string& out);
bool Socks4AConnectRequest(std::string_view host, std::uint16_t port, std::string_view user,
                           std::string& out);
constexpr std::size_t kSocks4ReplyLength = 8;
// The code for a SOCKS 4 reply (version byte, status byte); 0 for "granted".
int Socks4ReplyError(std::uint8_t version, std::uint8_t status);

// A port given as decimal text, 1..65535; 0 when the text is no such number.
std::uint16_t ParsePortNumber(std::string_view text);

}  // namespace proxy
