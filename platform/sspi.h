// The logged-on user's own credentials for HTTP authentication, through the system's security
// packages: SSPI on Windows (secur32.dll, loaded at run time; packages "NTLM" and
// "Negotiate"). Not available on POSIX.
//
// Threads: one session is used by one thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace plat {

class TSspiSession {
 public:
  virtual ~TSspiSession() = default;
  // One step of the exchange: `in` is the server's token (empty for the first step), `out`
  // receives the token to send. False on failure, with a reason in `error`.
  virtual bool Step(std::string_view in, std::string& out, std::string& error) = 0;
};

// A session of `package` ("NTLM" or "Negotiate") for the target `spn` ("HTTP/host", used by
// Negotiate; may be empty), with the logged-on user's credentials. nullptr with a reason in
// `error` when the system has no such package or it cannot be used.
std::unique_ptr<TSspiSession> OpenSspiSession(const char* package, const String& spn,
                                              std::string& error);

}  // namespace plat
