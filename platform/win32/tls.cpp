// TLS client sessions over the system's SChannel through SSPI, on memory buffers: the socket
// component moves the bytes. secur32.dll and crypt32.dll are loaded at run time, as the socket
// library is, so the program links nothing new.
//
// The package checks nothing itself (manual validation): after the handshake the server's
// chain is built and checked with the SSL policy and the host name, against the system's roots
// and, when the settings name a PEM file, against those roots too. An IP address is matched
// against the certificate's IP address entries by this code.
#define SECURITY_WIN32
#include <windows.h>
// windows.h first
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/text.h"
#include "platform/tls.h"
#include "platform/win32/system_library.h"

namespace plat::tls {

namespace {

// crypt32's functions used here, looked up once.
struct TCrypt {
  decltype(&CertOpenStore) OpenStore;
  decltype(&CertCloseStore) CloseStore;
  decltype(&CertAddEncodedCertificateToStore) AddEncoded;
  decltype(&CertFreeCertificateContext) FreeCert;
  decltype(&CertGetCertificateChain) GetChain;
  decltype(&CertFreeCertificateChain) FreeChain;
  decltype(&CertVerifyCertificateChainPolicy) VerifyPolicy;
  decltype(&CertCreateCertificateChainEngine) CreateEngine;
  decltype(&CertFreeCertificateChainEngine) FreeEngine;
  decltype(&CertFindExtension) FindExtension;
  decltype(&CryptDecodeObjectEx) DecodeObject;
  decltype(&CryptStringToBinaryA) StringToBinary;
};

struct TLibraries {
  PSecurityFunctionTableW Sspi = nullptr;
  TCrypt Crypt{};
  bool Ok = false;
};

using win32::Find;
using win32::LoadSystemLibrary;

const TLibraries& Libraries() {
  static const TLibraries libs = [] {
    TLibraries l;
    HMODULE sec = LoadSystemLibrary(L"secur32.dll");
    HMODULE crypt = LoadSystemLibrary(L"crypt32.dll");
    if (sec == nullptr || crypt == nullptr) return l;
    INIT_SECURITY_INTERFACE_W init = nullptr;
    if (!Find(sec, "InitSecurityInterfaceW", init)) return l;
    l.Sspi = init();
    TCrypt& c = l.Crypt;
    l.Ok = l.Sspi != nullptr && Find(crypt, "CertOpenStore", c.OpenStore) &&
           Find(crypt, "CertCloseStore", c.CloseStore) &&
           Find(crypt, "CertAddEncodedCertificateToStore", c.AddEncoded) &&
           Find(crypt, "CertFreeCertificateContext", c.FreeCert) &&
           Find(crypt, "CertGetCertificateChain", c.GetChain) &&
           Find(crypt, "CertFreeCertificateChain", c.FreeChain) &&
           Find(crypt, "CertVerifyCertificateChainPolicy", c.VerifyPolicy) &&
           Find(crypt, "CertCreateCertificateChainEngine", c.CreateEngine) &&
           Find(crypt, "CertFreeCertificateChainEngine", c.FreeEngine) &&
           Find(crypt, "CertFindExtension", c.FindExtension) &&
           Find(crypt, "CryptDecodeObjectEx", c.DecodeObject) &&
           Find(crypt, "CryptStringToBinaryA", c.StringToBinary);
    return l;
  }();
  return libs;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// The bytes of an IPv4 or IPv6 address text, or an empty string for anything else.
std::string AddressBytes(const std::string& host) {
  std::string out;
  // IPv4: four decimal parts.
  {
    unsigned parts[4] = {};
    int n = 0, digits = 0;
    bool ok = true;
    for (char ch : host) {
      if (ch >= '0' && ch <= '9') {
        if (++digits > 3) ok = false;
        parts[n] = parts[n] * 10 + static_cast<unsigned>(ch - '0');
        if (parts[n] > 255) ok = false;
      } else if (ch == '.' && digits > 0 && n < 3) {
        ++n;
        digits = 0;
      } else {
        ok = false;
      }
      if (!ok) break;
    }
    if (ok && n == 3 && digits > 0) {
      for (unsigned p : parts)
        out += static_cast<char>(p);
      return out;
    }
  }
  // IPv6: groups of hex digits with one "::" at most (no embedded IPv4 form, no zone).
  if (host.find(':') == std::string::npos) return std::string();
  std::string head, tail;
  bool gap = false;
  std::string* side = &head;
  unsigned group = 0;
  int digits = 0, groups_head = 0, groups_tail = 0;
  int* count = &groups_head;
  for (std::size_t i = 0; i <= host.size(); ++i) {
    const char ch = i < host.size() ? host[i] : ':';
    int v = -1;
    if (ch >= '0' && ch <= '9') v = ch - '0';
    if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
    if (v >= 0) {
      if (++digits > 4) return std::string();
      group = group * 16 + static_cast<unsigned>(v);
      continue;
    }
    if (ch != ':') return std::string();
    if (digits > 0) {
      *side += static_cast<char>(group >> 8);
      *side += static_cast<char>(group & 0xFF);
      ++*count;
      group = 0;
      digits = 0;
    } else if (i + 1 < host.size() && host[i + 1] == ':' && !gap) {
      gap = true;
      side = &tail;
      count = &groups_tail;
      ++i;
    } else if (!(i == host.size() && gap && host.size() >= 2 && host[i - 1] == ':')) {
      return std::string();
    }
  }
  const int total = groups_head + groups_tail;
  if (gap ? total > 7 : total != 8) return std::string();
  return head + std::string(static_cast<std::size_t>(16 - 2 * total), '\0') + tail;
}

// Roots from a PEM file into a memory store; the store, or nullptr with Reason set.
HCERTSTORE LoadRoots(const TCrypt& c, const std::string& path, std::string& Reason) {
  HANDLE f = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    Reason = "cannot open the file (" + text::DecimalStr(GetLastError()) + ")";
    return nullptr;
  }
  std::string pem;
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0)
    pem.append(buf, got);
  CloseHandle(f);
  HCERTSTORE store = c.OpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) {
    Reason = "no certificate store";
    return nullptr;
  }
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at)) {
    const std::size_t body = at + sizeof kBegin - 1;
    const std::size_t end = pem.find(kEnd, body);
    if (end == std::string::npos) break;
    const std::string b64 = pem.substr(body, end - body);
    DWORD len = 0;
    if (c.StringToBinary(b64.c_str(), static_cast<DWORD>(b64.size()), CRYPT_STRING_BASE64, nullptr,
                         &len, nullptr, nullptr) &&
        len > 0) {
      std::string der(len, '\0');
      if (c.StringToBinary(b64.c_str(), static_cast<DWORD>(b64.size()), CRYPT_STRING_BASE64,
                           reinterpret_cast<BYTE*>(der.data()), &len, nullptr, nullptr) &&
          c.AddEncoded(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), len,
                       CERT_STORE_ADD_USE_EXISTING, nullptr))
        ++added;
    }
    at = end + sizeof kEnd - 1;
  }
  if (added == 0) {
    c.CloseStore(store, 0);
    Reason = "no certificate in the file";
    return nullptr;
  }
  return store;
}

