// Chunked transfer decoding.
#include "http/chunked.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

THttpChunkParser::TResult THttpChunkParser::Feed(const char* data, std::int64_t len,
                                                 const TDataProc& on_data, std::int64_t& used) {
  std::int64_t i = 0;
  while (i < len && FState != httpChunkDone) {
    switch (FState) {
      case httpChunkGetSize: {
        char16_t c = static_cast<unsigned char>(data[i]);
        if (!text::IsHexDigit(c)) {
          // A size line must start with a digit; anything else would end the body with a
          // missing terminating chunk read as if it had come.
          if (FSizeDigits == 0) {
            used = i;
            return TResult::BadSize;
          }
          FState = httpChunkGetExt;
          break;
        }
        if (FChunkLength > (0x7FFFFFFF - text::HexValue(c)) / 16) {
          used = i;
          return TResult::BadSize;
        }
        FChunkLength = FChunkLength * 16 + text::HexValue(c);
        ++FSizeDigits;
        ++i;
        break;
      }
      case httpChunkGetExt: {
        auto* lf = static_cast<const char*>(
            std::memchr(data + i, '\n', static_cast<std::size_t>(len - i)));
        if (!lf) {
          i = len;
          break;
        }
        i = lf - data + 1;
        FState = FChunkLength != 0 ? httpChunkGetData : httpChunkDone;
        break;
      }
      case httpChunkGetData: {
        auto n =
            static_cast<std::int32_t>(std::min<std::int64_t>(FChunkLength - FChunkRcvd, len - i));
        FChunkRcvd += n;
        if (FChunkRcvd == FChunkLength) FState = httpChunkSkipDataEnd;
        const char* piece = data + i;
        i += n;
        if (n > 0 && !on_data(piece, n)) {
          used = i;
          return TResult::Ok;
        }
        break;
      }
      case httpChunkSkipDataEnd: {
        auto* lf = static_cast<const char*>(
            std::memchr(data + i, '\n', static_cast<std::size_t>(len - i)));
        if (!lf) {
          i = len;
          break;
        }
        i = lf - data + 1;
        FState = httpChunkGetSize;
        FChunkLength = 0;
        FChunkRcvd = 0;
        FSizeDigits = 0;
        break;
      }
      case httpChunkDone:
        break;
    }
  }
  used = i;
  return TResult::Ok;
}
