// The Windows reader of the proxy settings against the user's Internet settings as the system
// keeps them: the binary value "DefaultConnectionSettings" under the user's
// "Internet Settings\Connections" key, which WinHTTP reads (Wine too; Wine ignores the older
// ProxyEnable, ProxyServer and ProxyOverride values). Each test writes the value; the program
// runs in a Wine prefix of its own (own-wine-prefix.sh), so the prefix the other tests share is
// never changed.
//
// What Wine cannot show: automatic detection (WPAD asks DHCP and the DNS for a "wpad" host, off
// this machine's loopback-only network), so it is never switched on here; the detection's answer
// takes the same path as a configuration script's, which is tested with a script served on
// 127.0.0.1.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/proxy_settings.h"
#include "tests/support/scripted_server.h"

namespace {

using plat::proxy::TProxyKind;
using plat::proxy::TProxyRoute;

const wchar_t kConnections[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The flags of the value: direct connection allowed, manual proxy, configuration script,
// automatic detection.
constexpr std::uint32_t kDirect = 1, kManual = 2, kScript = 4;

void PutDword(std::string& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutText(std::string& b, const std::string& s) {
  PutDword(b, static_cast<std::uint32_t>(s.size()));
  b += s;
}

// Writes the user's connection settings as the system's settings dialog does.
void WriteSettings(std::uint32_t flags, const std::string& proxy, const std::string& bypass,
                   const std::string& script_url = "") {
  std::string v;
  PutDword(v, 0x46);  // the layout's version
  PutDword(v, 1);     // change counter
  PutDword(v, flags);
  PutText(v, proxy);
  PutText(v, bypass);
  PutText(v, script_url);
  v.append(32, '\0');
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>(v.data()), static_cast<DWORD>(v.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void RemoveSettings() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kConnections, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  RegDeleteValueW(key, L"DefaultConnectionSettings");
  RegCloseKey(key);
}

TProxyRoute RouteFor(const char* url) {
  plat::proxy::TTarget t;
  const std::string u = url;
  const auto scheme_end = u.find("://");
  t.Scheme = text::FromUtf8(u.substr(0, scheme_end));
  std::string rest = u.substr(scheme_end + 3);
  rest = rest.substr(0, rest.find('/'));
  std::string host = rest;
  t.Port = t.Scheme == u"https" ? 443 : 80;
  if (auto colon = rest.rfind(':'); colon != std::string::npos && rest.back() != ']') {
    host = rest.substr(0, colon);
    t.Port = static_cast<std::uint16_t>(std::stoi(rest.substr(colon + 1)));
  }
  t.Host = text::FromUtf8(host);
  t.Url = text::FromUtf8(u);
  return plat::proxy::SystemProxyFor(t);
}

std::string Show(const TProxyRoute& r) {
  if (!r.Usable()) return "error";
  if (r.Direct()) return "direct";
  return std::string(r.Kind == TProxyKind::pkHttp ? "http " : "socks4 ") + text::ToUtf8(r.Host) +
         ":" + std::to_string(r.Port);
}

class SystemProxySettings : public ::testing::Test {
 protected:
  void TearDown() override { RemoveSettings(); }
};

TEST_F(SystemProxySettings, NothingSetGoesDirectly) {
  RemoveSettings();
  EXPECT_EQ(Show(RouteFor("http://download.invalid/download.php")), "direct");
}

TEST_F(SystemProxySettings, TheManualListAndItsBypassList) {
  WriteSettings(kDirect | kManual, "http=127.0.0.1:3128;https=127.0.0.1:3129;socks=127.0.0.2:1080",
                "<local>;*.corp.invalid;127.0.0.9");
  struct Case {
    const char* url;
    const char* route;
  } cases[] = {
      {"http://download.invalid/download.php", "http 127.0.0.1:3128"},
      {"https://download.invalid/download.php", "http 127.0.0.1:3129"},
      {"http://intranet/", "direct"},
      {"http://files.corp.invalid/", "direct"},
      {"http://127.0.0.1:8080/", "direct"},  // loopback, without "<-loopback>"
  };
  for (const Case& c : cases) {
    TProxyRoute r = RouteFor(c.url);
    EXPECT_EQ(Show(r), c.route) << c.url;
    EXPECT_EQ(r.Source, u"Internet settings") << c.url;
  }
}

TEST_F(SystemProxySettings, LoopbackThroughTheProxyWhenTheListSaysSo) {
  WriteSettings(kDirect | kManual, "127.0.0.1:3128", "<-loopback>");
  EXPECT_EQ(Show(RouteFor("http://127.0.0.5:8080/download.php")), "http 127.0.0.1:3128");
}

TEST_F(SystemProxySettings, AListThatIsNotSwitchedOnIsNotUsed) {
  WriteSettings(kDirect, "127.0.0.1:3128", "");
  EXPECT_EQ(Show(RouteFor("http://download.invalid/")), "direct");
}

TEST_F(SystemProxySettings, AnUnusableListIsAnError) {
  WriteSettings(kDirect | kManual, "127.0.0.1:99999", "");
  TProxyRoute r = RouteFor("http://download.invalid/");
  EXPECT_FALSE(r.Usable());
  EXPECT_NE(r.Error.find(u"port"), String::npos) << text::ToUtf8(r.Error);
}

// A configuration script on 127.0.0.1 decides per URL; the manual list is not asked.
TEST_F(SystemProxySettings, AConfigurationScriptDecides) {
  const std::string script =
      "function FindProxyForURL(url, host) {\n"
      "  if (shExpMatch(host, \"*.direct.invalid\")) return \"DIRECT\";\n"
      "  return \"PROXY 127.0.0.1:3130\";\n"
      "}\n";
  const std::string answer =
      "HTTP/1.0 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
      "Content-Length: " +
      std::to_string(script.size()) + "\r\n\r\n" + script;
  std::vector<support::ServerScript> scripts;
  for (int i = 0; i < 4; ++i)
    scripts.push_back(support::ServerScript().ReadUntil("\r\n\r\n").Send(answer).Close());
  support::ScriptedServer server(scripts);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/proxy.pac";
  WriteSettings(kDirect | kManual | kScript, "127.0.0.1:3128", "", url);
  TProxyRoute through = RouteFor("http://download.invalid/download.php");
  EXPECT_EQ(Show(through), "http 127.0.0.1:3130");
  EXPECT_EQ(through.Source, u"automatic configuration");
  EXPECT_EQ(Show(RouteFor("http://www.direct.invalid/")), "direct");
  // The script came from the server.
  EXPECT_EQ(server.Received(0).rfind("GET /proxy.pac HTTP/1.1\r\n", 0), 0u) << server.Received(0);
}

}  // namespace