// The readable reason of a chain policy status, in the words the POSIX backend uses.
std::string PolicyReason(DWORD status) {
  switch (static_cast<HRESULT>(status)) {
    case CERT_E_EXPIRED:
      return "certificate has expired";
    case CERT_E_CN_NO_MATCH:
      return "hostname mismatch";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
      return "unable to get local issuer certificate";
    case CRYPT_E_REVOKED:
      return "certificate revoked";
    case CERT_E_WRONG_USAGE:
      return "unsupported certificate purpose";
    case TRUST_E_CERT_SIGNATURE:
      return "certificate signature failure";
    case CERT_E_UNTRUSTEDTESTROOT:
    case TRUST_E_EXPLICIT_DISTRUST:
      return "certificate not trusted";
    default:
      return "certificate not accepted (" + text::HexStatus(status) + ")";
  }
}

bool IsVersionStatus(SECURITY_STATUS s) {
  return s == SEC_E_UNSUPPORTED_FUNCTION || s == SEC_E_ALGORITHM_MISMATCH;
}

class TSchannelSession final : public TTlsSession {
 public:
  TSchannelSession(const TLibraries& libs, CredHandle cred, std::string host, bool is_ip,
                   std::string ip_bytes, HCERTSTORE roots)
      : sspi_(*libs.Sspi),
        crypt_(libs.Crypt),
        cred_(cred),
        host_(std::move(host)),
        whost_(Wide(host_)),
        is_ip_(is_ip),
        ip_bytes_(std::move(ip_bytes)),
        roots_(roots) {}
  ~TSchannelSession() override {
    if (have_ctx_) sspi_.DeleteSecurityContext(&ctx_);
    sspi_.FreeCredentialsHandle(&cred_);
    if (roots_ != nullptr) crypt_.CloseStore(roots_, 0);
  }

  void PutReceived(const void* Data, std::size_t Len) override {
    if (Len == 0) return;
    in_.append(static_cast<const char*>(Data), Len);
    incomplete_ = false;
  }

