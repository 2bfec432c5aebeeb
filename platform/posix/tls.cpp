// TLS client sessions over OpenSSL 3, on memory buffers: the socket component moves the bytes.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/tls.h"

namespace plat::tls {

namespace {

bool IsIpAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The reason of the oldest error on the thread's queue, or Fallback; empties the queue.
std::string LibraryReason(const char* Fallback, unsigned long* First = nullptr) {
  unsigned long e = ERR_get_error();
  if (First) *First = e;
  std::string text;
  if (e != 0) {
    const char* r = ERR_reason_error_string(e);
    text = r ? r : "unknown error";
  } else {
    text = Fallback;
  }
  ERR_clear_error();
  return text;
}

// The peer offers only versions below TLS 1.2 (or refuses ours). "Wrong version number" is
// not among them: it is what bytes that are no TLS record at all look like.
bool IsVersionFailure(unsigned long e) {
  if (ERR_GET_LIB(e) != ERR_LIB_SSL) return false;
  switch (ERR_GET_REASON(e)) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
      return true;
    default:
      return false;
  }
}

class TOpenSslSession final : public TTlsSession {
 public:
  TOpenSslSession(SSL_CTX* ctx, SSL* ssl, BIO* in, BIO* out)
      : ctx_(ctx), ssl_(ssl), in_(in), out_(out) {}
  ~TOpenSslSession() override {
    SSL_free(ssl_);  // frees both memory buffers with it
    SSL_CTX_free(ctx_);
  }

  void PutReceived(const void* Data, std::size_t Len) override {
    if (Len > 0) BIO_write(in_, Data, static_cast<int>(Len));
  }

  TTlsStep Handshake() override {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) return TTlsStep::Done;
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return TTlsStep::Pending;
    const long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
      ERR_clear_error();
      Fail(kTlsErrVerify, X509_verify_cert_error_string(verify));
      return TTlsStep::Failed;
    }
    unsigned long first = 0;
    std::string reason = LibraryReason("the handshake failed", &first);
    Fail(IsVersionFailure(first) ? kTlsErrVersion : kTlsErrHandshake, reason);
    return TTlsStep::Failed;
  }

  std::int32_t Read(void* Buffer, std::int32_t Len) override {
    if (Len <= 0) return 0;
    ERR_clear_error();
    std::size_t n = 0;
    if (SSL_read_ex(ssl_, Buffer, static_cast<std::size_t>(Len), &n) == 1)
      return static_cast<std::int32_t>(n);
    switch (SSL_get_error(ssl_, 0)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return 0;
      case SSL_ERROR_ZERO_RETURN:
        return -1;
      default:
        Fail(kTlsErrProtocol, LibraryReason("a record could not be read"));
        return -2;
    }
  }

  bool HasBuffered() const override {
    return SSL_has_pending(ssl_) == 1 || BIO_ctrl_pending(in_) > 0;
  }

  bool Write(const void* Data, std::size_t Len) override {
    ERR_clear_error();
    const char* p = static_cast<const char*>(Data);
    while (Len > 0) {
      std::size_t n = 0;
      if (SSL_write_ex(ssl_, p, Len, &n) != 1) {
        Fail(kTlsErrProtocol, LibraryReason("a record could not be written"));
        return false;
      }
      p += n;
      Len -= n;
    }
    return true;
  }

  void Shutdown() override {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }

  void TakeOutgoing(std::string& Out) override {
    const std::size_t n = BIO_ctrl_pending(out_);
    if (n == 0) return;
    const std::size_t at = Out.size();
    Out.resize(at + n);
    const int r = BIO_read(out_, Out.data() + at, static_cast<int>(n));
    Out.resize(at + static_cast<std::size_t>(r > 0 ? r : 0));
  }

  int ErrorCode() const override { return code_; }
  const std::string& ErrorText() const override { return text_; }

 private:
  void Fail(int code, std::string text) {
    code_ = code;
    text_ = std::move(text);
  }

  SSL_CTX* ctx_;
  SSL* ssl_;
  BIO* in_;
  BIO* out_;
  int code_ = 0;
  std::string text_;
};

}  // namespace

std::unique_ptr<TTlsSession> CreateTlsClientSession(const TTlsClientSettings& Settings,
                                                    int& ErrorCode, std::string& ErrorText) {
  ERR_clear_error();
  auto fail = [&](int code, std::string text) {
    ErrorCode = code;
    ErrorText = std::move(text);
    return nullptr;
  };
  if (Settings.HostName.empty()) return fail(kTlsErrHandshake, "no host name to verify");
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return fail(kTlsErrUnavailable, LibraryReason("no TLS context"));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // The system's roots, where SSL_CERT_FILE and SSL_CERT_DIR may point elsewhere.
  SSL_CTX_set_default_verify_paths(ctx);
  ERR_clear_error();
  if (!Settings.ExtraRootsFile.empty() &&
      SSL_CTX_load_verify_locations(ctx, Settings.ExtraRootsFile.c_str(), nullptr) != 1) {
    SSL_CTX_free(ctx);
    return fail(kTlsErrRoots, Settings.ExtraRootsFile + ": " + LibraryReason("unreadable"));
  }
  SSL* ssl = SSL_new(ctx);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (ssl == nullptr || in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return fail(kTlsErrUnavailable, LibraryReason("out of memory"));
  }
  // An empty input buffer means "more to come", never the end of the stream.
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(ssl, in, out);
  SSL_set_connect_state(ssl);
  bool named;
  if (IsIpAddress(Settings.HostName)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), Settings.HostName.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set1_host(ssl, Settings.HostName.c_str()) == 1 &&
            SSL_set_tlsext_host_name(ssl, Settings.HostName.c_str()) == 1;
  }
  auto session = std::make_unique<TOpenSslSession>(ctx, ssl, in, out);
  if (!named) return fail(kTlsErrHandshake, "invalid host name: " + Settings.HostName);
  return session;
}

}  // namespace plat::tls
