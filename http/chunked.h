// The chunked transfer coding, decoded incrementally: bytes are fed as they arrive, split
// anywhere, and the chunk data comes out in pieces that point into the fed bytes (no copy).
//
// The framing is read as RFC 9112 section 7.1 has it, with LF alone accepted as a line end:
// a size line is hexadecimal digits, optional blanks or tabs, then either the line end or ";"
// and extensions (skipped up to the LF); the data is followed by exactly CR LF (or LF); the
// chunk of size 0 is followed by the trailer section, field lines up to an empty line, which
// is consumed and ignored. Anything else is a framing error: a corrupt body never decodes to
// a document. Not thread-safe; one parser per document.
#pragma once

#include <cstdint>
#include <functional>

enum THttpChunkState {
  httpChunkGetSize,
  httpChunkGetExt,
  httpChunkGetData,
  httpChunkSkipDataEnd,
  httpChunkGetTrailer,  // after the chunk of size 0: the trailer section and the empty line
  httpChunkDone
};

class THttpChunkParser {
 public:
  // Called for each piece of chunk data; the pointer is valid during the call only. Returning
  // false stops the feed right after that piece.
  using TDataProc = std::function<bool(const char* data, std::int32_t len)>;

  // BadSize: a size line without any digit, with a size that does not fit 31 bits, or with
  // something other than blanks, ";" or the line end after the digits. BadDataEnd: chunk data
  // not followed by its line end. After either the parser stays where it stopped.
  enum class TResult { Ok, BadSize, BadDataEnd };

  void Reset() {
    FState = httpChunkGetSize;
    FChunkLength = 0;
    FChunkRcvd = 0;
    FSizeDigits = 0;
    FInExtension = false;
    FSawCR = false;
    FLineLen = 0;
  }

  // Consumes bytes until they are all used or the body is done; `used` tells how many were
  // consumed. Bytes after the body (after the empty line ending the trailer section) are left.
  TResult Feed(const char* data, std::int64_t len, const TDataProc& on_data, std::int64_t& used);

  THttpChunkState State() const { return FState; }
  // The whole chunked body has arrived, the trailer section's empty line included.
  bool Done() const { return FState == httpChunkDone; }
  // The chunk of size 0 has arrived: the document's data is complete (the trailer section may
  // still be on its way).
  bool LastChunkSeen() const { return FState == httpChunkGetTrailer || FState == httpChunkDone; }
  std::int32_t ChunkLength() const { return FChunkLength; }
  std::int32_t ChunkRcvd() const { return FChunkRcvd; }

 private:
  THttpChunkState FState = httpChunkGetSize;
  std::int32_t FChunkLength = 0;
  std::int32_t FChunkRcvd = 0;
  int FSizeDigits = 0;
  bool FInExtension = false;  // a ";" was seen on the size line: skip to its LF
  bool FSawCR = false;        // a CR was seen where a line end is expected
  std::int64_t FLineLen = 0;  // bytes of the current trailer line before its line end
};
