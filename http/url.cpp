// URL helpers. Positions are 0-based here; npos stands for "not found".
#include "http/url.h"

namespace {

constexpr auto npos = String::npos;

// Lower-cases A to Z only.
String Lower(const String& s) {
  return text::LowerAscii(std::u16string_view(s));
}

bool StartsWith(const String& s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && std::u16string_view(s).substr(0, prefix.size()) == prefix;
}

// The directory of a base path: up to and including its last "/", or "/" when it has none.
String BaseDirectory(const String& base) {
  auto slash = base.rfind(u'/');
  return slash == npos ? String(u"/") : base.substr(0, slash + 1);
}

// A scheme may hold only "+", "-", ".", digits and lower-case letters (compared on the low
// 8 bits of each character, after lower-casing).
bool ValidScheme(const String& lowered) {
  for (char16_t c : lowered) {
    auto b = static_cast<unsigned char>(c & 0xFF);
    bool ok = b == '+' || b == '-' || b == '.' || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z');
    if (!ok) return false;
  }
  return true;
}

}  // namespace

void SplitUrl(const String& URL, String& Proto, String& User, String& Pass, String& Host,
              String& Port, String& Path) {
  const String base = Path;
  Proto.clear();
  User.clear();
  Pass.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  if (URL.empty()) return;

  if (StartsWith(URL, u"./")) {
    Path = BaseDirectory(base) + URL.substr(2);
    return;
  }
  if (StartsWith(URL, u"../")) {
    String dir = BaseDirectory(base);
    String rest = URL.substr(3);
    for (;;) {
      dir.pop_back();  // dir always ends with "/" here
      auto slash = dir.rfind(u'/');
      dir = slash == npos ? String(u"/") : dir.substr(0, slash + 1);
      if (!StartsWith(rest, u"../")) break;
      rest.erase(0, 3);
    }
    Path = dir + rest;
    return;
  }

  std::size_t start = 0;  // where the authority begins
  auto sep = URL.find(u"://");
  if (sep != npos) {
    String scheme = Lower(URL.substr(0, sep));
    if (ValidScheme(scheme)) {
      Proto = scheme;
      start = sep + 3;
    } else {
      Proto = u"http";
      sep = npos;
    }
  }
  if (sep == npos) {
    if (URL[0] == u'/') {
      Proto = u"http";
      if (URL.size() == 1 || URL[1] != u'/') {
        Path = URL;
        return;
      }
      start = 2;
    } else if (Lower(URL.substr(0, 5)) == u"http:") {
      Proto = u"http";
      if (URL.size() > 6 && URL[6] != u'/') {
        Path = URL.substr(5);
        return;
      }
      start = 6;
    } else if (Lower(URL.substr(0, 7)) == u"mailto:") {
      Proto = u"mailto";
      start = URL.find(u':') + 1;
    }
  }

  String authority = start < URL.size() ? URL.substr(start) : String();
  auto slash = authority.find(u'/');
  auto query = authority.find(u'?');
  auto path_at = (query != npos && (slash == npos || query < slash)) ? query : slash;
  if (path_at != npos) {
    Path = authority.substr(path_at);
    authority.erase(path_at);
  }

  bool host_set = false;
  if (!authority.empty() && authority[0] == u'[') {
    auto close = authority.find(u']', 1);
    if (close != npos) {
      Host = authority.substr(1, close - 1);
      host_set = true;
      authority.erase(0, close + 1);
    }
  }

  auto colon = authority.rfind(u':');
  auto at = authority.rfind(u'@');
  String user_part;
  if (colon == npos && at == npos) {
    if (!host_set) Host = authority;
    return;
  }
  // "c > a" with absent positions counting as before the start.
  bool port_after_at = colon != npos && (at == npos || colon > at);
  if (port_after_at) {
    Port = authority.substr(colon + 1);
    std::size_t host_from = at == npos ? 0 : at + 1;
    if (!host_set) Host = authority.substr(host_from, colon - host_from);
    if (at == npos) return;
    user_part = authority.substr(0, at);
  } else {
    if (!host_set) Host = authority.substr(at + 1);
    user_part = authority.substr(0, at);
  }
  auto user_colon = user_part.find(u':');
  if (user_colon == npos) {
    User = user_part;
  } else {
    User = user_part.substr(0, user_colon);
    Pass = user_part.substr(user_colon + 1);
  }
}

void DocNameFromPath(String& DocName) {
  auto query = DocName.find(u'?');
  if (query != npos) DocName.erase(query);
  if (DocName.empty() || DocName.back() == u'/') {
    DocName = u"document.htm";
    return;
  }
  auto slash = DocName.rfind(u'/');
  if (slash != npos)
    DocName = DocName.substr(slash + 1, 255);
  else if (DocName.size() > 255)
    DocName.resize(255);
  query = DocName.find(u'?');
  if (query != npos) DocName.erase(query);
}

String UrlDirectory(const String& Path) {
  auto end = Path.find(u'?');
  if (end == npos) end = Path.size();
  while (end > 0) {
    auto b = static_cast<unsigned char>(Path[end - 1] & 0xFF);
    if (b == '/' || b == ':') return Path.substr(0, end);
    --end;
  }
  return String();
}

void ReplaceExtension(String& FName, const String& Ext) {
  auto dot = FName.rfind(u'.');
  if (dot == npos)
    FName += u'.';
  else
    FName.erase(dot + 1);
  FName += Ext;
}
