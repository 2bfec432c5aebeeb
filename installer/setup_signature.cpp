// The setup program's signature check.
#include "installer/setup_signature.h"

#ifndef VEXLOR_SETUP_SIGNER
#define VEXLOR_SETUP_SIGNER "Norvane"
#endif

namespace installer {

String SetupSigner() {
  return text::FromUtf8(VEXLOR_SETUP_SIGNER);
}

plat::signature::TResult VerifySetupSignature(const String& file) {
  return plat::signature::VerifyFileSignature(file, SetupSigner());
}

}  // namespace installer
