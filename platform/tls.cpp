// The portable part of the TLS seam: the descriptions of its error codes.
#include "platform/tls.h"

namespace plat::tls {

const char* TlsErrorText(int code) {
  switch (code) {
    case kTlsErrHandshake:
      return "TLS - handshake failed";
    case kTlsErrVerify:
      return "TLS - server certificate not accepted";
    case kTlsErrUnavailable:
      return "TLS - not available on this system";
    case kTlsErrClosedInHandshake:
      return "TLS - connection closed during the handshake";
    case kTlsErrProtocol:
      return "TLS - protocol error";
    case kTlsErrVersion:
      return "TLS - no common protocol version (TLS 1.2 or later required)";
    case kTlsErrRoots:
      return "TLS - cannot read the additional trusted roots";
    default:
      return nullptr;
  }
}

}  // namespace plat::tls
