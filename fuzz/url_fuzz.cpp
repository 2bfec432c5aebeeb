// SplitUrl, DocNameFromPath, UrlDirectory and ReplaceExtension on arbitrary text: no crash, and
// the parts come from the input.
#include <cstdint>
#include <cstdlib>

#include "http/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Two characters per UTF-16 unit; the first half is the URL, the rest the base path.
  String all(size / 2, u'\0');
  for (std::size_t i = 0; i < all.size(); ++i)
    all[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  const String url = all.substr(0, all.size() / 2);
  String proto, user, pass, host, port, path = all.substr(all.size() / 2);
  SplitUrl(url, proto, user, pass, host, port, path);
  if (host.size() > url.size() || port.size() > url.size() || user.size() > url.size())
    std::abort();
  String doc = path;
  DocNameFromPath(doc);
  if (doc.empty() || doc.size() > 255 + 12) std::abort();
  String dir = UrlDirectory(path);
  if (dir.size() > path.size()) std::abort();
  ReplaceExtension(doc, u"htm");
  return 0;
}
