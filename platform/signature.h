// Code signatures of program files: the seam to the system's Authenticode checks.
//
// Win32 (win32/signature.cpp): WinVerifyTrust of wintrust.dll checks the file's embedded
// signature and its digest; then the signer's certificate chain is built and checked here with
// crypt32's Authenticode chain policy, for code signing, at the time the signature was verified
// as of (Wine's WinVerifyTrust accepts a chain that ends in an untrusted root; the check here
// rejects it on every system); then the signer's common name must equal the expected signer
// exactly. wintrust.dll and crypt32.dll are loaded at run time, so the program links nothing new.
// No revocation lookup is made (the installer reaches no other host than its download server).
//
// POSIX (posix/signature.cpp): there is no Authenticode; every check answers "not applicable".
// The Linux program never runs a Windows program, so it keeps its behaviour.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <string>

#include "platform/text.h"

namespace plat::signature {

enum class TVerdict {
  vSigned,         // signed, intact, chained to a trusted root, by the expected signer
  vNotApplicable,  // the system has no code signatures (POSIX)
  vUnsigned,       // the file carries no signature
  vBadDigest,      // the file changed after it was signed
  vUntrustedRoot,  // the signer's chain ends in a root the system does not trust
  vWrongSigner,    // a sound signature, by someone else
  vNotTrusted,     // any other fault of the signature or its certificates
  vCannotCheck,    // the system's checks could not be run or the file could not be read
};

struct TResult {
  TVerdict Verdict = TVerdict::vCannotCheck;
  // Readable, for the log: what is wrong, with the system's status code where there is one.
  std::string Reason;
  // The file may be run: a good signature, or a system that has none.
  bool Passed() const {
    return Verdict == TVerdict::vSigned || Verdict == TVerdict::vNotApplicable;
  }
};

// Checks the signature of `file`: present, intact, chained to a trusted root for code signing,
// and its signer's common name exactly `signer`. `chain_engine` decides which roots are trusted
// (Win32: an HCERTCHAINENGINE); nullptr is the system's. Tests pass an engine whose exclusive
// root is their own test root.
TResult VerifyFileSignature(const String& file, const String& signer, void* chain_engine = nullptr);

// The verdict and reason for a status of the system's checks (WinVerifyTrust and the chain
// policy report HRESULTs), and for the error bits of a certificate chain's trust status
// (CERT_TRUST_IS_...). Written without the system's headers, so the rules are tested on every
// target, including the statuses Wine's checks never report.
TResult FromTrustStatus(std::uint32_t status);
TResult FromChainErrorBits(std::uint32_t bits);

}  // namespace plat::signature
