// SPDX-License-Identifier: MIT
// What the library and the parallel-port drivers it talks to agree on: the
// cable device's three requests, the port registers a register write names,
// and the batch format. The library sends these requests (byteblaster.cpp);
// the user-space driver under drivers/ answers them on a real port
// (ppdev.cpp). The virtual module under sim/ keeps copies of its own on
// purpose, as the independent check of both sides.
#pragma once

#include <cstdint>

namespace vkm470::lpt {

// The port query: no input, 4 bytes out, a little-endian 32-bit value that is
// kPortPresent when the cable's port is there.
constexpr std::uint32_t kIoctlPortQuery = 0x00166A00;
constexpr std::uint32_t kPortQueryBytes = 4;
constexpr std::uint32_t kPortPresent = 2;

// The register write: 8 bytes in, the little-endian 32-bit register number
// and value; nothing out.
constexpr std::uint32_t kIoctlWriteRegister = 0x0016AA08;
constexpr std::uint32_t kWriteRegisterBytes = 8;
constexpr std::uint32_t kRegisterData = 0;
constexpr std::uint32_t kRegisterControl = 2;

// The batch: a list of entries in, the same buffer and size out, carried out
// in order. An entry is two little-endian 16-bit words, operation then value.
constexpr std::uint32_t kIoctlBatch = 0x0016AA1C;
constexpr std::uint32_t kBatchEntrySize = 4;
// Puts the value's low byte on the data register.
constexpr std::uint16_t kBatchWriteData = 0x0A82;
// Reads the status register into the low byte of the entry's value word (the
// library sends 0 there).
constexpr std::uint16_t kBatchReadStatus = 0x0A81;

}  // namespace vkm470::lpt
