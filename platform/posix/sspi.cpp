// POSIX: the system offers no logged-on user's credentials for HTTP authentication.
#include "platform/sspi.h"

namespace plat {

std::unique_ptr<TSspiSession> OpenSspiSession(const char* package, const String&,
                                              std::string& error) {
  error = std::string("the system's ") + package + " credentials are not available here";
  return nullptr;
}

}  // namespace plat
