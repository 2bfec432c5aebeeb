// Authenticode signatures on Win32: WinVerifyTrust for the signature and the file's digest, then
// the signer's chain and name checked here. wintrust.dll and crypt32.dll are loaded at run time.
#include <windows.h>
// windows.h first
#include <wincrypt.h>
#include <wintrust.h>

#include <string>

#include "platform/signature.h"
#include "platform/win32/system_library.h"

namespace plat::signature {

namespace {

struct TFunctions {
  decltype(&WinVerifyTrust) VerifyTrust = nullptr;
  decltype(&WTHelperProvDataFromStateData) ProvData = nullptr;
  decltype(&WTHelperGetProvSignerFromChain) ProvSigner = nullptr;
  decltype(&CertGetCertificateChain) GetChain = nullptr;
  decltype(&CertFreeCertificateChain) FreeChain = nullptr;
  decltype(&CertVerifyCertificateChainPolicy) VerifyPolicy = nullptr;
  decltype(&CertGetNameStringW) GetName = nullptr;
  bool Ok = false;
};

using win32::Find;
using win32::LoadSystemLibrary;

const TFunctions& Functions() {
  static const TFunctions f = [] {
    TFunctions t;
    HMODULE trust = LoadSystemLibrary(L"wintrust.dll");
    HMODULE crypt = LoadSystemLibrary(L"crypt32.dll");
    t.Ok = trust != nullptr && crypt != nullptr && Find(trust, "WinVerifyTrust", t.VerifyTrust) &&
           Find(trust, "WTHelperProvDataFromStateData", t.ProvData) &&
           Find(trust, "WTHelperGetProvSignerFromChain", t.ProvSigner) &&
           Find(crypt, "CertGetCertificateChain", t.GetChain) &&
           Find(crypt, "CertFreeCertificateChain", t.FreeChain) &&
           Find(crypt, "CertVerifyCertificateChainPolicy", t.VerifyPolicy) &&
           Find(crypt, "CertGetNameStringW", t.GetName);
    return t;
  }();
  return f;
}

// The HRESULT of the calling thread's last error (crypt32 sets HRESULTs there, other calls
// system error codes).
std::uint32_t LastErrorStatus() {
  const DWORD e = GetLastError();
  return (e & 0x80000000u) != 0 ? e : 0x80070000u | (e & 0xFFFFu);
}

// WINTRUST_ACTION_GENERIC_VERIFY_V2: Authenticode.
GUID ActionGenericVerifyV2() {
  return GUID{0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
}

// The chain of the signer's certificate (with the certificates the signature carries), checked
// with the Authenticode policy and for code signing, at `as_of` (null: now). 0 when trusted.
TResult CheckSignerChain(const TFunctions& f, HCERTCHAINENGINE engine, PCCERT_CONTEXT signer,
                         FILETIME* as_of) {
  static char code_signing[] = szOID_PKIX_KP_CODE_SIGNING;
  LPSTR usages[] = {code_signing};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // Only what is at hand: no certificate or revocation list is fetched from anywhere.
  if (!f.GetChain(engine, signer, as_of, signer->hCertStore, &para,
                  CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                  nullptr, &chain)) {
    return FromTrustStatus(LastErrorStatus());
  }
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  TResult result;
  if (!f.VerifyPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status))
    result = FromTrustStatus(LastErrorStatus());
  else if (status.dwError != 0)
    result = FromTrustStatus(status.dwError);
  else
    // The chain's own findings count even where a policy lets them pass.
    result = FromChainErrorBits(chain->TrustStatus.dwErrorStatus);
  f.FreeChain(chain);
  return result;
}

// The common name of the certificate's subject; empty when it has none.
String CommonName(const TFunctions& f, PCCERT_CONTEXT cert) {
  static char cn[] = szOID_COMMON_NAME;
  DWORD n = f.GetName(cert, CERT_NAME_ATTR_TYPE, 0, cn, nullptr, 0);
  if (n <= 1) return String();
  std::wstring name(n, L'\0');
  n = f.GetName(cert, CERT_NAME_ATTR_TYPE, 0, cn, name.data(), n);
  return String(name.begin(), name.begin() + (n > 0 ? n - 1 : 0));
}

}  // namespace

TResult VerifyFileSignature(const String& file, const String& signer, void* chain_engine) {
  const TFunctions& f = Functions();
  if (!f.Ok) return TResult{TVerdict::vCannotCheck, "the system's signature checks are missing"};

  std::wstring path(file.begin(), file.end());
  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = ActionGenericVerifyV2();
  const LONG status = f.VerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

  TResult result = FromTrustStatus(static_cast<std::uint32_t>(status));
  if (result.Passed()) {
    // The signer as WinVerifyTrust saw it, so the name and chain checked below belong to the
    // signature it verified.
    CRYPT_PROVIDER_DATA* provider = f.ProvData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* sgnr = provider != nullptr ? f.ProvSigner(provider, 0, FALSE, 0) : nullptr;
    if (sgnr == nullptr || sgnr->csCertChain == 0 || sgnr->pasCertChain == nullptr ||
        sgnr->pasCertChain[0].pCert == nullptr) {
      result = TResult{TVerdict::vNotTrusted, "the signature names no signer"};
    } else {
      PCCERT_CONTEXT cert = sgnr->pasCertChain[0].pCert;
      FILETIME as_of = sgnr->sftVerifyAsOf;
      const bool has_time = as_of.dwLowDateTime != 0 || as_of.dwHighDateTime != 0;
      result = CheckSignerChain(f, static_cast<HCERTCHAINENGINE>(chain_engine), cert,
                                has_time ? &as_of : nullptr);
      if (result.Passed()) {
        const String name = CommonName(f, cert);
        if (name != signer) {
          result.Verdict = TVerdict::vWrongSigner;
          result.Reason =
              "signed by \"" + text::ToUtf8(name) + "\", not by \"" + text::ToUtf8(signer) + "\"";
        } else {
          result.Reason = "signed by \"" + text::ToUtf8(name) + "\"";
        }
      }
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  f.VerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

}  // namespace plat::signature
