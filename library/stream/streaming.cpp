// SPDX-License-Identifier: MIT
#include "stream/streaming.h"

#include <limits>
#include <new>

#include "stream/bulk.h"
#include "usb/module.h"

namespace vkm470::stream {

namespace {

constexpr std::uint32_t kMaxWords = 0x7FFFFFFF;

TFIFO_BULK* bulkOf(VKM470F_DEVICE* dev) { return static_cast<TFIFO_BULK*>(dev->bulkFifo); }

// Runs body on the record's bulk FIFO: -2001 without a channel or a FIFO.
template <typename Body>
std::int32_t withBulk(VKM470F_DEVICE* dev, Body body) {
  TFIFO_BULK* bulk = bulkOf(dev);
  if (dev->channel == nullptr || bulk == nullptr) return VKM470F_ERR_NO_OBJECT;
  return body(*bulk);
}

std::int32_t streamRequest(VKM470F_DEVICE* dev) {
  usb::TQUSB_BASE* channel = usb::channelOf(dev);
  if (channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (const std::int32_t started = usb::EnsureApplication(dev); started != VKM470F_SUCCESS) {
    return started;
  }
  QUSB_REQUEST request{0, usb::kRequestStream, 0, 0};
  return channel->ControlCommandStatus(&request);
}

bool validCount(std::uint32_t blockCount) {
  return blockCount >= 1 && blockCount <= std::uint32_t(std::numeric_limits<std::int32_t>::max());
}

// The shared checks and word conversion of the read and write exports.
template <typename Move>
std::int32_t moveWords(VKM470F_DEVICE* dev, const void* buffer, std::uint32_t words,
                       std::uint32_t* wordsDone, Move move) {
  return withBulk(dev, [&](TFIFO_BULK& bulk) {
    if (words > kMaxWords || wordsDone == nullptr || (buffer == nullptr && words != 0)) {
      return std::int32_t{VKM470F_ERR_NO_OBJECT};
    }
    const std::int32_t status = move(bulk, words * 2);
    *wordsDone /= 2;
    return status;
  });
}

}  // namespace

std::int32_t createBulkFifo(VKM470F_DEVICE* dev, std::uint32_t readFifoSize,
                            std::uint32_t writeFifoSize, std::uint32_t readBlockCount,
                            std::uint32_t writeBlockCount, std::uint32_t readBlockSize,
                            std::uint32_t writeBlockSize) {
  usb::TQUSB_BASE* channel = usb::channelOf(dev);
  if (channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  // A count below 1 leaves a worker without a slot; a read block below 512
  // rounds to nothing, a write block below 512 makes every transfer empty.
  if (!validCount(readBlockCount) || !validCount(writeBlockCount) ||
      readBlockSize < kTransferUnit || writeBlockSize < kTransferUnit) {
    return VKM470F_ERR_NO_OBJECT;
  }
  if (const std::int32_t started = usb::EnsureApplication(dev); started != VKM470F_SUCCESS) {
    return started;
  }
  // Built before the old one goes, so a refusal leaves the record as it was.
  TFIFO_BULK* created;
  try {
    created = new TFIFO_BULK(channel->GetHandle(), readFifoSize, writeFifoSize,
                             std::int32_t(readBlockCount), std::int32_t(writeBlockCount),
                             readBlockSize, writeBlockSize);
  } catch (const std::bad_alloc&) {
    return VKM470F_ERR_NO_OBJECT;
  }
  destroyBulkFifo(dev);
  dev->bulkFifo = created;
  return VKM470F_SUCCESS;
}

std::int32_t disposeBulkFifo(VKM470F_DEVICE* dev) {
  return withBulk(dev, [dev](TFIFO_BULK&) {
    destroyBulkFifo(dev);
    return std::int32_t{VKM470F_SUCCESS};
  });
}

std::int32_t startBulkFifo(VKM470F_DEVICE* dev) {
  return withBulk(dev, [dev](TFIFO_BULK& bulk) {
    if (const std::int32_t started = usb::EnsureApplication(dev); started != VKM470F_SUCCESS) {
      return started;
    }
    if (const std::int32_t status = streamRequest(dev); status != VKM470F_SUCCESS) return status;
    bulk.Start();
    return std::int32_t{VKM470F_SUCCESS};
  });
}

std::int32_t stopBulkFifo(VKM470F_DEVICE* dev) {
  return withBulk(dev, [dev](TFIFO_BULK& bulk) {
    bulk.Stop();
    return streamRequest(dev);
  });
}

std::int32_t flushBulkFifo(VKM470F_DEVICE* dev) {
  return withBulk(dev, [](TFIFO_BULK& bulk) {
    bulk.Flush();
    return std::int32_t{VKM470F_SUCCESS};
  });
}

std::int32_t readBulkFifo(VKM470F_DEVICE* dev, std::uint16_t* buffer, std::uint32_t words,
                          std::uint32_t* wordsRead, std::uint32_t timeout) {
  return moveWords(dev, buffer, words, wordsRead, [&](TFIFO_BULK& bulk, std::uint32_t bytes) {
    return bulk.Read(buffer, bytes, wordsRead, timeout);
  });
}

std::int32_t writeBulkFifo(VKM470F_DEVICE* dev, const std::uint16_t* buffer, std::uint32_t words,
                           std::uint32_t* wordsWritten, std::uint32_t timeout) {
  return moveWords(dev, buffer, words, wordsWritten, [&](TFIFO_BULK& bulk, std::uint32_t bytes) {
    return bulk.Write(buffer, bytes, wordsWritten, timeout);
  });
}

std::int32_t getReadReady(VKM470F_DEVICE* dev, std::uint32_t* words) {
  return withBulk(dev, [words](TFIFO_BULK& bulk) {
    if (words == nullptr) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    *words = bulk.GetReadReady() / 2;
    std::int32_t readRunning, writeRunning;
    bulk.GetState(&readRunning, &writeRunning);
    return std::int32_t(readRunning != 0 ? VKM470F_SUCCESS : VKM470F_ERR_WORKER_STOPPED);
  });
}

std::int32_t getWriteFree(VKM470F_DEVICE* dev, std::uint32_t* words) {
  return withBulk(dev, [words](TFIFO_BULK& bulk) {
    if (words == nullptr) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    *words = bulk.GetWriteFree() / 2;
    std::int32_t readRunning, writeRunning;
    bulk.GetState(&readRunning, &writeRunning);
    return std::int32_t(writeRunning != 0 ? VKM470F_SUCCESS : VKM470F_ERR_WORKER_STOPPED);
  });
}

void destroyBulkFifo(VKM470F_DEVICE* dev) {
  delete bulkOf(dev);
  dev->bulkFifo = nullptr;
}

}  // namespace vkm470::stream
