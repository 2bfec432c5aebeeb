// TLS on Windows: not there yet. The backend over the system's security package (SChannel
// through SSPI, loaded at run time like the socket library) is still to be written; until
// then every session is refused, so an https request fails with kTlsErrUnavailable and its
// text instead of going out in plain text.
#include "platform/tls.h"

namespace plat::tls {

std::unique_ptr<TTlsSession> CreateTlsClientSession(const TTlsClientSettings&, int& ErrorCode,
                                                    std::string& ErrorText) {
  ErrorCode = kTlsErrUnavailable;
  ErrorText = "the Windows TLS backend is not built yet";
  return nullptr;
}

}  // namespace plat::tls
