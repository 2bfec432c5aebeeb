// The client's receive buffer: bytes read from the socket and not yet consumed.
//
// The socket reads straight into the free space at the end (one copy from the system), lines
// and body blocks are taken from the front without moving the rest; the unconsumed bytes are
// moved to the front only when the free space at the end runs short. The byte after the last
// valid one is always 0. Allocation happens only when the buffer has to grow, never per read.
//
// Threads: owned and used by one client on its thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/text.h"

class THttpReceiveBuffer {
 public:
  // Room offered to each read when the buffer is fresh: one full socket buffer.
  static constexpr std::size_t kDefaultCapacity = 256 * 1024;
  // Least room offered to a read.
  static constexpr std::size_t kMinRoom = 8192;

  explicit THttpReceiveBuffer(std::size_t capacity = kDefaultCapacity) : FBuf(capacity + 1, 0) {}

  // Free space for the next read, at least kMinRoom bytes; `room` is its size (the byte kept
  // for the terminating 0 is not part of it).
  char* PrepareRead(std::size_t& room) {
    if (FBuf.size() - 1 - FStart - FLen < kMinRoom) {
      if (FStart > 0) {
        std::memmove(FBuf.data(), FBuf.data() + FStart, FLen);
        FStart = 0;
        FBuf[FLen] = 0;
      }
      if (FBuf.size() - 1 - FLen < kMinRoom) FBuf.resize(FLen + kMinRoom + 1);
    }
    room = FBuf.size() - 1 - FStart - FLen;
    return FBuf.data() + FStart + FLen;
  }
  // Adds n bytes just read into the space PrepareRead gave.
  void Commit(std::size_t n) {
    FLen += n;
    FBuf[FStart + FLen] = 0;
  }

  const char* Data() const { return FBuf.data() + FStart; }
  std::size_t Len() const { return FLen; }
  bool Empty() const { return FLen == 0; }
  std::size_t Capacity() const { return FBuf.size() - 1; }

  // Removes n bytes from the front.
  void Consume(std::size_t n) {
    if (n >= FLen) {
      Clear();
      return;
    }
    FStart += n;
    FLen -= n;
  }
  void Clear() {
    FStart = 0;
    FLen = 0;
    FBuf[0] = 0;
  }

  // Length of the first line including its LF; 0 when no LF has arrived yet.
  std::size_t LineLength() const {
    const auto* lf = static_cast<const char*>(std::memchr(Data(), '\n', FLen));
    return lf ? static_cast<std::size_t>(lf - Data()) + 1 : 0;
  }

  // Takes the first line: the bytes before the first LF, without a CR just before it, each byte
  // widened to the character of the same code; removes it with its LF. False, taking nothing,
  // when no LF has arrived yet.
  bool TakeLine(String& line) {
    std::size_t consumed = LineLength();
    if (consumed == 0) return false;
    std::size_t n = consumed - 1;
    if (n > 0 && Data()[n - 1] == '\r') --n;
    line = text::WidenBytes(std::string_view(Data(), n));
    Consume(consumed);
    return true;
  }

 private:
  std::vector<char> FBuf;
  std::size_t FStart = 0;
  std::size_t FLen = 0;
};
