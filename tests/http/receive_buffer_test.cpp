// The receive buffer: room for reads, line cutting, consumption from the front.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/receive_buffer.h"

namespace {

void Put(THttpReceiveBuffer& b, const std::string& bytes) {
  std::size_t room = 0;
  char* at = b.PrepareRead(room);
  ASSERT_GE(room, bytes.size());
  std::memcpy(at, bytes.data(), bytes.size());
  b.Commit(bytes.size());
}

TEST(ReceiveBuffer, OffersAFullSocketBufferAndKeepsATerminatingZero) {
  THttpReceiveBuffer b;
  std::size_t room = 0;
  b.PrepareRead(room);
  EXPECT_EQ(room, 256u * 1024u);
  Put(b, "abc");
  EXPECT_EQ(b.Data()[3], '\0');
  b.PrepareRead(room);
  EXPECT_EQ(room, 256u * 1024u - 3);
}

TEST(ReceiveBuffer, CutsLinesAtLfWithOrWithoutCr) {
  THttpReceiveBuffer b;
  Put(b, "HTTP/1.1 200 OK\r\nA: b\n\r\npartial");
  String line;
  ASSERT_TRUE(b.TakeLine(line));
  EXPECT_EQ(line, u"HTTP/1.1 200 OK");
  ASSERT_TRUE(b.TakeLine(line));
  EXPECT_EQ(line, u"A: b");
  ASSERT_TRUE(b.TakeLine(line));
  EXPECT_EQ(line, u"");
  EXPECT_FALSE(b.TakeLine(line));
  EXPECT_EQ(std::string(b.Data(), b.Len()), "partial");
  Put(b, "\xe9\r\n");
  ASSERT_TRUE(b.TakeLine(line));
  EXPECT_EQ(line, u"partial\u00e9");
  EXPECT_TRUE(b.Empty());
}

TEST(ReceiveBuffer, CompactsBeforeGrowingAndGrowsWhenFull) {
  THttpReceiveBuffer b(16 * 1024);
  std::string big(12 * 1024, 'x');
  Put(b, big);
  b.Consume(10 * 1024);
  std::size_t room = 0;
  b.PrepareRead(room);  // only 4 KiB free at the end: moves the 2 KiB rest to the front
  EXPECT_EQ(room, 14u * 1024u);
  EXPECT_EQ(b.Capacity(), 16u * 1024u);
  EXPECT_EQ(std::string(b.Data(), b.Len()), std::string(2 * 1024, 'x'));
  Put(b, std::string(12 * 1024, 'y'));
  b.PrepareRead(room);  // 2 KiB free, nothing to compact: grows
  EXPECT_GE(room, THttpReceiveBuffer::kMinRoom);
  EXPECT_EQ(b.Len(), 14u * 1024u);
  EXPECT_EQ(b.Data()[b.Len()], '\0');
}

}  // namespace
