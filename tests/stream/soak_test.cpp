// SPDX-License-Identifier: MIT
// Streams a little over 4 GiB through the virtual module's loop-back with a
// running word counter: no word lost, doubled or reordered, and the rings'
// 64-bit totals pass 2^32 on the way.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "dataflash.h"
#include "hosted.h"
#include "stream/bulk.h"
#include "usb_module.h"
#include "vkm470fapi.h"

namespace {

namespace hosted = vkm470::os::hosted;

constexpr std::uint64_t kBytes = (std::uint64_t{1} << 32) + (std::uint64_t{64} << 20);
constexpr std::uint64_t kWords = kBytes / 2;
constexpr std::uint32_t kChunkWords = 256 << 10;

// Word i of the stream: a hash of i, so that a word lost, doubled or moved
// anywhere puts every later word out of step, even by a multiple of 2^16.
std::uint16_t word(std::uint64_t i) { return std::uint16_t((i * 0x9E3779B97F4A7C15u) >> 48); }

TEST(Soak, FourGibibytesComeBackInOrder) {
  auto module =
      std::make_shared<vkm470::sim::UsbModule>(std::make_shared<vkm470::sim::DataFlash>());
  hosted::registerDevice("QDev0", module);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_USB;
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), 0);
  ASSERT_EQ(VKM470F_CreateBulkFIFO(&dev, 8 << 20, 8 << 20, 8, 8, 64 << 10, 64 << 10), 0);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), 0);

  std::atomic<bool> stop{false};
  std::int32_t writeStatus = 0;
  std::thread writer([&] {
    std::vector<std::uint16_t> chunk(kChunkWords);
    for (std::uint64_t sent = 0; sent < kWords && !stop;) {
      const auto n = std::uint32_t(std::min<std::uint64_t>(kChunkWords, kWords - sent));
      for (std::uint32_t k = 0; k < n; ++k) chunk[k] = word(sent + k);
      for (std::uint32_t queued = 0; queued < n && !stop;) {
        std::uint32_t done = 0;
        writeStatus = VKM470F_WriteBulkFIFO(&dev, chunk.data() + queued, n - queued, &done, 100);
        if (writeStatus != 0) return;
        queued += done;
      }
      sent += n;
    }
  });

  std::vector<std::uint16_t> chunk(kChunkWords);
  std::uint64_t received = 0, firstWrong = kWords;
  std::int32_t readStatus = 0;
  while (received < kWords && firstWrong == kWords) {
    std::uint32_t done = 0;
    const auto n = std::uint32_t(std::min<std::uint64_t>(kChunkWords, kWords - received));
    readStatus = VKM470F_ReadBulkFIFO(&dev, chunk.data(), n, &done, 5000);
    if (readStatus != 0 || done == 0) break;
    for (std::uint32_t k = 0; k < done; ++k) {
      if (chunk[k] != word(received + k)) {
        firstWrong = received + k;
        break;
      }
    }
    received += done;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(writeStatus, 0);
  EXPECT_EQ(readStatus, 0);
  EXPECT_EQ(firstWrong, kWords) << "word " << firstWrong << " out of step";
  EXPECT_EQ(received, kWords);

  ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), 0);
  auto* bulk = static_cast<vkm470::stream::TFIFO_BULK*>(dev.bulkFifo);
  for (auto* ring : {&bulk->writeThread->ring(), &bulk->readThread->ring()}) {
    EXPECT_EQ(ring->totalWritten.value(), kBytes);
    EXPECT_EQ(ring->totalRead.value(), kBytes);
    EXPECT_EQ(ring->totalRead.high, 1u);
  }
  VKM470F_CloseDevice(&dev);
  hosted::unregisterDevice("QDev0");
}

}  // namespace
