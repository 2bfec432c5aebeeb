// Code signatures on POSIX: there is no Authenticode here. The Linux program runs a Linux setup
// program, which carries no such signature, so every check answers "not applicable" and the
// program goes on as it always has.
#include "platform/signature.h"

namespace plat::signature {

TResult VerifyFileSignature(const String&, const String&, void*) {
  return TResult{TVerdict::vNotApplicable, "no Authenticode signatures on this system"};
}

}  // namespace plat::signature
