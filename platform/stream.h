// Byte streams: what the HTTP client writes a download into and reads a request body from.
// Write and Read may raise EStreamError (a full disk, a closed file).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/exceptions.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes at the position; returns how many were read.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  // Writes count bytes at the position; returns how many were written (short on failure for
  // streams that do not raise).
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual std::int64_t Size() = 0;
  // Cuts or extends the stream; the position is kept unless it lies beyond the new end.
  virtual void SetSize(std::int64_t size) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
};

// A stream in memory.
class TMemoryStream : public TStream {
 public:
  std::int32_t Read(void* buffer, std::int32_t count) override {
    if (count <= 0 || pos_ >= static_cast<std::int64_t>(data_.size())) return 0;
    auto n = static_cast<std::int32_t>(
        std::min<std::int64_t>(count, static_cast<std::int64_t>(data_.size()) - pos_));
    std::memcpy(buffer, data_.data() + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    if (limit_ > 0) count = static_cast<std::int32_t>(std::min<std::int64_t>(count, limit_ - pos_));
    if (count <= 0) return 0;
    auto end = static_cast<std::size_t>(pos_) + static_cast<std::size_t>(count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, static_cast<std::size_t>(count));
    pos_ += count;
    return count;
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                        : origin == TSeekOrigin::soCurrent
                            ? pos_
                            : static_cast<std::int64_t>(data_.size());
    pos_ = std::max<std::int64_t>(0, base + offset);
    return pos_;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override {
    data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    pos_ = std::min<std::int64_t>(pos_, size);
  }

  const std::vector<char>& Data() const { return data_; }
  std::string_view View() const { return {data_.data(), data_.size()}; }
  // The stream never grows past `limit` bytes (0: no limit): a write that would is cut short,
  // which a writer that checks the count reports as a failed write.
  void SetLimit(std::int64_t limit) { limit_ = limit < 0 ? 0 : limit; }

 private:
  std::vector<char> data_;
  std::int64_t pos_ = 0;
  std::int64_t limit_ = 0;
};
