// Code signatures (platform/signature.h).
//
// Everywhere: the verdicts and reasons of the system's statuses, including those Wine's checks
// never report (an expired, revoked or distrusted signer, a certificate not for code signing):
// the rule for them is proved here, through the mapping the Windows backend uses.
//
// Windows (under Wine here): real signatures. At test time, the fixture signing_fixture makes a
// test root and signs a small program with osslsigncode in several ways
// (tools/test-signing/sign-setups.sh). The test root is trusted through a chain engine whose
// only root it is, so nothing is added to the Wine prefix the tests share; the same files
// checked against the system's roots end at the untrusted root. Wine's WinVerifyTrust alone
// accepts a signature whose root is not trusted: the untrusted-root cases pass only because the
// signer's chain is checked again with the Authenticode policy.
//
// POSIX: no Authenticode; the check answers "not applicable" and lets the file run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/signature.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <wincrypt.h>
#endif

namespace {

using plat::signature::FromChainErrorBits;
using plat::signature::FromTrustStatus;
using plat::signature::TVerdict;

struct StatusCase {
  const char* name;
  std::uint32_t status;
  TVerdict verdict;
  const char* reason;
};

class TrustStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(TrustStatus, HasItsVerdictAndReason) {
  const StatusCase& c = GetParam();
  const plat::signature::TResult r = FromTrustStatus(c.status);
  EXPECT_EQ(r.Verdict, c.verdict);
  EXPECT_EQ(r.Reason, c.reason);
  EXPECT_EQ(r.Passed(), c.status == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrustStatus,
    ::testing::Values(
        StatusCase{"ok", 0, TVerdict::vSigned, "signed"},
        StatusCase{"no_signature", 0x800B0100, TVerdict::vUnsigned,
                   "the file is not signed (0x800B0100)"},
        StatusCase{"bad_digest", 0x80096010, TVerdict::vBadDigest,
                   "the file was changed after it was signed (bad digest) (0x80096010)"},
        StatusCase{"untrusted_root", 0x800B0109, TVerdict::vUntrustedRoot,
                   "the signer's certificate does not chain to a trusted root (0x800B0109)"},
        StatusCase{"partial_chain", 0x800B010A, TVerdict::vUntrustedRoot,
                   "the signer's certificate does not chain to a trusted root (0x800B010A)"},
        StatusCase{"expired", 0x800B0101, TVerdict::vNotTrusted,
                   "the signer's certificate has expired or is not yet valid (0x800B0101)"},
        StatusCase{"revoked", 0x800B010C, TVerdict::vNotTrusted,
                   "the signer's certificate was revoked (0x800B010C)"},
        StatusCase{"distrusted", 0x800B0111, TVerdict::vNotTrusted,
                   "the signer's certificate is explicitly distrusted (0x800B0111)"},
        StatusCase{"wrong_usage", 0x800B0110, TVerdict::vNotTrusted,
                   "the signer's certificate is not for code signing (0x800B0110)"},
        StatusCase{"subject_not_trusted", 0x800B0004, TVerdict::vNotTrusted,
                   "the signature is not trusted (0x800B0004)"},
        StatusCase{"file_not_found", 0x80070002, TVerdict::vCannotCheck,
                   "the signature could not be checked (0x80070002)"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BitsCase {
  const char* name;
  std::uint32_t bits;
  std::uint32_t as_status;  // the status whose verdict and reason it takes
};

class ChainBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(ChainBits, TakeTheVerdictOfTheirStatus) {
  const BitsCase& c = GetParam();
  const plat::signature::TResult r = FromChainErrorBits(c.bits), s = FromTrustStatus(c.as_status);
  EXPECT_EQ(r.Verdict, s.Verdict);
  EXPECT_EQ(r.Reason, s.Reason);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChainBits,
    ::testing::Values(BitsCase{"none", 0, 0},
                      // Revocation is never looked up: its "unknown" findings alone pass.
                      BitsCase{"revocation_unknown_offline", 0x40 | 0x1000000, 0},
                      BitsCase{"untrusted_root", 0x20, 0x800B0109},
                      BitsCase{"partial_chain", 0x10000, 0x800B010A},
                      BitsCase{"expired", 0x1, 0x800B0101},
                      BitsCase{"not_for_code_signing", 0x10, 0x800B0110},
                      BitsCase{"revoked", 0x4, 0x800B010C},
                      BitsCase{"distrusted", 0x4000000, 0x800B0111},
                      // A bad certificate signature outweighs the rest.
                      BitsCase{"bad_signature_and_untrusted", 0x8 | 0x20 | 0x1, 0x80096004}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChainBits, AnyOtherFindingFails) {
  const plat::signature::TResult r = FromChainErrorBits(0x100);  // an invalid extension
  EXPECT_EQ(r.Verdict, TVerdict::vNotTrusted);
  EXPECT_FALSE(r.Passed());
  EXPECT_EQ(r.Reason, "the signer's certificate chain is not valid (0x00000100)");
}

#ifndef _WIN32

TEST(FileSignature, IsNotApplicableOnPosixAndLetsTheFileRun) {
  const plat::signature::TResult r = plat::signature::VerifyFileSignature(u"/bin/sh", u"Norvane");
  EXPECT_EQ(r.Verdict, TVerdict::vNotApplicable);
  EXPECT_TRUE(r.Passed());
}

#else

namespace fs = std::filesystem;

String Of(const fs::path& p) {
  const std::wstring w = p.wstring();
  return String(w.begin(), w.end());
}

fs::path Signed(const char* name) {
  return fs::path(VEXLOR_SIGNING_DIR) / name;
}

// A chain engine whose one trusted root is the test root.
class TestRootEngine {
 public:
  TestRootEngine() {
    std::ifstream in(Signed("root.der"), std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store_ == nullptr || der.empty() ||
        !CertAddEncodedCertificateToStore(
            store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr))
      return;
    CERT_CHAIN_ENGINE_CONFIG config{};
    // The size without dwExclusiveFlags: what Wine accepts.
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    config.hExclusiveRoot = store_;
    if (!CertCreateCertificateChainEngine(&config, &engine_)) engine_ = nullptr;
  }
  ~TestRootEngine() {
    if (engine_ != nullptr) CertFreeCertificateChainEngine(engine_);
    if (store_ != nullptr) CertCloseStore(store_, 0);
  }
  void* Get() const { return engine_; }

 private:
  HCERTSTORE store_ = nullptr;
  HCERTCHAINENGINE engine_ = nullptr;
};

struct FileCase {
  const char* name;
  const char* file;        // made by the fixture
  const char* signer;      // the signer required
  bool test_root_trusted;  // checked with the test root as the only trusted root
  TVerdict verdict;
  const char* reason_start;
};

class FileSignature : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileSignature, HasItsVerdict) {
  const FileCase& c = GetParam();
  ASSERT_TRUE(fs::exists(Signed("signed.exe"))) << "run the fixture signing_fixture first";
  TestRootEngine engine;
  ASSERT_NE(engine.Get(), nullptr);
  const plat::signature::TResult r = plat::signature::VerifyFileSignature(
      Of(Signed(c.file)), text::FromUtf8(c.signer), c.test_root_trusted ? engine.Get() : nullptr);
  EXPECT_EQ(r.Verdict, c.verdict) << r.Reason;
  EXPECT_EQ(r.Reason.compare(0, std::string(c.reason_start).size(), c.reason_start), 0) << r.Reason;
  EXPECT_EQ(r.Passed(), c.verdict == TVerdict::vSigned);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileSignature,
    ::testing::Values(FileCase{"signed", "signed.exe", "Norvane", true, TVerdict::vSigned,
                               "signed by \"Norvane\""},
                      FileCase{"unsigned", "unsigned.exe", "Norvane", true, TVerdict::vUnsigned,
                               "the file is not signed"},
                      FileCase{"tampered", "tampered.exe", "Norvane", true, TVerdict::vBadDigest,
                               "the file was changed after it was signed"},
                      FileCase{"other_signer", "other-signer.exe", "Norvane", true,
                               TVerdict::vWrongSigner,
                               "signed by \"Other Vendor\", not by \"Norvane\""},
                      // The name is compared exactly: no case folding, no trimming.
                      FileCase{"signer_case", "signed.exe", "norvane", true, TVerdict::vWrongSigner,
                               "signed by \"Norvane\", not by \"norvane\""},
                      FileCase{"signer_prefix", "signed.exe", "Norvane Inc", true,
                               TVerdict::vWrongSigner,
                               "signed by \"Norvane\", not by \"Norvane Inc\""},
                      // Issued by a root nobody trusts: WinVerifyTrust under Wine lets it pass, the
                      // chain check does not.
                      FileCase{"untrusted_root", "untrusted-root.exe", "Norvane", true,
                               TVerdict::vUntrustedRoot, "the signer's certificate does not chain"},
                      // The system's roots, which do not hold the test root.
                      FileCase{"system_roots", "signed.exe", "Norvane", false,
                               TVerdict::vUntrustedRoot, "the signer's certificate does not chain"},
                      FileCase{"missing_file", "no-such-file.exe", "Norvane", true,
                               TVerdict::vCannotCheck, "the signature could not be checked"}),
    [](const auto& info) { return std::string(info.param.name); });

#endif

}  // namespace
