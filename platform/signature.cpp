// The verdicts of the system's signature statuses, shared by the backends and tested on every
// target.
#include "platform/signature.h"

#include "platform/text.h"

namespace plat::signature {
namespace {

TResult Make(TVerdict verdict, const char* what, std::uint32_t status) {
  TResult r;
  r.Verdict = verdict;
  r.Reason = std::string(what) + " (" + text::HexStatus(status) + ")";
  return r;
}

}  // namespace

TResult FromTrustStatus(std::uint32_t status) {
  switch (status) {
    case 0:
      return TResult{TVerdict::vSigned, "signed"};
    case 0x800B0100:  // TRUST_E_NOSIGNATURE
    case 0x800B0003:  // TRUST_E_SUBJECT_FORM_UNKNOWN: no kind of file that carries one
      return Make(TVerdict::vUnsigned, "the file is not signed", status);
    case 0x80096010:  // TRUST_E_BAD_DIGEST
      return Make(TVerdict::vBadDigest, "the file was changed after it was signed (bad digest)",
                  status);
    case 0x800B0109:  // CERT_E_UNTRUSTEDROOT
    case 0x800B010A:  // CERT_E_CHAINING
    case 0x800B0112:  // CERT_E_UNTRUSTEDCA
    case 0x800B010D:  // CERT_E_UNTRUSTEDTESTROOT
      return Make(TVerdict::vUntrustedRoot,
                  "the signer's certificate does not chain to a trusted root", status);
    case 0x800B0101:  // CERT_E_EXPIRED
      return Make(TVerdict::vNotTrusted, "the signer's certificate has expired or is not yet valid",
                  status);
    case 0x800B010C:  // CERT_E_REVOKED
      return Make(TVerdict::vNotTrusted, "the signer's certificate was revoked", status);
    case 0x800B0111:  // TRUST_E_EXPLICIT_DISTRUST
      return Make(TVerdict::vNotTrusted, "the signer's certificate is explicitly distrusted",
                  status);
    case 0x800B0110:  // CERT_E_WRONG_USAGE
      return Make(TVerdict::vNotTrusted, "the signer's certificate is not for code signing",
                  status);
    case 0x80096004:  // TRUST_E_CERT_SIGNATURE
    case 0x80096019:  // TRUST_E_BASIC_CONSTRAINTS
    case 0x800B0102:  // CERT_E_VALIDITYPERIODNESTING
    case 0x800B0104:  // CERT_E_PATHLENCONST
    case 0x800B0105:  // CERT_E_CRITICAL
    case 0x800B0107:  // CERT_E_ISSUERCHAINING
    case 0x800B0108:  // CERT_E_MALFORMED
      return Make(TVerdict::vNotTrusted, "a certificate of the signature is not valid", status);
    case 0x800B0004:  // TRUST_E_SUBJECT_NOT_TRUSTED
    case 0x80096002:  // TRUST_E_NO_SIGNER_CERT
    case 0x80096003:  // TRUST_E_COUNTER_SIGNER
    case 0x80096005:  // TRUST_E_TIME_STAMP
      return Make(TVerdict::vNotTrusted, "the signature is not trusted", status);
    default:
      return Make(TVerdict::vCannotCheck, "the signature could not be checked", status);
  }
}

TResult FromChainErrorBits(std::uint32_t bits) {
  // Revocation is not looked up, so its "unknown" and "offline" findings say nothing.
  constexpr std::uint32_t kRevocationUnknown = 0x40, kOfflineRevocation = 0x1000000;
  bits &= ~(kRevocationUnknown | kOfflineRevocation);
  struct Rule {
    std::uint32_t bit;
    std::uint32_t status;
  };
  // Most telling first: a chain can have several faults.
  static const Rule kRules[] = {
      {0x8, 0x80096004},        // NOT_SIGNATURE_VALID: TRUST_E_CERT_SIGNATURE
      {0x4, 0x800B010C},        // REVOKED
      {0x4000000, 0x800B0111},  // EXPLICIT_DISTRUST
      {0x20, 0x800B0109},       // UNTRUSTED_ROOT
      {0x10000, 0x800B010A},    // PARTIAL_CHAIN: CERT_E_CHAINING
      {0x80, 0x800B010A},       // CYCLIC
      {0x1, 0x800B0101},        // NOT_TIME_VALID: CERT_E_EXPIRED
      {0x10, 0x800B0110},       // NOT_VALID_FOR_USAGE: CERT_E_WRONG_USAGE
  };
  if (bits == 0) return FromTrustStatus(0);
  for (const Rule& r : kRules)
    if (bits & r.bit) return FromTrustStatus(r.status);
  // Any other finding (name or policy constraints, extensions) fails the chain as well.
  return Make(TVerdict::vNotTrusted, "the signer's certificate chain is not valid", bits);
}

}  // namespace plat::signature
