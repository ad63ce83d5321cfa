// SPDX-License-Identifier: MIT
// What the library and the module drivers it talks to agree on: the module
// driver's I/O control codes and the layout of its information block. The
// library sends these requests (qusb.cpp); the user-space drivers under
// drivers/ answer them (usbdev.cpp on libusb and on WinUSB). The virtual
// module under sim/ keeps copies of its own on purpose, as the independent
// check of both sides.
#pragma once

#include <cstdint>

namespace vkm470::usb {

// The control request: the 8-byte QUSB_REQUEST record in, the data stage out
// (filled for direction 1, sent for direction 0).
constexpr std::uint32_t kIoctlControlRequest = 0x22003E;
constexpr std::uint32_t kControlRecordBytes = 8;

// The information query: no input, the information block out.
constexpr std::uint32_t kIoctlInformation = 0x22005E;

// The information block: little-endian fields at these offsets, zero bytes
// elsewhere.
constexpr std::uint32_t kInformationBytes = 80;
constexpr std::uint32_t kInfoVendorOffset = 0;   // u16 vendor ID
constexpr std::uint32_t kInfoProductOffset = 2;  // u16 product ID
constexpr std::uint32_t kInfoBusOffset = 4;      // u8 bus number
constexpr std::uint32_t kInfoAddressOffset = 5;  // u8 device address on the bus
constexpr std::uint32_t kModuleTypeOffset = 36;  // u32 module type
constexpr std::uint32_t kModuleTypeVkm470 = 41;

}  // namespace vkm470::usb
