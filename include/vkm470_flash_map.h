// The module's flash map as the burner lays it out: where the boot, serial,
// application and PGA images go, and the PGA header in front of the PGA image.
// Addresses are the byte addresses that the library's flash calls take (512-byte
// pages). One list for every tool that writes or reads these areas; not part of
// the library's interface and not installed.
#pragma once

#include <cstdint>

namespace vkm470::flash_map {

constexpr std::uint32_t kPageBytes = 512;
constexpr std::uint32_t kFlashBytes = 4096 * kPageBytes;

constexpr std::uint32_t kBootAddress = 0x000000;
constexpr std::uint32_t kBootBytes = 131072;
constexpr std::uint32_t kSerialAddress = 0x020000;
constexpr std::uint32_t kSerialAreaBytes = 512;
// The serial field: the text, its terminator, zero fill.
constexpr std::uint32_t kSerialFieldBytes = 16;
constexpr std::uint32_t kAppAddress = 0x020200;
constexpr std::uint32_t kAppBytes = 1863168;
// The PGA header: the image's length and byte sum, 32 bits each, little-endian.
constexpr std::uint32_t kPgaHeaderAddress = 0x1E7000;
constexpr std::uint32_t kPgaHeaderBytes = 8;
constexpr std::uint32_t kPgaAddress = 0x1E7008;
constexpr std::uint32_t kPgaBytes = 102392;

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

}  // namespace vkm470::flash_map
