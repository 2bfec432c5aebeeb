// The parsers of hostile authentication challenges: an NTLM type-2 message (and the type-3
// message built from it at every LmCompatLevel) and a Digest challenge (and the answer built
// from it), plus the choice among challenge values. The first byte picks the parser; the rest
// is the input. Rules: no crash; the fields of a parsed type-2 message lie inside it; a built
// answer is either empty or a well-formed value of its scheme; an accepted Digest challenge
// always gives an answer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_auth.h"

namespace {

void FuzzNtlm(std::string_view message) {
  httpauth::ntlm::TChallenge c;
  if (httpauth::ntlm::ParseChallenge(message, c)) {
    if (c.target_name.size() > message.size() || c.target_info.size() > message.size())
      std::abort();
  }
  for (int level : {0, 2, 3}) {
    httpauth::TNtlmClient client(u"Domain\\User", u"Password", level);
    client.SetRandomSource([](std::uint8_t* out, std::size_t len) { std::memset(out, 0xaa, len); });
    client.SetClock([] { return std::uint64_t{0}; });
    const std::string answer = client.Authenticate("NTLM " + httpauth::Base64Encode(message));
    std::string bytes;
    if (answer.empty()) continue;
    if (answer.rfind("NTLM ", 0) != 0 || !httpauth::Base64Decode(answer.substr(5), bytes) ||
        bytes.size() < 64 || std::memcmp(bytes.data(), "NTLMSSP\0\x03\0\0\0", 12) != 0)
      std::abort();
    // An answer exists only for a challenge that parses.
    if (!httpauth::ntlm::ParseChallenge(message, c)) std::abort();
  }
}

void FuzzDigest(std::string_view text) {
  httpauth::TDigestClient client(
      [](std::uint8_t* out, std::size_t len) { std::memset(out, 0x55, len); });
  if (client.Accept(text)) {
    const std::string a = client.Authorization("GET", "/x", "user", "pw");
    if (a.rfind("Digest username=\"user\"", 0) != 0 || client.Nonce().empty()) std::abort();
  }
  // The same text as a list of challenge values, one per line.
  std::vector<std::string> values;
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string_view::npos) end = text.size();
    values.emplace_back(text.substr(from, end - from));
    from = end + 1;
  }
  const httpauth::TChallengePick pick = httpauth::PickChallenge(values, true);
  if (pick.scheme != httpauth::TAuthScheme::None && pick.index >= values.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1)
    FuzzDigest(input);
  else
    FuzzNtlm(input);
  return 0;
}
