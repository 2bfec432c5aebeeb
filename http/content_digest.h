// The sha-256 entry of a Content-Digest or Repr-Digest field (RFC 9530).
//
// Both fields are structured-field dictionaries (RFC 8941): members "algorithm=:base64:",
// separated by commas, each with optional parameters. The whole value is parsed by the
// dictionary grammar, so a field that is not a valid dictionary is told apart from one that
// carries no sha-256 entry: a download never takes a broken digest field for no digest. Entries
// of other algorithms are read and ignored; a sha-256 entry must be a byte sequence of 32 bytes.
// A key given twice counts with its last value, as the dictionary rules say.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/sha256.h"
#include "platform/text.h"

namespace http_digest {

enum class TDigestField {
  dfAbsent,     // empty value: the answer has no such field
  dfNoSha256,   // a valid dictionary without a sha-256 entry
  dfSha256,     // a valid dictionary with a usable sha-256 entry
  dfMalformed,  // not a dictionary, or a sha-256 entry that is no 32-byte byte sequence
};

// Reads the field's value (all its field lines joined with ", ").
TDigestField ParseSha256Digest(std::u16string_view Value, plat::TSha256Digest& Digest);

// The standard base64 alphabet with padding, for the tools that write such fields.
std::string Base64(const void* Data, std::size_t Len);

}  // namespace http_digest