  TTlsStep Handshake() override {
    if (code_ != 0) return TTlsStep::Failed;
    if (established_) return TTlsStep::Done;
    for (;;) {
      if (have_ctx_ && in_.empty()) return TTlsStep::Pending;
      // What the server sends begins with a record: its type (20 to 24) and major version 3.
      // The package would take other bytes (a plain HTTP answer) for the start of a long
      // record and wait for the rest for ever.
      if (have_ctx_ && in_.size() >= 2) {
        const auto type = static_cast<unsigned char>(in_[0]);
        if (type < 20 || type > 24 || static_cast<unsigned char>(in_[1]) != 3) {
          Fail(kTlsErrHandshake, "the server's answer is no TLS record");
          return TTlsStep::Failed;
        }
      }
      SecBuffer in_bufs[2];
      in_bufs[0] = {static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN, in_.data()};
      in_bufs[1] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in_bufs};
      SecBuffer out_bufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out_bufs};
      unsigned long attrs = 0;
      const SECURITY_STATUS s =
          sspi_.InitializeSecurityContextW(&cred_, have_ctx_ ? &ctx_ : nullptr,
                                           is_ip_ ? nullptr : const_cast<wchar_t*>(whost_.c_str()),
                                           kContextFlags, 0, 0, have_ctx_ ? &in_desc : nullptr, 0,
                                           have_ctx_ ? nullptr : &ctx_, &out_desc, &attrs, nullptr);
      if (!have_ctx_ && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)) have_ctx_ = true;
      // Also after a failure: the alert that says why goes to the peer.
      TakeToken(out_bufs[0]);
      if (s == SEC_E_INCOMPLETE_MESSAGE) {
        incomplete_ = true;
        return TTlsStep::Pending;
      }
      if (s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK) {
        KeepExtra(in_bufs[1], in_bufs[0].cbBuffer);
        if (s == SEC_I_CONTINUE_NEEDED) continue;
        return Established() ? TTlsStep::Done : TTlsStep::Failed;
      }
      if (s == SEC_I_INCOMPLETE_CREDENTIALS) {
        // A server asking for a client certificate: none is offered, the handshake goes on.
        KeepExtra(in_bufs[1], in_bufs[0].cbBuffer);
        continue;
      }
      Fail(IsVersionStatus(s) ? kTlsErrVersion : kTlsErrHandshake,
           IsVersionStatus(s)
               ? "unsupported protocol version (" + text::HexStatus(static_cast<std::uint32_t>(s)) +
                     ")"
               : "the handshake failed (" + text::HexStatus(static_cast<std::uint32_t>(s)) + ")");
      return TTlsStep::Failed;
    }
  }

  std::int32_t Read(void* Buffer, std::int32_t Len) override {
    if (Len <= 0) return 0;
    if (code_ != 0) return -2;
    while (plain_.size() == plain_at_) {
      plain_.clear();
      plain_at_ = 0;
      if (closed_) return -1;
      if (in_.empty() || incomplete_) return 0;
      SecBuffer bufs[4];
      bufs[0] = {static_cast<unsigned long>(in_.size()), SECBUFFER_DATA, in_.data()};
      bufs[1] = bufs[2] = bufs[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
      const SECURITY_STATUS s = sspi_.DecryptMessage(&ctx_, &desc, 0, nullptr);
      if (s == SEC_E_INCOMPLETE_MESSAGE) {
        incomplete_ = true;
        return 0;
      }
      if (s == SEC_I_CONTEXT_EXPIRED) {
        // The peer's close-notify: what follows it is no part of the session.
        closed_ = true;
        in_.clear();
        return -1;
      }
      if (s == SEC_I_RENEGOTIATE) {
        Fail(kTlsErrProtocol, "the server asked for a renegotiation, which is refused");
        return -2;
      }
      if (s != SEC_E_OK) {
        Fail(kTlsErrProtocol,
             "a record could not be read (" + text::HexStatus(static_cast<std::uint32_t>(s)) + ")");
        return -2;
      }
      std::string extra;
      for (const SecBuffer& b : bufs) {
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0)
          plain_.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0)
          extra.assign(in_.data() + in_.size() - b.cbBuffer, b.cbBuffer);
      }
      in_.swap(extra);
    }
    const std::size_t n = plain_.size() - plain_at_ < static_cast<std::size_t>(Len)
                              ? plain_.size() - plain_at_
                              : static_cast<std::size_t>(Len);
    std::memcpy(Buffer, plain_.data() + plain_at_, n);
    plain_at_ += n;
    return static_cast<std::int32_t>(n);
  }

  bool HasBuffered() const override {
    return plain_.size() > plain_at_ || (!closed_ && !in_.empty() && !incomplete_);
  }

  bool Write(const void* Data, std::size_t Len) override {
    if (code_ != 0 || !established_) {
      if (code_ == 0) Fail(kTlsErrProtocol, "no session to write to");
      return false;
    }
    const char* p = static_cast<const char*>(Data);
    std::string record;
    while (Len > 0) {
      const std::size_t n = Len < sizes_.cbMaximumMessage ? Len : sizes_.cbMaximumMessage;
      record.assign(sizes_.cbHeader + n + sizes_.cbTrailer, '\0');
      std::memcpy(record.data() + sizes_.cbHeader, p, n);
      SecBuffer bufs[4];
      bufs[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
      bufs[1] = {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader};
      bufs[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n};
      bufs[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
      const SECURITY_STATUS s = sspi_.EncryptMessage(&ctx_, 0, &desc, 0);
      if (s != SEC_E_OK) {
        Fail(kTlsErrProtocol, "a record could not be written (" +
                                  text::HexStatus(static_cast<std::uint32_t>(s)) + ")");
        return false;
      }
      out_.append(record.data(), bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer);
      p += n;
      Len -= n;
    }
    return true;
  }

  void Shutdown() override {
    if (!have_ctx_ || shut_) return;
    shut_ = true;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer tok = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc tok_desc = {SECBUFFER_VERSION, 1, &tok};
    if (sspi_.ApplyControlToken(&ctx_, &tok_desc) != SEC_E_OK) return;
    SecBuffer out_bufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out_bufs};
    unsigned long attrs = 0;
    sspi_.InitializeSecurityContextW(
        &cred_, &ctx_, is_ip_ ? nullptr : const_cast<wchar_t*>(whost_.c_str()), kContextFlags, 0, 0,
        nullptr, 0, nullptr, &out_desc, &attrs, nullptr);
    TakeToken(out_bufs[0]);
  }

  void TakeOutgoing(std::string& Out) override {
    Out += out_;
    out_.clear();
  }

  int ErrorCode() const override { return code_; }
  const std::string& ErrorText() const override { return text_; }

 private:
  static constexpr unsigned long kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                                 ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                                 ISC_REQ_MANUAL_CRED_VALIDATION;

  void Fail(int code, std::string text) {
    code_ = code;
    text_ = std::move(text);
  }

  void TakeToken(SecBuffer& b) {
    if (b.pvBuffer == nullptr) return;
    out_.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
    sspi_.FreeContextBuffer(b.pvBuffer);
    b.pvBuffer = nullptr;
  }

  // What the package did not consume stays for the next step.
  void KeepExtra(const SecBuffer& extra, unsigned long) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in_.size())
      in_.erase(0, in_.size() - extra.cbBuffer);
    else
      in_.clear();
  }

  bool Established() {
    if (!Verify()) return false;
    if (sspi_.QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
        sizes_.cbMaximumMessage == 0) {
      Fail(kTlsErrHandshake, "the session's record sizes are unknown");
      return false;
    }
    established_ = true;
    return true;
  }

  // The server's certificate: chain, policy, name or address.
  bool Verify() {
    PCCERT_CONTEXT cert = nullptr;
    if (sspi_.QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
      Fail(kTlsErrVerify, "no certificate from the server");
      return false;
    }
    DWORD status = CheckChain(nullptr, cert);
    if ((status == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) ||
         status == static_cast<DWORD>(CERT_E_CHAINING)) &&
        roots_ != nullptr) {
      // Not trusted by the system: the roots of the settings may vouch for it.
      CERT_CHAIN_ENGINE_CONFIG config{};
      // The size without dwExclusiveFlags: what every system with exclusive roots accepts.
      config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
      config.hExclusiveRoot = roots_;
      HCERTCHAINENGINE engine = nullptr;
      if (crypt_.CreateEngine(&config, &engine)) {
        status = CheckChain(engine, cert);
        crypt_.FreeEngine(engine);
      }
    }
    if (status == 0 && is_ip_ && !HasAddress(cert)) {
      crypt_.FreeCert(cert);
      Fail(kTlsErrVerify, "IP address mismatch");
      return false;
    }
    crypt_.FreeCert(cert);
    if (status != 0) {
      Fail(kTlsErrVerify, PolicyReason(status));
      return false;
    }
    return true;
  }

  // The SSL policy's status for the chain the engine builds (0: accepted).
  DWORD CheckChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert) {
    static char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {server_auth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!crypt_.GetChain(engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain))
      return static_cast<DWORD>(CERT_E_CHAINING);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // An address is matched by HasAddress: the policy knows names only.
    ssl.pwszServerName = is_ip_ ? nullptr : const_cast<wchar_t*>(whost_.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    DWORD status = static_cast<DWORD>(CERT_E_CHAINING);
    if (crypt_.VerifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result))
      status = result.dwError;
    // The chain's own findings count even where a policy lets them pass (Wine's SSL policy
    // accepts a chain to an unknown root).
    const DWORD trust = chain->TrustStatus.dwErrorStatus;
    if (status == 0 && trust != CERT_TRUST_NO_ERROR) {
      if (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
        status = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
      else if (trust & CERT_TRUST_IS_NOT_TIME_VALID)
        status = static_cast<DWORD>(CERT_E_EXPIRED);
      else if (trust & CERT_TRUST_IS_REVOKED)
        status = static_cast<DWORD>(CRYPT_E_REVOKED);
      else if (trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        status = static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
      else if (trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        status = static_cast<DWORD>(CERT_E_WRONG_USAGE);
      else if (trust & ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION))
        status = static_cast<DWORD>(CERT_E_CHAINING);
    }
    crypt_.FreeChain(chain);
    return status;
  }

  // Whether the certificate names the host's address among its alternative names.
  bool HasAddress(PCCERT_CONTEXT cert) {
    PCERT_EXTENSION ext = crypt_.FindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                               cert->pCertInfo->rgExtension);
    if (ext == nullptr) return false;
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!crypt_.DecodeObject(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
      return false;
    bool found = false;
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
      const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
      found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
              e.IPAddress.cbData == ip_bytes_.size() &&
              std::memcmp(e.IPAddress.pbData, ip_bytes_.data(), ip_bytes_.size()) == 0;
    }
    LocalFree(info);
    return found;
  }

  SecurityFunctionTableW& sspi_;
  const TCrypt& crypt_;
  CredHandle cred_;
  CtxtHandle ctx_{};
  bool have_ctx_ = false;
  std::string host_;
  std::wstring whost_;
  bool is_ip_;
  std::string ip_bytes_;
  HCERTSTORE roots_;
  SecPkgContext_StreamSizes sizes_{};
  bool established_ = false;
  bool closed_ = false;
  bool shut_ = false;
  bool incomplete_ = false;
  std::string in_;     // received, not yet consumed
  std::string plain_;  // decrypted, not yet read from plain_at_
  std::size_t plain_at_ = 0;
  std::string out_;  // to send
  int code_ = 0;
  std::string text_;
};

}  // namespace

