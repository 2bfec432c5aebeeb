// TLS client sessions, the seam to the system's TLS library.
//
// A session never touches a socket: the caller hands it the bytes that came from the peer
// (PutReceived) and sends what it produces (TakeOutgoing), so the socket component keeps its
// own select notices and send buffer and one session fits every way of moving bytes. This is
// also the shape of the Windows security-package calls (InitializeSecurityContext,
// EncryptMessage, DecryptMessage on caller buffers).
//
// Verification is always on: the system's trusted roots (POSIX: OpenSSL's default verify
// paths, so SSL_CERT_FILE and SSL_CERT_DIR apply), optionally more roots from a PEM file, the
// host name or IP address against the certificate, TLS 1.2 at least, and the server name sent
// in the hello (SNI) unless the host is an IP address. There is no switch to turn it off.
//
// Backends: posix/tls.cpp over OpenSSL 3; win32/tls.cpp over SChannel through SSPI (secur32
// and crypt32 loaded at run time), which checks the server's chain and host itself.
//
// Threads: a session is used by one thread at a time; sessions are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace plat::tls {

// Error codes, numbered apart from the socket library's (10004..11004) and the proxy layers'
// (20000.., 21000..), so they travel as socket error codes through the components' events.
constexpr int kTlsErrHandshake = 22001;          // the handshake failed (an alert, bad data)
constexpr int kTlsErrVerify = 22002;             // the server's certificate was not accepted
constexpr int kTlsErrUnavailable = 22003;        // no TLS on this system or in this build
constexpr int kTlsErrClosedInHandshake = 22004;  // the peer closed before the handshake ended
constexpr int kTlsErrProtocol = 22005;           // a bad record or alert after the handshake
constexpr int kTlsErrVersion = 22006;            // no common version of TLS 1.2 or later
constexpr int kTlsErrRoots = 22007;              // the additional trusted roots could not be read

// The fixed description of a code above, or nullptr for any other code.
const char* TlsErrorText(int code);
inline bool IsTlsError(int code) {
  return code >= kTlsErrHandshake && code <= kTlsErrRoots;
}

struct TTlsClientSettings {
  // The host the connection is for: checked against the certificate, and sent as the server
  // name unless it is an IPv4 or IPv6 address. Never empty.
  std::string HostName;
  // A PEM file of roots trusted besides the system's; empty for none.
  std::string ExtraRootsFile;
};

enum class TTlsStep { Done, Pending, Failed };

class TTlsSession {
 public:
  virtual ~TTlsSession() = default;

  // Bytes received from the peer; processed by the next Handshake or Read.
  virtual void PutReceived(const void* Data, std::size_t Len) = 0;
  // Runs the handshake as far as the received bytes allow. Pending: send TakeOutgoing and
  // wait for more bytes. Failed: ErrorCode and ErrorText say why.
  virtual TTlsStep Handshake() = 0;
  // Decrypted bytes after the handshake: the count (> 0); 0 when more received bytes are
  // needed; -1 after the peer's close-notify; -2 on a failure (ErrorCode, ErrorText).
  virtual std::int32_t Read(void* Buffer, std::int32_t Len) = 0;
  // Whether Read may give bytes without more received ones (decrypted or buffered records).
  virtual bool HasBuffered() const = 0;
  // Encrypts Len bytes after the handshake; false on a failure.
  virtual bool Write(const void* Data, std::size_t Len) = 0;
  // Produces the close-notify to send.
  virtual void Shutdown() = 0;
  // Appends what is to be sent to the peer to Out and forgets it.
  virtual void TakeOutgoing(std::string& Out) = 0;

  virtual int ErrorCode() const = 0;
  // A readable reason: the certificate's fault for kTlsErrVerify ("certificate has expired",
  // "host name mismatch", "unable to get local issuer certificate", ...), the library's text
  // otherwise.
  virtual const std::string& ErrorText() const = 0;
};

// A client session for Settings, or nullptr with ErrorCode and ErrorText set (no TLS on this
// system, a roots file that cannot be read).
std::unique_ptr<TTlsSession> CreateTlsClientSession(const TTlsClientSettings& Settings,
                                                    int& ErrorCode, std::string& ErrorText);

}  // namespace plat::tls
