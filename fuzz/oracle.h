// What the fuzz targets with an oracle share: the rules they check can be skipped by name while
// one kind of finding is known and others are looked for, and bytes are shown escaped in their
// messages.
//
// VEXLOR_FUZZ_SKIP=rule,rule,... names rules whose breaking is not reported (the run goes on);
// scripts/test and fuzz/run.sh never set it. VEXLOR_FUZZ_VERBOSE=1 makes the response target
// describe every case it runs, to see what an input does.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/reference_framing.h"

namespace fuzzref {

// Reads the environment once; call from LLVMFuzzerInitialize.
struct TOracleSettings {
  std::string Skipped;
  bool Verbose = false;

  static TOracleSettings& Get() {
    static TOracleSettings settings;
    return settings;
  }
  void ReadEnvironment() {
    if (const char* skip = std::getenv("VEXLOR_FUZZ_SKIP")) Skipped = skip;
    if (const char* verbose = std::getenv("VEXLOR_FUZZ_VERBOSE")) Verbose = *verbose == '1';
  }
  bool Skips(std::string_view rule) const {
    for (std::size_t at = 0; at <= Skipped.size();) {
      std::size_t comma = Skipped.find(',', at);
      if (comma == std::string::npos) comma = Skipped.size();
      if (std::string_view(Skipped).substr(at, comma - at) == rule) return true;
      at = comma + 1;
    }
    return false;
  }
};

// Bytes as C-style text for messages: CR, LF, tab, quote and backslash escaped, other bytes
// outside printable ASCII as \xHH; cut after `limit` bytes with the full size noted.
inline std::string Escape(std::string_view s, std::size_t limit = 1200) {
  std::string out;
  for (char ch : s.substr(0, limit)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\\' || c == '"')
      out += std::string("\\") + ch;
    else if (c >= 32 && c < 127)
      out += ch;
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (s.size() > limit) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out;
}

// Reads the settings and checks the reference decoders against their known answers before any
// input runs; a reference that disagrees stops the target with the case that disagreed.
inline void StartOracle() {
  TOracleSettings::Get().ReadEnvironment();
  const std::string broken = SelfCheck();
  if (!broken.empty()) {
    std::fprintf(stderr, "%s\n", broken.c_str());
    std::abort();
  }
}

}  // namespace fuzzref
