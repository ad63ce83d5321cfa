// SPDX-License-Identifier: MIT
// The flash layout's PGA header and serial field, on the edges where the
// tools used to disagree: a header of length 0 or of the largest length, an
// erased header or field, a field without a terminator.
#include <gtest/gtest.h>

#include <vector>

#include "vkm470_flash_map.h"

namespace vkm470::flash_map {
namespace {

PgaHeaderBytes headerOf(std::uint32_t length, std::uint32_t sum) {
  PgaHeaderBytes bytes{};
  storeLe32(bytes.data(), length);
  storeLe32(bytes.data() + 4, sum);
  return bytes;
}

TEST(PgaHeader, BuiltAsTheBurnerWritesIt) {
  const std::uint8_t image[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(pgaHeader(image, 5), (PgaHeaderBytes{5, 0, 0, 0, 0x0F, 0, 0, 0}));
  // The sum wraps modulo 2^32 only in theory; 102392 bytes of 0xFF.
  const std::vector<std::uint8_t> full(kPgaBytes, 0xFF);
  EXPECT_EQ(pgaHeader(full.data(), kPgaBytes), headerOf(kPgaBytes, kPgaBytes * 0xFFu));
}

TEST(PgaHeader, OneLengthRule) {
  struct Case {
    PgaHeaderBytes bytes;
    PgaHeader::State state;
  };
  const Case cases[] = {
      {PgaHeaderBytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, PgaHeader::State::Erased},
      // No image has 0 bytes: the burner refuses an empty PGA file.
      {headerOf(0, 0), PgaHeader::State::OutOfRange},
      {headerOf(1, 7), PgaHeader::State::Valid},
      {headerOf(kPgaBytes, 0), PgaHeader::State::Valid},
      {headerOf(kPgaBytes + 1, 0), PgaHeader::State::OutOfRange},
      // Erased is all eight bytes: a length of 0xFFFFFFFF with a sum is not.
      {headerOf(0xFFFFFFFF, 0), PgaHeader::State::OutOfRange},
  };
  for (const Case& c : cases) {
    const PgaHeader header = decodePgaHeader(c.bytes.data());
    EXPECT_EQ(header.state, c.state) << header.length;
  }
  const std::uint8_t image[] = {7};
  EXPECT_TRUE(decodePgaHeader(headerOf(1, 7).data()).matches(image));
  EXPECT_FALSE(decodePgaHeader(headerOf(1, 8).data()).matches(image));
}

TEST(SerialField, EncodeAndDecode) {
  EXPECT_EQ(encodeSerial("ABC"), (SerialField{'A', 'B', 'C'}));
  EXPECT_EQ(encodeSerial(""), SerialField{});
  ASSERT_TRUE(encodeSerial("ABCDEFGHIJKLMNO"));
  EXPECT_FALSE(encodeSerial("ABCDEFGHIJKLMNOP"));

  SerialField field;
  field.fill(0xFF);
  EXPECT_EQ(decodeSerial(field.data()), std::nullopt);
  // A module may hold the text "erased": that is a serial number.
  EXPECT_EQ(decodeSerial(encodeSerial("erased")->data()), "erased");
  field[15] = 0;  // one byte that is not erased: 15 bytes of 0xFF are the text
  EXPECT_EQ(decodeSerial(field.data()), std::string(15, '\xFF'));
  field.fill('A');
  EXPECT_EQ(decodeSerial(field.data()), std::string(15, 'A'));
  EXPECT_EQ(decodeSerial(SerialField{}.data()), "");
}

}  // namespace
}  // namespace vkm470::flash_map
