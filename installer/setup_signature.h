// The check of the downloaded setup program's code signature before it runs.
#pragma once

#include "platform/signature.h"
#include "platform/text.h"

namespace installer {

// The common name the setup program's signer must have: a build setting (VEXLOR_SETUP_SIGNER,
// "Norvane" unless set).
String SetupSigner();

// The system's check of a downloaded setup program: its Authenticode signature, chained to a
// root the system trusts, by SetupSigner(). Windows only; the Linux program's check answers
// "not applicable" (plat::signature), and it goes on as before.
plat::signature::TResult VerifySetupSignature(const String& file);

}  // namespace installer
