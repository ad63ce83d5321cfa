// SPDX-License-Identifier: MIT
// Little-endian loads and stores of 16, 32 and 64 bits at byte pointers, at
// any alignment and on any host: the byte order of the module's requests and
// information block, the drivers' requests and batches, the PGA header and
// the virtual module's image. One home for these helpers for the library, its
// drivers, the tools, the virtual module and the tests; not part of the
// library's interface and not installed.
#pragma once

#include <cstdint>

namespace vkm470::byte_order {

constexpr std::uint16_t loadLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

constexpr std::uint32_t loadLe32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

constexpr std::uint64_t loadLe64(const std::uint8_t* bytes) {
  return loadLe32(bytes) | std::uint64_t{loadLe32(bytes + 4)} << 32;
}

constexpr void storeLe16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void storeLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr void storeLe64(std::uint8_t* bytes, std::uint64_t value) {
  storeLe32(bytes, static_cast<std::uint32_t>(value));
  storeLe32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace vkm470::byte_order
