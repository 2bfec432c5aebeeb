// The send-buffer pool on its own: block filling, removal, recycling.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "net/netbuffer.h"
#include "platform/exceptions.h"

namespace {

std::vector<int> BlockSizes(const TNetBufferHandler& pool) {
  std::vector<int> sizes;
  for (TNetBuffer* b = pool.InUseList().Head; b != nullptr; b = b->FNext)
    sizes.push_back(b->BufUsed());
  return sizes;
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>('a' + i % 26);
  return s;
}

}  // namespace

TEST(NetBufferHandler, QueuedBytesFillBlocksInOrder) {
  struct Case {
    std::vector<int> writes;
    std::vector<int> blocks;
  };
  for (const Case& c : {Case{{3000}, {1460, 1460, 80}}, Case{{1460}, {1460}},
                        Case{{1000, 1000}, {1460, 540}}, Case{{1}, {1}}, Case{{0, -5}, {}}}) {
    TNetBufferHandler pool(nullptr);
    std::string data = Pattern(5000);
    for (int w : c.writes)
      pool.Write(data.data(), w);
    EXPECT_EQ(BlockSizes(pool), c.blocks);
    EXPECT_EQ(pool.IsEmpty(), c.blocks.empty());
  }
}

TEST(NetBufferHandler, PeekAndRemoveWalkTheBytesInOrder) {
  TNetBufferHandler pool(nullptr);
  std::string data = Pattern(3000), out;
  pool.Write(data.data(), 3000);
  // Take 1000 of the first block, then everything block by block.
  std::int32_t n = 0;
  const char* p = pool.Peek(n);
  ASSERT_EQ(n, 1460);
  out.append(p, 1000);
  pool.Remove(1000);
  EXPECT_EQ(BlockSizes(pool), (std::vector<int>{460, 1460, 80}));
  while ((p = pool.Peek(n)) != nullptr) {
    out.append(p, static_cast<std::size_t>(n));
    pool.Remove(n);
  }
  EXPECT_EQ(out, data);
  EXPECT_TRUE(pool.IsEmpty());
  EXPECT_EQ(pool.InUseCount(), 0);
  EXPECT_EQ(pool.FreeCount(), 3) << "emptied blocks are kept for reuse";
}

TEST(NetBufferHandler, AppendingAfterAPartialSendFillsTheTailFirst) {
  TNetBufferHandler pool(nullptr);
  std::string data = Pattern(3100);
  pool.Write(data.data(), 3000);
  pool.Remove(1000);
  pool.Write(data.data() + 3000, 100);
  EXPECT_EQ(BlockSizes(pool), (std::vector<int>{460, 1460, 180}));
}

TEST(NetBufferHandler, RecycledBlocksKeepTheirSizeAndAreReusedFirst) {
  TNetBufferHandler pool(nullptr);
  std::string data = Pattern(4000);
  pool.Write(data.data(), 1460);
  pool.Remove(1460);
  pool.SetBufSize(100);
  pool.Write(data.data(), 1500);  // the recycled 1460-byte block, then one new 100-byte block
  EXPECT_EQ(BlockSizes(pool), (std::vector<int>{1460, 40}));
  EXPECT_EQ(pool.InUseList().Tail->BufSize(), 100);
  pool.DeleteAllData();
  EXPECT_TRUE(pool.IsEmpty());
  EXPECT_EQ(pool.FreeCount(), 2);
}

TEST(NetBufferHandler, RemoveRefusesInconsistentUse) {
  TNetBufferHandler pool(nullptr);
  try {
    pool.Remove(1);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TNetBufferHandler.Remove: nothing to remove");
  }
  pool.Write("abc", 3);
  try {
    pool.Remove(-2);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TNetBufferHandler.Remove: Invalid Len -2");
  }
}

TEST(NetBuffer, OffsetsReturnToZeroWhenEmptied) {
  TNetBuffer b(0);
  EXPECT_EQ(b.BufSize(), 1460);
  EXPECT_EQ(b.Write("hello", 5), 5);
  char out[8];
  EXPECT_EQ(b.Read(out, 3), 3);
  EXPECT_EQ(b.RdCount, 3);
  EXPECT_EQ(b.Remove(10), 2);
  EXPECT_EQ(b.RdCount, 0);
  EXPECT_EQ(b.WrCount, 0);
  std::int32_t n = -1;
  EXPECT_EQ(b.Peek(n), nullptr);
  EXPECT_EQ(n, 0);
}
