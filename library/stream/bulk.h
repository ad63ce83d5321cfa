// SPDX-License-Identifier: MIT
// The bulk FIFO of a USB record: a read worker and a write worker on the
// channel's device handle, each with its byte ring. Counts are in bytes here;
// the exports convert words.
//
// Read has one caller thread at a time, and so has Write (the rings' consumer
// and producer); Start, Flush, Stop and the destructor must not overlap them.
#pragma once

#include <cstdint>
#include <memory>

#include "os/os.h"
#include "stream/threads.h"

namespace vkm470::stream {

class TFIFO_BULK final {
 public:
  // Throws std::bad_alloc when the memory cannot be obtained. The workers are
  // not started.
  TFIFO_BULK(os::Handle device, std::uint32_t readFifoSize, std::uint32_t writeFifoSize,
             std::int32_t readBlockCount, std::int32_t writeBlockCount, std::uint32_t readBlockSize,
             std::uint32_t writeBlockSize);
  TFIFO_BULK(const TFIFO_BULK&) = delete;
  TFIFO_BULK& operator=(const TFIFO_BULK&) = delete;
  ~TFIFO_BULK();

  // Stops both workers, empties both rings, starts the reader, then the writer.
  virtual void Start();
  // Empties both rings, restarting each worker that was running.
  virtual void Flush();
  // Raises both stop flags, then waits for both workers.
  virtual void Stop();
  virtual std::uint32_t GetReadReady();
  virtual std::uint32_t GetReadSize();
  virtual std::uint32_t GetWriteFree();
  virtual std::uint32_t GetWriteSize();
  virtual void GetState(std::int32_t* readRunning, std::int32_t* writeRunning);
  // Move what is there in passes, in whole 16-bit words (len is even), until
  // len bytes have moved or timeoutMs has passed since the call began (0: one
  // look at nothing, so at once). Between passes they wait until the worker
  // moves bytes or stops, or the time is up. A lone byte in the ring waits
  // for the next to make a word. Return 0 when the call ended without an
  // error (possibly by time-out), else the error's code; done counts the bytes
  // moved either way. The code travels back by value, not in a field: a Read
  // and a Write may run on two threads at once, and neither may see the
  // other's code.
  virtual std::int32_t Read(void* dst, std::uint32_t len, std::uint32_t* done,
                            std::uint32_t timeoutMs);
  virtual std::int32_t Write(const void* src, std::uint32_t len, std::uint32_t* done,
                             std::uint32_t timeoutMs);

  std::unique_ptr<TReadFIFOThread> readThread;
  std::unique_ptr<TWriteFIFOThread> writeThread;
  os::Handle device;  // owned by the USB channel
};

}  // namespace vkm470::stream
