// SPDX-License-Identifier: MIT
// What the fuzz targets share: a reader that turns the input bytes into
// choices, and the report of a wrong answer, which ends the run as a crash
// does so that the fuzzer keeps the input.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vkm470::fuzz {

// Reads the input front to back; past its end every value is 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool more() const { return at_ < size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | byte() << 8);
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | std::uint32_t{u16()} << 16;
  }
  // A value from 0 to n - 1 (n > 0), from as few bytes as n needs.
  std::uint32_t below(std::uint32_t n) {
    if (n <= 0x100) return byte() % n;
    if (n <= 0x10000) return u16() % n;
    return u32() % n;
  }
  bool flag() { return byte() & 1; }
  // Copies up to n bytes; returns how many the input still had.
  std::size_t take(std::uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i < n && at_ < size_; ++i) out[i] = data_[at_++];
    return i;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

[[noreturn, gnu::format(printf, 1, 2)]] inline void fail(const char* format, ...) {
  std::fflush(stdout);
  std::fputs("fuzz check failed: ", stderr);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace vkm470::fuzz

#define FUZZ_CHECK(condition, ...) ((condition) ? (void)0 : ::vkm470::fuzz::fail(__VA_ARGS__))
