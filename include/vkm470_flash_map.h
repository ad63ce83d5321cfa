// SPDX-License-Identifier: MIT
// The module's flash layout as the burner lays it out: where the boot, serial,
// application and PGA images go, the PGA header in front of the PGA image, the
// serial field, and the pieces the flash calls take. Addresses are the byte
// addresses that the library's flash calls take (512-byte pages). One home for
// these facts for every tool that writes or reads these areas; not part of the
// library's interface and not installed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "vkm470_byte_order.h"

namespace vkm470::flash_map {

constexpr std::uint32_t kPageBytes = 512;
constexpr std::uint32_t kFlashBytes = 4096 * kPageBytes;
// What an erased flash byte reads as.
constexpr std::uint8_t kErased = 0xFF;

constexpr std::uint32_t kBootAddress = 0x000000;
constexpr std::uint32_t kBootBytes = 131072;
constexpr std::uint32_t kSerialAddress = 0x020000;
constexpr std::uint32_t kSerialAreaBytes = 512;
// The serial field: the text, its terminator, zero fill.
constexpr std::uint32_t kSerialFieldBytes = 16;
// The longest serial number the field holds.
constexpr std::uint32_t kSerialTextBytes = kSerialFieldBytes - 1;
constexpr std::uint32_t kAppAddress = 0x020200;
constexpr std::uint32_t kAppBytes = 1863168;
// The PGA header: the image's length and byte sum, 32 bits each, little-endian.
constexpr std::uint32_t kPgaHeaderAddress = 0x1E7000;
constexpr std::uint32_t kPgaHeaderBytes = 8;
constexpr std::uint32_t kPgaAddress = 0x1E7008;
constexpr std::uint32_t kPgaBytes = 102392;

// The pieces of the flash calls as the burner makes them: bytes per program
// call (and per read-back call when verifying), and the time-out in
// milliseconds each call gives the library's USB path (the cable ignores it).
constexpr std::uint32_t kPieceBytes = 4096;
constexpr std::uint32_t kPieceTimeoutMs = 1000;

struct Area {
  const char* name;
  std::uint32_t address;
  std::uint32_t length;
};

// In address order; together they cover the whole flash.
constexpr Area kAreas[] = {
    {"boot", kBootAddress, kBootBytes},      {"serial", kSerialAddress, kSerialAreaBytes},
    {"application", kAppAddress, kAppBytes}, {"PGA header", kPgaHeaderAddress, kPgaHeaderBytes},
    {"PGA", kPgaAddress, kPgaBytes},
};

static_assert(kBootAddress + kBootBytes == kSerialAddress, "areas adjoin");
static_assert(kSerialAddress + kSerialAreaBytes == kAppAddress, "areas adjoin");
static_assert(kAppAddress + kAppBytes == kPgaHeaderAddress, "areas adjoin");
static_assert(kPgaHeaderAddress + kPgaHeaderBytes == kPgaAddress, "areas adjoin");
static_assert(kPgaAddress + kPgaBytes == kFlashBytes, "the map covers the flash");

using byte_order::loadLe32;
using byte_order::storeLe32;

inline bool allErased(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (bytes[i] != kErased) return false;
  return true;
}

// The sum of bytes, each taken as 0..255, modulo 2^32.
inline std::uint32_t byteSum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += bytes[i];
  return sum;
}

// The PGA header. An image holds 1 to kPgaBytes bytes: the burner refuses an
// empty PGA file and one larger than the area, so a header of another length
// describes no image it wrote, whatever the bytes behind it sum to.
using PgaHeaderBytes = std::array<std::uint8_t, kPgaHeaderBytes>;

constexpr bool pgaLengthFits(std::uint32_t length) { return length >= 1 && length <= kPgaBytes; }

inline PgaHeaderBytes pgaHeader(const std::uint8_t* image, std::uint32_t length) {
  PgaHeaderBytes header{};
  storeLe32(header.data(), length);
  storeLe32(header.data() + 4, byteSum(image, length));
  return header;
}

struct PgaHeader {
  enum class State {
    Erased,      // every byte 0xFF: no image
    OutOfRange,  // a length that no image has (see pgaLengthFits)
    Valid,       // a length that fits: the bytes behind it are to be summed
  };
  State state = State::Erased;
  std::uint32_t length = 0;
  std::uint32_t sum = 0;

  // Whether image bytes (length of them, read from kPgaAddress) are the ones
  // the header describes. Only for a Valid header.
  bool matches(const std::uint8_t* image) const { return byteSum(image, length) == sum; }
};

inline PgaHeader decodePgaHeader(const std::uint8_t* bytes) {
  PgaHeader header;
  if (allErased(bytes, kPgaHeaderBytes)) return header;
  header.length = loadLe32(bytes);
  header.sum = loadLe32(bytes + 4);
  header.state =
      pgaLengthFits(header.length) ? PgaHeader::State::Valid : PgaHeader::State::OutOfRange;
  return header;
}

// The serial field. Encoding: the text (at most kSerialTextBytes bytes; a
// longer one is refused with nullopt), a terminator, zero fill. Decoding, as
// the burner shows it: the bytes up to the first zero, at most
// kSerialTextBytes of them, as they are (not necessarily text of any
// encoding); nullopt for an erased field (every byte 0xFF), which holds no
// serial number, whereas a field may well hold the characters "erased".
using SerialField = std::array<std::uint8_t, kSerialFieldBytes>;

inline std::optional<SerialField> encodeSerial(const std::string& text) {
  if (text.size() > kSerialTextBytes) return std::nullopt;
  SerialField field{};
  for (std::size_t i = 0; i < text.size(); ++i) field[i] = static_cast<std::uint8_t>(text[i]);
  return field;
}

inline std::optional<std::string> decodeSerial(const std::uint8_t* field) {
  if (allErased(field, kSerialFieldBytes)) return std::nullopt;
  std::string text;
  for (std::uint32_t i = 0; i < kSerialTextBytes && field[i] != 0; ++i)
    text += static_cast<char>(field[i]);
  return text;
}

}  // namespace vkm470::flash_map
