// SPDX-License-Identifier: MIT
// The byte ring between a streaming worker and the application: fixed
// capacity, all-or-nothing transfers, no lock.
//
// Exactly one thread writes into a ring and exactly one reads from it. Each
// side owns its position and its total: it copies its bytes first and then
// publishes its total with a release store; the other side loads that total
// with acquire ordering before it touches the bytes. Counts come from the low
// 32 bits of the two totals (differences modulo 2^32), so a full ring and an
// empty one differ although their positions are equal, and the ring fills to
// its whole capacity. Clear is for a ring that neither side is using.
#pragma once

#include <atomic>
#include <cstdint>

namespace vkm470::stream {

// A 64-bit byte count written by one thread. Its low word is the part other
// threads read; the high word carries and is read by no one but the owner.
struct ByteTotal {
  std::atomic<std::uint32_t> low{0};
  std::uint32_t high = 0;

  // Owner only: publishes bytes moved, after they were copied.
  void advance(std::uint32_t bytes) {
    const std::uint32_t before = low.load(std::memory_order_relaxed);
    const std::uint32_t after = before + bytes;
    if (after < before) ++high;
    low.store(after, std::memory_order_release);
  }
  // Owner, or anyone once both sides are quiet.
  std::uint64_t value() const {
    return std::uint64_t{high} << 32 | low.load(std::memory_order_relaxed);
  }
  void reset() {
    high = 0;
    low.store(0, std::memory_order_relaxed);
  }
};

class TFIFO_BASE_BYTE final {
 public:
  // Throws std::bad_alloc when the storage cannot be obtained.
  explicit TFIFO_BASE_BYTE(std::uint32_t capacity);
  TFIFO_BASE_BYTE(const TFIFO_BASE_BYTE&) = delete;
  TFIFO_BASE_BYTE& operator=(const TFIFO_BASE_BYTE&) = delete;
  ~TFIFO_BASE_BYTE();

  // Producer: copies len bytes in, or returns false and changes nothing.
  virtual bool Write(const void* src, std::uint32_t len);
  // Consumer: copies len bytes out, or returns false and changes nothing.
  virtual bool Read(void* dst, std::uint32_t len);
  // Either side; at worst out of date in the safe direction.
  virtual std::uint32_t GetReadReady();
  virtual std::uint32_t GetWriteFree();
  virtual std::uint32_t GetSize();
  // Only while neither side is inside Write or Read.
  virtual void Clear();

  std::uint8_t* buffer;
  std::uint32_t size;
  // Producer's line: written by the producer only.
  alignas(64) std::uint32_t writePos;
  ByteTotal totalWritten;  // release-stored by the producer, acquire-loaded by the consumer
  // Consumer's line: written by the consumer only.
  alignas(64) std::uint32_t readPos;
  ByteTotal totalRead;  // release-stored by the consumer, acquire-loaded by the producer
};

}  // namespace vkm470::stream
