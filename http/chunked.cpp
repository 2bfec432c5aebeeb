// Chunked transfer decoding.
#include "http/chunked.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

THttpChunkParser::TResult THttpChunkParser::Feed(const char* data, std::int64_t len,
                                                 const TDataProc& on_data, std::int64_t& used) {
  std::int64_t i = 0;
  auto fail = [&](TResult r) {
    used = i;
    return r;
  };
  while (i < len && FState != httpChunkDone) {
    switch (FState) {
      case httpChunkGetSize: {
        char16_t c = static_cast<unsigned char>(data[i]);
        if (!text::IsHexDigit(c)) {
          // A size line must start with a digit; anything else would end the body with a
          // missing terminating chunk read as if it had come.
          if (FSizeDigits == 0) return fail(TResult::BadSize);
          FState = httpChunkGetExt;
          FInExtension = false;
          FSawCR = false;
          break;
        }
        if (FChunkLength > (0x7FFFFFFF - text::HexValue(c)) / 16) return fail(TResult::BadSize);
        FChunkLength = FChunkLength * 16 + text::HexValue(c);
        ++FSizeDigits;
        ++i;
        break;
      }
      case httpChunkGetExt: {
        if (FInExtension) {
          auto* lf = static_cast<const char*>(
              std::memchr(data + i, '\n', static_cast<std::size_t>(len - i)));
          if (!lf) {
            i = len;
            break;
          }
          i = lf - data;  // the LF itself ends the line below
          FInExtension = false;
          FSawCR = false;
        }
        const char c = data[i];
        if (c == '\n') {
          ++i;
          FState = FChunkLength != 0 ? httpChunkGetData : httpChunkGetTrailer;
          FLineLen = 0;
          FSawCR = false;
        } else if (FSawCR) {
          return fail(TResult::BadSize);  // a CR that is not part of the line end
        } else if (c == '\r') {
          FSawCR = true;
          ++i;
        } else if (c == ';') {
          FInExtension = true;
          ++i;
        } else if (c == ' ' || c == '\t') {
          ++i;
        } else {
          return fail(TResult::BadSize);
        }
        break;
      }
      case httpChunkGetData: {
        auto n =
            static_cast<std::int32_t>(std::min<std::int64_t>(FChunkLength - FChunkRcvd, len - i));
        FChunkRcvd += n;
        if (FChunkRcvd == FChunkLength) {
          FState = httpChunkSkipDataEnd;
          FSawCR = false;
        }
        const char* piece = data + i;
        i += n;
        if (n > 0 && !on_data(piece, n)) {
          used = i;
          return TResult::Ok;
        }
        break;
      }
      case httpChunkSkipDataEnd: {
        const char c = data[i];
        if (c == '\r' && !FSawCR) {
          FSawCR = true;
          ++i;
          break;
        }
        if (c != '\n') return fail(TResult::BadDataEnd);
        ++i;
        FState = httpChunkGetSize;
        FChunkLength = 0;
        FChunkRcvd = 0;
        FSizeDigits = 0;
        FSawCR = false;
        break;
      }
      case httpChunkGetTrailer: {
        // Field lines up to an empty line; their content is not used.
        auto* lf = static_cast<const char*>(
            std::memchr(data + i, '\n', static_cast<std::size_t>(len - i)));
        if (!lf) {
          FLineLen += len - i;
          i = len;
          break;
        }
        std::int64_t line = FLineLen + (lf - (data + i));
        const bool ends_with_cr = lf > data + i ? lf[-1] == '\r' : (FLineLen > 0 && FSawCR);
        if (ends_with_cr) --line;
        i = lf - data + 1;
        FLineLen = 0;
        FSawCR = false;
        if (line == 0) FState = httpChunkDone;
        break;
      }
      case httpChunkDone:
        break;
    }
  }
  // A trailer line cut right after a CR: remember it, the LF may follow in the next feed.
  if (FState == httpChunkGetTrailer && i == len && len > 0 && FLineLen > 0)
    FSawCR = data[len - 1] == '\r';
  used = i;
  return TResult::Ok;
}
