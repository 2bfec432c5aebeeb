// The incremental chunk decoder against the one-shot reference decoder (reference_framing.h),
// on arbitrary bytes fed in arbitrary pieces.
//
// Input: one byte that chooses the cuts (below 128: pieces of 1 to 17 bytes; from 128: pieces
// of varying sizes from a generator seeded by the byte), then the body bytes. Rules, each named
// in the message when it breaks:
// - feed-makes-progress: a feed takes at least one byte until the body is done or refused;
// - cut-independence: the data, the end and the failure are the same however the bytes are cut;
// - data-within-input: the data never exceeds the bytes fed;
// - done-means-complete: the decoder reports the last chunk only where the reference reads a
//   complete body, and then its data is the reference's document;
// - strict-body-decodes: a body that follows the grammar exactly is decoded to its end;
// - data-is-a-prefix: whatever the decoder passes on is a prefix of the reference's data, so no
//   framing byte ever reaches the document.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/oracle.h"
#include "fuzz/reference_framing.h"
#include "http/chunked.h"

namespace {

using fuzzref::Escape;

struct Outcome {
  std::string data;
  bool done = false;
  bool bad = false;    // the decoder refused the body
  bool stuck = false;  // a feed took no byte though the body was not done
};

// Feeds the body in pieces; next_piece gives each piece's size.
template <class NextPiece>
Outcome Decode(std::string_view body, NextPiece next_piece) {
  THttpChunkParser p;
  Outcome o;
  std::size_t at = 0;
  while (at < body.size() && !p.Done() && !o.bad && !o.stuck) {
    const std::size_t len = std::min(next_piece(), body.size() - at);
    std::size_t used_total = 0;
    while (used_total < len && !p.Done()) {
      std::int64_t used = 0;
      auto r = p.Feed(
          body.data() + at + used_total, static_cast<std::int64_t>(len - used_total),
          [&](const char* x, std::int32_t k) {
            o.data.append(x, static_cast<std::size_t>(k));
            return true;
          },
          used);
      if (r != THttpChunkParser::TResult::Ok) {
        o.bad = true;
        break;
      }
      if (used <= 0) {
        o.stuck = true;
        break;
      }
      used_total += static_cast<std::size_t>(used);
    }
    at += len;
  }
  o.done = p.Done();
  return o;
}

std::string Describe(const Outcome& o) {
  return std::string(o.done    ? "done"
                     : o.bad   ? "refused"
                     : o.stuck ? "stuck"
                               : "waiting") +
         ", data \"" + Escape(o.data) + "\"";
}

void Broken(const char* rule, std::string_view body, const fuzzref::TDecoded& ref,
            const Outcome& whole, const Outcome& cut) {
  if (fuzzref::TOracleSettings::Get().Skips(rule)) return;
  std::fprintf(stderr,
               "\n*** chunk decoder rule broken: %s\n  body:      \"%s\"\n"
               "  reference: %s%s, %s, document \"%s\"\n  whole:     %s\n  cut:       %s\n",
               rule, Escape(body).c_str(), fuzzref::VerdictName(ref.Verdict),
               ref.Lenient ? " (lenient)" : "", ref.Why.c_str(), Escape(ref.Document).c_str(),
               Describe(whole).c_str(), Describe(cut).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzref::StartOracle();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  const Outcome whole = Decode(body, [&] { return body.size(); });
  std::uint32_t seed = mode;
  const Outcome cut = Decode(body, [&]() -> std::size_t {
    if (mode < 128) return mode % 17 + 1;
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % 24 + 1;
  });
  const fuzzref::TDecoded ref = fuzzref::DecodeChunked(body);

  if (whole.stuck || cut.stuck) Broken("feed-makes-progress", body, ref, whole, cut);
  if (whole.data != cut.data || whole.done != cut.done || whole.bad != cut.bad)
    Broken("cut-independence", body, ref, whole, cut);
  if (whole.data.size() > body.size()) Broken("data-within-input", body, ref, whole, cut);
  if (whole.done && (ref.Verdict != fuzzref::TVerdict::Complete || whole.data != ref.Document))
    Broken("done-means-complete", body, ref, whole, cut);
  if (ref.Verdict == fuzzref::TVerdict::Complete && !ref.Lenient &&
      (!whole.done || whole.data != ref.Document))
    Broken("strict-body-decodes", body, ref, whole, cut);
  if (std::string_view(ref.Document).substr(0, whole.data.size()) != whole.data)
    Broken("data-is-a-prefix", body, ref, whole, cut);
  return 0;
}
