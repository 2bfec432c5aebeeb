// The proxy settings of Windows: the user's Internet settings as WinHTTP sees them. winhttp.dll
// is loaded at run time (nothing new linked); without it every request goes directly, as it
// did before the settings were read.
#include "platform/win32/win.h"

#include <winhttp.h>

#include "platform/proxy_settings.h"
#include "platform/win32/system_library.h"

namespace plat::proxy {

namespace {

using GetIEProxyConfigFn = BOOL(WINAPI*)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*);
using OpenFn = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
using GetProxyForUrlFn = BOOL(WINAPI*)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                       WINHTTP_PROXY_INFO*);
using SetTimeoutsFn = BOOL(WINAPI*)(HINTERNET, int, int, int, int);
using CloseHandleFn = BOOL(WINAPI*)(HINTERNET);

struct TWinHttp {
  GetIEProxyConfigFn GetIEProxyConfig = nullptr;
  OpenFn Open = nullptr;
  GetProxyForUrlFn GetProxyForUrl = nullptr;
  SetTimeoutsFn SetTimeouts = nullptr;
  CloseHandleFn Close = nullptr;
};

// Loaded once and kept: the library stays mapped for the program's life, like the other
// system libraries the backends load.
const TWinHttp& WinHttp() {
  static const TWinHttp api = [] {
    TWinHttp a;
    HMODULE m = win32::LoadSystemLibrary(L"winhttp.dll");
    if (m == nullptr) return a;
    win32::Find(m, "WinHttpGetIEProxyConfigForCurrentUser", a.GetIEProxyConfig);
    // Automatic configuration needs all four; without them only the manual settings apply.
    if (!win32::Find(m, "WinHttpOpen", a.Open) ||
        !win32::Find(m, "WinHttpGetProxyForUrl", a.GetProxyForUrl) ||
        !win32::Find(m, "WinHttpSetTimeouts", a.SetTimeouts) ||
        !win32::Find(m, "WinHttpCloseHandle", a.Close))
      a.GetProxyForUrl = nullptr;
    return a;
  }();
  return api;
}

// A system string, then freed as the system asks (GlobalFree).
String Take(LPWSTR& s) {
  String out;
  if (s != nullptr) {
    out = String(reinterpret_cast<const char16_t*>(s));
    GlobalFree(s);
    s = nullptr;
  }
  return out;
}

// The answer of automatic detection or of the configuration script for `target`; nothing when
// neither gives one (then the manual settings apply, as the system's own programs do).
std::optional<TProxyRoute> AutomaticRoute(const TWinHttp& api, const TInternetSettings& settings,
                                          const TTarget& target) {
  if (api.GetProxyForUrl == nullptr || target.Url.empty()) return std::nullopt;
  HINTERNET session = api.Open(L"Vexlor Installer", WINHTTP_ACCESS_TYPE_NO_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return std::nullopt;
  // Bounds the fetch of a configuration script: name lookup, connect, send, receive.
  api.SetTimeouts(session, 5000, 5000, 5000, 10000);
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (settings.AutoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  std::wstring config_url(settings.AutoConfigUrl.begin(), settings.AutoConfigUrl.end());
  if (!config_url.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = config_url.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  const std::wstring url(target.Url.begin(), target.Url.end());
  WINHTTP_PROXY_INFO info{};
  std::optional<TProxyRoute> route;
  if (api.GetProxyForUrl(session, url.c_str(), &options, &info)) {
    const String list = Take(info.lpszProxy);
    const String bypass = Take(info.lpszProxyBypass);
    const String source = u"automatic configuration";
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !list.empty() &&
        !(!bypass.empty() && BypassListMatches(bypass, target))) {
      route = RouteFromProxyList(list, target.Scheme, source);
    } else {
      route = TProxyRoute();
      route->Source = source;
    }
  }
  api.Close(session);
  return route;
}

}  // namespace

TProxyRoute SystemProxyFor(const TTarget& target) {
  const TWinHttp& api = WinHttp();
  if (api.GetIEProxyConfig == nullptr) return TProxyRoute();
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!api.GetIEProxyConfig(&config)) return TProxyRoute();
  TInternetSettings settings;
  settings.AutoDetect = config.fAutoDetect != FALSE;
  settings.AutoConfigUrl = Take(config.lpszAutoConfigUrl);
  settings.Proxy = Take(config.lpszProxy);
  settings.ProxyBypass = Take(config.lpszProxyBypass);
  if (settings.AutoDetect || !settings.AutoConfigUrl.empty()) {
    if (std::optional<TProxyRoute> automatic = AutomaticRoute(api, settings, target))
      return *automatic;
  }
  return RouteFromInternetSettings(settings, target);
}

}  // namespace plat::proxy
