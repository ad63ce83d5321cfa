// SPDX-License-Identifier: MIT
// The byte ring against a plain queue: writes, reads and clears of any length
// on a ring of any capacity, with the counts, the totals and the positions
// checked after each step. Totals past 2^32 come from moving both totals on by
// whole turns of the ring (or by any amount while it is empty), which leaves
// the waiting bytes where they are, as that much traffic would.
#include <cstdint>
#include <deque>
#include <vector>

#include "fuzz.h"
#include "stream/fifo.h"

namespace {

using vkm470::fuzz::fail;
using vkm470::fuzz::Input;
using vkm470::stream::ByteTotal;
using vkm470::stream::TFIFO_BASE_BYTE;

constexpr std::uint32_t kMaxCapacity = 1u << 17;

struct Model {
  std::uint32_t capacity;
  std::deque<std::uint8_t> bytes;
  std::uint64_t written = 0;
  std::uint64_t read = 0;
};

void check(TFIFO_BASE_BYTE& ring, const Model& model) {
  const auto waiting = static_cast<std::uint32_t>(model.bytes.size());
  FUZZ_CHECK(ring.GetReadReady() == waiting, "%u bytes ready, expected %u", ring.GetReadReady(),
             waiting);
  FUZZ_CHECK(ring.GetWriteFree() == model.capacity - waiting, "%u bytes free, expected %u",
             ring.GetWriteFree(), model.capacity - waiting);
  FUZZ_CHECK(ring.GetSize() == model.capacity, "size %u, expected %u", ring.GetSize(),
             model.capacity);
  FUZZ_CHECK(ring.totalWritten.value() == model.written && ring.totalRead.value() == model.read,
             "totals %llu / %llu, expected %llu / %llu",
             static_cast<unsigned long long>(ring.totalWritten.value()),
             static_cast<unsigned long long>(ring.totalRead.value()),
             static_cast<unsigned long long>(model.written),
             static_cast<unsigned long long>(model.read));
  if (model.capacity == 0) return;
  FUZZ_CHECK(ring.writePos == model.written % model.capacity &&
                 ring.readPos == model.read % model.capacity,
             "positions %u / %u, expected %llu / %llu", ring.writePos, ring.readPos,
             static_cast<unsigned long long>(model.written % model.capacity),
             static_cast<unsigned long long>(model.read % model.capacity));
}

// Moves a total on by any amount, through the owner's own step.
void advance(ByteTotal& total, std::uint64_t amount) {
  while (amount != 0) {
    const auto step = static_cast<std::uint32_t>(amount > 0x80000000u ? 0x80000000u : amount);
    total.advance(step);
    amount -= step;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t shape = in.byte();
  const std::uint32_t capacity = shape & 1 ? in.below(9) : in.below(kMaxCapacity + 1);
  TFIFO_BASE_BYTE ring(capacity);
  Model model{capacity, {}};
  std::vector<std::uint8_t> buffer;
  check(ring, model);

  while (in.more()) {
    const std::uint8_t op = in.byte();
    switch (op % 5) {
      case 0:
      case 1: {  // write, a little more than fits now and then
        const std::uint32_t length = in.below(capacity + capacity / 4 + 3);
        const std::uint8_t seed = in.byte();
        buffer.resize(length);
        for (std::uint32_t i = 0; i < length; ++i)
          buffer[i] = std::uint8_t(seed + i * 13 + i / 256);
        const bool fits = length <= capacity - model.bytes.size();
        const bool done = ring.Write(buffer.data(), length);
        FUZZ_CHECK(done == fits, "write of %u with %zu waiting in %u: %s", length,
                   model.bytes.size(), capacity, done ? "taken" : "refused");
        if (done) {
          model.bytes.insert(model.bytes.end(), buffer.begin(), buffer.end());
          model.written += length;
        }
        break;
      }
      case 2:
      case 3: {  // read, a little more than is there now and then
        const std::uint32_t length = in.below(capacity + capacity / 4 + 3);
        buffer.assign(length, 0xA5);
        const bool there = length <= model.bytes.size();
        const bool done = ring.Read(buffer.data(), length);
        FUZZ_CHECK(done == there, "read of %u with %zu waiting: %s", length, model.bytes.size(),
                   done ? "given" : "refused");
        for (std::uint32_t i = 0; i < length; ++i) {
          const std::uint8_t want = done ? model.bytes[i] : 0xA5;
          if (buffer[i] != want)
            fail("read of %u: byte %u is 0x%02X, expected 0x%02X", length, i, buffer[i], want);
        }
        if (done) {
          model.bytes.erase(model.bytes.begin(), model.bytes.begin() + length);
          model.read += length;
        }
        break;
      }
      default:
        if (op & 0x80) {
          ring.Clear();
          model.bytes.clear();
          model.written = model.read = 0;
        } else if (capacity != 0) {
          // Both totals on, to just past a chosen low word and across up to
          // 255 more multiples of 2^32.
          const std::uint32_t target = in.u32();
          const std::uint64_t turns = in.byte();
          std::uint64_t amount =
              (std::uint64_t{target} - (model.written & 0xFFFFFFFFu)) % (std::uint64_t{1} << 32) +
              (turns << 32);
          if (model.bytes.empty()) {
            const std::uint64_t moved = amount % capacity;
            ring.writePos = static_cast<std::uint32_t>((ring.writePos + moved) % capacity);
            ring.readPos = ring.writePos;
          } else {
            amount -= amount % capacity;
          }
          advance(ring.totalWritten, amount);
          advance(ring.totalRead, amount);
          model.written += amount;
          model.read += amount;
        }
        break;
    }
    check(ring, model);
  }
  return 0;
}
