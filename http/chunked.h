// The chunked transfer coding, decoded incrementally: bytes are fed as they arrive, split
// anywhere, and the chunk data comes out in pieces that point into the fed bytes (no copy).
//
// Size lines are hexadecimal digits, then anything (extensions, the CR) up to an LF; the data
// is followed by anything up to an LF; a chunk of size 0 ends the body. Trailer fields after
// the last chunk are not read. Not thread-safe; one parser per document.
#pragma once

#include <cstdint>
#include <functional>

enum THttpChunkState {
  httpChunkGetSize,
  httpChunkGetExt,
  httpChunkGetData,
  httpChunkSkipDataEnd,
  httpChunkDone
};

class THttpChunkParser {
 public:
  // Called for each piece of chunk data; the pointer is valid during the call only. Returning
  // false stops the feed right after that piece.
  using TDataProc = std::function<bool(const char* data, std::int32_t len)>;

  enum class TResult { Ok, BadSize };

  void Reset() {
    FState = httpChunkGetSize;
    FChunkLength = 0;
    FChunkRcvd = 0;
    FSizeDigits = 0;
  }

  // Consumes bytes until they are all used or the body is done; `used` tells how many were
  // consumed. BadSize: a size that does not fit 31 bits, or a size line without any digit.
  TResult Feed(const char* data, std::int64_t len, const TDataProc& on_data, std::int64_t& used);

  THttpChunkState State() const { return FState; }
  bool Done() const { return FState == httpChunkDone; }
  std::int32_t ChunkLength() const { return FChunkLength; }
  std::int32_t ChunkRcvd() const { return FChunkRcvd; }

 private:
  THttpChunkState FState = httpChunkGetSize;
  std::int32_t FChunkLength = 0;
  std::int32_t FChunkRcvd = 0;
  int FSizeDigits = 0;
};
