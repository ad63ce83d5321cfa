// SPDX-License-Identifier: MIT
// The streaming workers: one thread per direction, each keeping blockCount
// overlapped bulk transfers in flight on the USB device handle and moving the
// data between those transfers and its byte ring.
//
// What the workers rely on from the device handle (the module's USB driver,
// or a hosted driver): it was opened for overlapped I/O; a read completes with
// any number of bytes up to its length; a write completes with the bytes it
// took; CancelIo from the worker's thread ends that thread's transfers, which
// complete later (aborted, or with their result if they had finished). A
// transfer's buffer, record and event belong to the driver until its completion
// has been seen, so a worker never ends, and an owner never frees a buffer,
// while one is outstanding.
//
// Threads: the owner (the application thread calling the bulk FIFO exports)
// runs the constructors, Start, Stop, WaitFor and the destructors; the worker
// thread runs Execute. stopped and the ring's two waits are the only fields
// both touch; they order no other data (the rings' totals and the final wait
// for the thread do).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "os/os.h"
#include "stream/fifo.h"
#include "stream/ring_wait.h"

namespace vkm470::stream {

constexpr std::uint32_t kTransferUnit = 512;  // transfers are whole multiples of this
// A slot wait ends when its transfer completes or the worker is stopped; only
// a worker that got no stop event (none could be created) looks at its flag
// this often instead.
constexpr os::Dword kSlotWaitMs = 500;

class TThread {
 public:
  TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  ~TThread();

  virtual void Execute();
  // Starts a thread running Execute, after stopping and waiting for one that
  // runs. When no thread can be created the object stays not running.
  virtual os::Handle Start();
  // Asks the thread to end; does not wait.
  virtual void Stop();
  // Waits for the thread to end and closes its handle.
  virtual void WaitFor();

  bool running() const { return stopped.load(std::memory_order_relaxed) == 0; }

  os::Handle handle;  // none: null or the invalid-handle value
  // 1: a stop was asked for, or no thread runs. Written by the owner and by
  // the worker itself (a failed transfer); each access is one indivisible
  // byte load or store.
  std::atomic<std::uint8_t> stopped;
};

// What both workers share: the handle, the transfer slots and the ring.
class TFIFOThread : public TThread {
 public:
  TFIFO_BASE_BYTE& ring() { return *fifo; }

  // Also ends the waits on the ring and on the slots, so that a stop is seen
  // at once.
  void Stop() override;

  // The waits on the ring: its consumer's for bytes (the producer notifies
  // after each write into it), its producer's for room (the consumer
  // notifies after each read from it).
  RingWait dataWait;
  RingWait roomWait;

  os::Handle device;                        // owned by the USB channel
  std::uint32_t blockSize;                  // bytes of one slot
  std::int32_t blockCount;                  // slots, that is transfers kept in flight
  std::unique_ptr<std::uint8_t[]> blocks;   // slot i at i * blockSize
  std::unique_ptr<os::Overlapped[]> slots;  // each with its event while Execute runs
  std::unique_ptr<TFIFO_BASE_BYTE> fifo;
  // Manual-reset: set by Stop, cleared as Execute begins; null when it could
  // not be created.
  os::Handle stopEvent;

 protected:
  // Throws std::bad_alloc when the memory cannot be obtained.
  TFIFOThread(os::Handle device, std::int32_t blockCount, std::uint32_t blockSize,
              std::uint32_t fifoSize);
  ~TFIFOThread();

  std::uint8_t* block(std::int32_t i) { return blocks.get() + std::size_t(i) * blockSize; }
  // Gives every slot a signalled event over a zeroed record: a finished
  // transfer of 0 bytes. False (nothing left open) when an event cannot be
  // created.
  bool setUpSlots();
  // Cancels this thread's transfers, waits until each has completed, then
  // closes the slots' events.
  void shutDown();
  // Waits for slot i's transfer to finish or for a stop; true for the former.
  bool slotFinished(std::int32_t i);
  // Waits on wait until ready() holds; false when a stop came first.
  template <typename Ready>
  bool waitUntil(RingWait& wait, Ready ready);
};

// Reads from the module into its ring; the application takes from the ring.
class TReadFIFOThread final : public TFIFOThread {
 public:
  // blockSize is rounded down to a multiple of 512; the ring holds at least one block.
  TReadFIFOThread(os::Handle device, std::int32_t blockCount, std::uint32_t blockSize,
                  std::uint32_t fifoSize);
  ~TReadFIFOThread();
  void Execute() override;
};

// Sends what the application has queued in its ring to the module.
class TWriteFIFOThread final : public TFIFOThread {
 public:
  // blockSize is used as given; the ring holds at least one block.
  TWriteFIFOThread(os::Handle device, std::int32_t blockCount, std::uint32_t blockSize,
                   std::uint32_t fifoSize);
  ~TWriteFIFOThread();
  void Execute() override;

 private:
  // What slot i's transfer carried, to tell a short completion.
  std::unique_ptr<os::Dword[]> carried_;
};

}  // namespace vkm470::stream
