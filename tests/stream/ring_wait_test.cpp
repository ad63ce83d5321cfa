// SPDX-License-Identifier: MIT
// The waits on a byte ring: a waiter wakes when the other side moves bytes,
// not when its bound runs out, however the two interleave.
#include "stream/ring_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "stream/fifo.h"

namespace streamtest {
namespace {

using vkm470::stream::RingWait;
using vkm470::stream::TFIFO_BASE_BYTE;

// A bound no wake-up should ever need: a wait that lasts it was left waiting
// for bytes that had already moved.
constexpr std::uint32_t kBoundMs = 2000;

class HandOver {
 public:
  // Waits on wait until ready() holds; false once too many waits have run
  // out their bound, so that a broken wait fails the test in seconds.
  template <typename Ready>
  bool waitFor(RingWait& wait, Ready ready) {
    while (!ready()) {
      if (lost.load() >= 3) return false;
      const auto start = std::chrono::steady_clock::now();
      wait.wait(ready, kBoundMs);
      if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kBoundMs)) ++lost;
    }
    return true;
  }

  std::atomic<int> lost{0};
};

// A one-byte ring between two threads: every byte is a hand-over, and each
// side publishes while the other is somewhere between its look and its wait.
TEST(RingWaits, NoWakeUpIsLostBetweenALookAndTheWait) {
#if defined(__SANITIZE_THREAD__)
  constexpr std::uint32_t kBytes = 5000;
#else
  constexpr std::uint32_t kBytes = 50000;
#endif
  TFIFO_BASE_BYTE ring(1);
  RingWait dataWait, roomWait;
  HandOver handOver;
  std::thread producer([&] {
    for (std::uint32_t i = 0; i < kBytes; ++i) {
      const auto byte = std::uint8_t(i);
      if (!handOver.waitFor(roomWait, [&] { return ring.GetWriteFree() > 0; })) return;
      ring.Write(&byte, 1);
      dataWait.notify();
    }
  });
  std::uint32_t received = 0, wrong = 0;
  for (; received < kBytes; ++received) {
    if (!handOver.waitFor(dataWait, [&] { return ring.GetReadReady() > 0; })) break;
    std::uint8_t byte = 0;
    ring.Read(&byte, 1);
    roomWait.notify();
    wrong += byte != std::uint8_t(received);
  }
  producer.join();
  EXPECT_EQ(handOver.lost.load(), 0);
  EXPECT_EQ(received, kBytes);
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace streamtest