std::unique_ptr<TTlsSession> CreateTlsClientSession(const TTlsClientSettings& Settings,
                                                    int& ErrorCode, std::string& ErrorText) {
  auto fail = [&](int code, std::string text) {
    ErrorCode = code;
    ErrorText = std::move(text);
    return nullptr;
  };
  if (Settings.HostName.empty()) return fail(kTlsErrHandshake, "no host name to verify");
  const TLibraries& libs = Libraries();
  if (!libs.Ok) return fail(kTlsErrUnavailable, "the system's security package cannot be loaded");
  HCERTSTORE roots = nullptr;
  if (!Settings.ExtraRootsFile.empty()) {
    std::string reason;
    roots = LoadRoots(libs.Crypt, Settings.ExtraRootsFile, reason);
    if (roots == nullptr) return fail(kTlsErrRoots, Settings.ExtraRootsFile + ": " + reason);
  }
  SCHANNEL_CRED cred_data{};
  cred_data.dwVersion = SCHANNEL_CRED_VERSION;
  cred_data.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred_data.dwFlags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  CredHandle cred{};
  TimeStamp expiry{};
  wchar_t package[] = UNISP_NAME_W;
  const SECURITY_STATUS s =
      libs.Sspi->AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                           &cred_data, nullptr, nullptr, &cred, &expiry);
  if (s != SEC_E_OK) {
    if (roots != nullptr) libs.Crypt.CloseStore(roots, 0);
    return fail(kTlsErrUnavailable, "no TLS credentials from the system (" +
                                        text::HexStatus(static_cast<std::uint32_t>(s)) + ")");
  }
  std::string ip = AddressBytes(Settings.HostName);
  const bool is_ip = !ip.empty();
  return std::make_unique<TSchannelSession>(libs, cred, Settings.HostName, is_ip, std::move(ip),
                                            roots);
}

}  // namespace plat::tls
