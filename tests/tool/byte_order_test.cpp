// SPDX-License-Identifier: MIT
// The byte order every request, batch, information block, PGA header and
// module image shares: least significant byte first, at any offset.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "vkm470_byte_order.h"

namespace vkm470::byte_order {
namespace {

// Usable where the protocol constants are made.
constexpr std::uint8_t kWord[] = {0x34, 0x12};
static_assert(loadLe16(kWord) == 0x1234, "16-bit load at compile time");

TEST(ByteOrder, LeastSignificantByteFirstAtAnyOffset) {
  // Written one byte into the buffer, so no load or store may rely on alignment;
  // the guard bytes around the value must stay as they were.
  constexpr std::uint8_t kGuard = 0xA5;
  struct Case {
    int bytes;
    std::uint64_t value;
    std::array<std::uint8_t, 8> wire;
  };
  const Case cases[] = {
      {2, 0xBEEF, {0xEF, 0xBE}},
      {2, 0x8000, {0x00, 0x80}},
      {4, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
      {4, 0xFFFFFFFE, {0xFE, 0xFF, 0xFF, 0xFF}},
      {8, 0x0102030405060708, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
      {8, 0x80000000FFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::array<std::uint8_t, 10> buffer;
    buffer.fill(kGuard);
    std::uint8_t* at = buffer.data() + 1;
    std::uint64_t loaded = 0;
    if (c.bytes == 2) {
      storeLe16(at, static_cast<std::uint16_t>(c.value));
      loaded = loadLe16(at);
    } else if (c.bytes == 4) {
      storeLe32(at, static_cast<std::uint32_t>(c.value));
      loaded = loadLe32(at);
    } else {
      storeLe64(at, c.value);
      loaded = loadLe64(at);
    }
    EXPECT_EQ(loaded, c.value);
    for (int i = 0; i < c.bytes; ++i) EXPECT_EQ(at[i], c.wire[i]) << "byte " << i;
    EXPECT_EQ(buffer[0], kGuard);
    for (std::size_t i = 1 + c.bytes; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard);
  }
}

}  // namespace
}  // namespace vkm470::byte_order
