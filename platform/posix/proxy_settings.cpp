// The proxy settings of a POSIX system: the environment, as curl reads it.
#include "platform/proxy_settings.h"

#include <cstdlib>

namespace plat::proxy {

TProxyRoute SystemProxyFor(const TTarget& target) {
  return RouteFromEnvironment(target, [](const char* name) -> std::optional<String> {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return text::FromUtf8(v);
  });
}

}  // namespace plat::proxy
