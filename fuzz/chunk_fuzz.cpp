// The chunk decoder on arbitrary bytes fed in arbitrary pieces: the data it yields never
// exceeds the input and is the same however the input is cut.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/chunked.h"

namespace {

std::string Decode(const char* d, std::size_t n, std::size_t step, bool& bad) {
  THttpChunkParser p;
  std::string out;
  bad = false;
  for (std::size_t at = 0; at < n && !p.Done() && !bad; at += step) {
    std::size_t len = std::min(step, n - at);
    std::size_t used_total = 0;
    while (used_total < len && !p.Done()) {
      std::int64_t used = 0;
      auto r = p.Feed(
          d + at + used_total, static_cast<std::int64_t>(len - used_total),
          [&](const char* x, std::int32_t k) {
            out.append(x, static_cast<std::size_t>(k));
            return true;
          },
          used);
      if (r == THttpChunkParser::TResult::BadSize) {
        bad = true;
        break;
      }
      used_total += static_cast<std::size_t>(used);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t step = data[0] % 17 + 1;
  const char* d = reinterpret_cast<const char*>(data + 1);
  bool bad_whole = false, bad_cut = false;
  const std::string whole = Decode(d, size - 1, size, bad_whole);
  const std::string cut = Decode(d, size - 1, step, bad_cut);
  if (whole.size() > size || whole != cut || bad_whole != bad_cut) std::abort();
  return 0;
}
