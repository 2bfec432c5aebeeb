// Helpers shared by the source files of TCustomWSocket (wsocket*.cpp); not part of the
// socket's interface.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "net/proxy_protocol.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/tls.h"

namespace ws = plat::sock;

namespace wsocket_detail {

inline std::string Utf8(const String& s) {
  return text::ToUtf8(s);
}

inline std::string ErrorTextOf(int code) {
  const char* t = ws::SocketErrorText(code);
  if (t == nullptr) t = plat::tls::TlsErrorText(code);
  if (t != nullptr) return t;
  std::string proxy_text = proxy::ErrorText(code);
  return proxy_text.empty() ? std::string("Not a Winsocket error") : proxy_text;
}

inline std::string DescribeWithCode(int code) {
  return ErrorTextOf(code) + " (#" + text::DecimalStr(code) + ")";
}

inline std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ')
    s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ')
    s.remove_suffix(1);
  return s;
}

// Raises the library count for the duration of one call, without unloading afterwards.
struct LibraryUse {
  LibraryUse() {
    std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
    ++ws::SocketInstanceCount();
  }
  ~LibraryUse() {
    std::lock_guard<TNetCriticalSection> lock(ws::SocketLibraryLock());
    --ws::SocketInstanceCount();
  }
};

}  // namespace wsocket_detail
