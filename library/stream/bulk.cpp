// SPDX-License-Identifier: MIT
#include "stream/bulk.h"

#include <algorithm>

#include "vkm470fapi.h"

namespace vkm470::stream {

namespace {

constexpr std::uint32_t kWordBytes = 2;

// Moves bytes between the caller's buffer and ring in passes, as many whole
// words as available() allows each time; the shared loop of Read and Write.
// Between passes it waits on wait, which the worker ends when it moves bytes
// or stops, and the deadline ends otherwise: an idle call sleeps through.
template <typename Available, typename Move>
std::int32_t passes(TThread& worker, RingWait& wait, std::int32_t stoppedCode,
                    std::int32_t refusedCode, std::uint32_t len, std::uint32_t* done,
                    std::uint32_t timeoutMs, Available available, Move move) {
  *done = 0;
  // Elapsed time against the time-out, both modulo 2^32: right across the
  // tick's wrap. 0xFFFFFFFF waits without end, as the seam's waits do.
  const os::Dword start = os::GetTickCount();
  while (len > 0) {
    const os::Dword elapsed = os::GetTickCount() - start;
    const bool endless = timeoutMs == os::kInfinite;
    if (!endless && elapsed >= timeoutMs) break;
    // Whole words only: a lone byte taken or queued would shift every later
    // word of the stream by one byte.
    const std::uint32_t n = std::min(available(), len) & ~(kWordBytes - 1);
    if (n > 0) {
      if (!move(*done, n)) return worker.running() ? refusedCode : stoppedCode;
      *done += n;
      len -= n;
    } else if (!worker.running()) {
      return stoppedCode;
    } else {
      wait.wait([&] { return available() >= kWordBytes || !worker.running(); },
                endless ? os::kInfinite : timeoutMs - elapsed);
    }
  }
  return VKM470F_SUCCESS;
}

}  // namespace

TFIFO_BULK::TFIFO_BULK(os::Handle device, std::uint32_t readFifoSize, std::uint32_t writeFifoSize,
                       std::int32_t readBlockCount, std::int32_t writeBlockCount,
                       std::uint32_t readBlockSize, std::uint32_t writeBlockSize)
    : readThread(
          std::make_unique<TReadFIFOThread>(device, readBlockCount, readBlockSize, readFifoSize)),
      writeThread(std::make_unique<TWriteFIFOThread>(device, writeBlockCount, writeBlockSize,
                                                     writeFifoSize)),
      device(device) {}

TFIFO_BULK::~TFIFO_BULK() {
  readThread->Stop();
  writeThread->Stop();
  readThread->WaitFor();
  writeThread->WaitFor();
  readThread.reset();
  writeThread.reset();
}

void TFIFO_BULK::Start() {
  Stop();
  readThread->ring().Clear();
  writeThread->ring().Clear();
  readThread->Start();
  writeThread->Start();
}

void TFIFO_BULK::Flush() {
  for (TFIFOThread* worker : {static_cast<TFIFOThread*>(readThread.get()),
                              static_cast<TFIFOThread*>(writeThread.get())}) {
    if (worker->running()) {
      worker->Stop();
      worker->WaitFor();
      worker->ring().Clear();
      worker->Start();
    } else {
      // A worker that stopped itself may not have been waited for yet; its
      // thread must be gone before its ring is cleared.
      worker->WaitFor();
      worker->ring().Clear();
    }
  }
}

void TFIFO_BULK::Stop() {
  readThread->Stop();
  writeThread->Stop();
  readThread->WaitFor();
  writeThread->WaitFor();
}

std::uint32_t TFIFO_BULK::GetReadReady() { return readThread->ring().GetReadReady(); }

std::uint32_t TFIFO_BULK::GetReadSize() { return readThread->ring().GetSize(); }

std::uint32_t TFIFO_BULK::GetWriteFree() { return writeThread->ring().GetWriteFree(); }

std::uint32_t TFIFO_BULK::GetWriteSize() { return writeThread->ring().GetSize(); }

void TFIFO_BULK::GetState(std::int32_t* readRunning, std::int32_t* writeRunning) {
  *readRunning = readThread->running() ? 1 : 0;
  *writeRunning = writeThread->running() ? 1 : 0;
}

std::int32_t TFIFO_BULK::Read(void* dst, std::uint32_t len, std::uint32_t* done,
                              std::uint32_t timeoutMs) {
  auto* to = static_cast<std::uint8_t*>(dst);
  TFIFO_BASE_BYTE& ring = readThread->ring();
  return passes(
      *readThread, readThread->dataWait, VKM470F_ERR_READER_STOPPED, VKM470F_ERR_FLASH_FAILED, len,
      done, timeoutMs, [&] { return ring.GetReadReady(); },
      [&](std::uint32_t at, std::uint32_t n) {
        if (!ring.Read(to + at, n)) return false;
        readThread->roomWait.notify();
        return true;
      });
}

std::int32_t TFIFO_BULK::Write(const void* src, std::uint32_t len, std::uint32_t* done,
                               std::uint32_t timeoutMs) {
  const auto* from = static_cast<const std::uint8_t*>(src);
  TFIFO_BASE_BYTE& ring = writeThread->ring();
  return passes(
      *writeThread, writeThread->roomWait, VKM470F_ERR_WRITER_STOPPED, VKM470F_ERR_NOT_AVAILABLE,
      len, done, timeoutMs, [&] { return ring.GetWriteFree(); },
      [&](std::uint32_t at, std::uint32_t n) {
        if (!ring.Write(from + at, n)) return false;
        writeThread->dataWait.notify();
        return true;
      });
}

}  // namespace vkm470::stream
