// SPDX-License-Identifier: MIT
// The byte ring: all-or-nothing transfers, filling to capacity, the wrap of
// the storage and of the 32-bit totals, and one producer with one consumer.
#include "stream/fifo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace vkm470::stream {
namespace {

std::string take(TFIFO_BASE_BYTE& ring, std::uint32_t n) {
  std::string out(n, '\0');
  EXPECT_TRUE(ring.Read(out.data(), n));
  return out;
}

TEST(Ring, NewAndClearedRingsAreEmpty) {
  TFIFO_BASE_BYTE ring(8);
  EXPECT_EQ(ring.GetSize(), 8u);
  EXPECT_EQ(ring.GetReadReady(), 0u);
  EXPECT_EQ(ring.GetWriteFree(), 8u);
  ASSERT_TRUE(ring.Write("abcde", 5));
  ASSERT_EQ(take(ring, 2), "ab");
  ring.Clear();
  // The old bytes are still in the storage, but nothing is ready.
  EXPECT_EQ(ring.GetReadReady(), 0u);
  EXPECT_EQ(ring.GetWriteFree(), 8u);
  char byte;
  EXPECT_FALSE(ring.Read(&byte, 1));
  ASSERT_TRUE(ring.Write("xy", 2));
  EXPECT_EQ(ring.buffer[0], 'x');
  EXPECT_EQ(take(ring, 2), "xy");
}

TEST(Ring, FillsToCapacityAndRefusesWholeTransfersThatDoNotFit) {
  TFIFO_BASE_BYTE ring(8);
  ASSERT_TRUE(ring.Write("01234567", 8));
  EXPECT_EQ(ring.GetReadReady(), 8u);
  EXPECT_EQ(ring.GetWriteFree(), 0u);
  EXPECT_EQ(ring.writePos, ring.readPos);
  EXPECT_FALSE(ring.Write("z", 1));
  EXPECT_TRUE(ring.Write("", 0));
  EXPECT_EQ(take(ring, 3), "012");
  // Three free: four is refused without copying any part of it.
  EXPECT_FALSE(ring.Write("wxyz", 4));
  EXPECT_EQ(ring.GetWriteFree(), 3u);
  char out[6] = {'?', '?', '?', '?', '?', '?'};
  EXPECT_FALSE(ring.Read(out, 6));
  EXPECT_EQ(std::string(out, 6), "??????");
  EXPECT_EQ(take(ring, 5), "34567");
}

TEST(Ring, WritesThatReachTheEndOfTheStorageWrapInTwoCopies) {
  struct Case {
    std::uint32_t before;  // bytes moved through first
    std::string data;
    std::uint32_t writePosAfter;
  };
  const Case cases[] = {
      {0, "abcdefg", 7},  // ends one short of the end
      {3, "abcde", 0},    // ends exactly at the end: the next byte goes to 0
      {5, "abcdef", 3},   // straddles: three at the end, three from the start
      {7, "a", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    TFIFO_BASE_BYTE ring(8);
    std::string filler(c.before, '.');
    ASSERT_TRUE(ring.Write(filler.data(), c.before));
    take(ring, c.before);
    ASSERT_TRUE(ring.Write(c.data.data(), std::uint32_t(c.data.size())));
    EXPECT_EQ(ring.writePos, c.writePosAfter);
    EXPECT_EQ(take(ring, std::uint32_t(c.data.size())), c.data);
    EXPECT_EQ(ring.readPos, c.writePosAfter);
    ASSERT_TRUE(ring.Write("+", 1));
    EXPECT_EQ(ring.buffer[c.writePosAfter], '+');
  }
}

TEST(Ring, CapacityZeroRefusesEveryByte) {
  TFIFO_BASE_BYTE ring(0);
  EXPECT_FALSE(ring.Write("a", 1));
  EXPECT_TRUE(ring.Write("", 0));
  EXPECT_EQ(ring.GetWriteFree(), 0u);
  EXPECT_EQ(ring.GetReadReady(), 0u);
}

TEST(Ring, CountsStayRightWhileTheTotalsPass32Bits) {
  TFIFO_BASE_BYTE ring(64);
  // As if 2^32 - 40 bytes had passed through already.
  ring.totalWritten.low = 0xFFFFFFD8u;
  ring.totalRead.low = 0xFFFFFFD8u;
  std::vector<std::uint8_t> in(64), out(64);
  std::iota(in.begin(), in.end(), std::uint8_t{0});
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(ring.Write(in.data(), 50));
    EXPECT_EQ(ring.GetReadReady(), 50u);
    EXPECT_EQ(ring.GetWriteFree(), 14u);
    ASSERT_TRUE(ring.Read(out.data(), 30));
    EXPECT_EQ(ring.GetReadReady(), 20u);
    ASSERT_TRUE(ring.Read(out.data() + 30, 20));
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + 50, out.begin()));
  }
  EXPECT_EQ(ring.totalWritten.value(), std::uint64_t{0xFFFFFFD8u} + 200u);
  EXPECT_EQ(ring.totalRead.value(), std::uint64_t{0xFFFFFFD8u} + 200u);
  EXPECT_EQ(ring.totalWritten.high, 1u);
}

// One producer and one consumer moving a byte counter in pieces of sizes that
// do not divide the capacity: every byte arrives once, in order.
TEST(Ring, ProducerAndConsumerThreadsMoveEveryByteInOrder) {
  constexpr std::uint64_t kBytes = 16 << 20;
  TFIFO_BASE_BYTE ring(4099);
  std::thread producer([&] {
    std::uint8_t piece[1024];  // sizes run from 1 to 1009
    std::uint64_t sent = 0;
    std::uint32_t size = 1;
    while (sent < kBytes) {
      const auto n = std::uint32_t(std::min<std::uint64_t>(size, kBytes - sent));
      for (std::uint32_t k = 0; k < n; ++k) piece[k] = std::uint8_t((sent + k) * 7);
      if (ring.Write(piece, n)) {
        sent += n;
        size = size % 997 + 13;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::uint8_t piece[1500];
  std::uint64_t received = 0;
  std::uint64_t wrong = 0;
  std::uint32_t size = 1;
  while (received < kBytes) {
    const auto n = std::uint32_t(std::min<std::uint64_t>(size, kBytes - received));
    if (!ring.Read(piece, n)) {
      std::this_thread::yield();
      continue;
    }
    for (std::uint32_t k = 0; k < n; ++k) wrong += piece[k] != std::uint8_t((received + k) * 7);
    received += n;
    size = size % 1499 + 1;
  }
  producer.join();
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(ring.GetReadReady(), 0u);
  EXPECT_EQ(ring.totalRead.value(), kBytes);
}

}  // namespace
}  // namespace vkm470::stream
