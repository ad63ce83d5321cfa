// SPDX-License-Identifier: MIT
#include "byteblaster.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "vkm470_byte_order.h"

namespace vkm470::lpt {

namespace {

// A batch buffer of entries × 4 bytes, or null when it cannot be had: a size
// the driver's 32-bit length cannot carry, or no memory.
std::unique_ptr<std::uint8_t[]> allocateBatch(std::uint32_t count, std::uint32_t entriesPerByte,
                                              os::Dword* size) {
  const std::uint32_t bytesPerByte = entriesPerByte * kBatchEntrySize;
  if (count > std::numeric_limits<os::Dword>::max() / bytesPerByte) return nullptr;
  *size = count * bytesPerByte;
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[*size]);
}

bool sendBatch(os::Handle port, std::uint8_t* batch, os::Dword size) {
  os::Dword returned = 0;
  return os::DeviceIoControl(port, kIoctlBatch, batch, size, batch, size, &returned, nullptr) &&
         returned == size;
}

constexpr std::uint8_t kWriteLo = std::uint8_t(kBatchWriteData & 0xFF);
constexpr std::uint8_t kWriteHi = std::uint8_t(kBatchWriteData >> 8);
constexpr std::uint8_t kReadLo = std::uint8_t(kBatchReadStatus & 0xFF);
constexpr std::uint8_t kReadHi = std::uint8_t(kBatchReadStatus >> 8);

inline std::uint8_t* putWrite(std::uint8_t* entry, std::uint8_t lines) {
  entry[0] = kWriteLo;
  entry[1] = kWriteHi;
  entry[2] = lines;
  entry[3] = 0;
  return entry + kBatchEntrySize;
}

inline std::uint8_t* putRead(std::uint8_t* entry) {
  entry[0] = kReadLo;
  entry[1] = kReadHi;
  entry[2] = 0;
  entry[3] = 0;
  return entry + kBatchEntrySize;
}

}  // namespace

CAlteraByteBlaster::CAlteraByteBlaster() : portHandle(os::invalidHandle()), dataLatch(0) {}

CAlteraByteBlaster::~CAlteraByteBlaster() { CAlteraByteBlaster::Close(); }

bool CAlteraByteBlaster::portOpen() const {
  return portHandle != os::invalidHandle() && portHandle != nullptr;
}

void CAlteraByteBlaster::Close() {
  if (!portOpen()) return;
  // Leaves the lines at select high, clock and data low for whoever comes next.
  WritePort(kRegisterData, kLineSelect);
  os::CloseHandle(portHandle);
  portHandle = os::invalidHandle();
}

bool CAlteraByteBlaster::Open(int port) {
  dataLatch = kLineClock | kLineData;
  Close();

  char path[32];
  std::snprintf(path, sizeof(path), "\\\\.\\ALTLPT%d", port);
  portHandle = os::CreateFile(path, os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting,
                              os::kFileAttributeNormal);

  bool present = portOpen();
  if (present) {
    std::uint8_t answer[kPortQueryBytes] = {};
    os::Dword returned = 0;
    present = os::DeviceIoControl(portHandle, kIoctlPortQuery, nullptr, 0, answer, sizeof(answer),
                                  &returned, nullptr) &&
              returned == sizeof(answer);
    if (present) {
      present = byte_order::loadLe32(answer) == kPortPresent;
    }
  }
  if (present) present = WritePort(kRegisterControl, 0x02);
  if (!present) {
    Close();
    portHandle = os::invalidHandle();
  }
  return present;
}

bool CAlteraByteBlaster::WritePort(std::uint32_t reg, std::uint32_t value) {
  if (!portOpen()) return false;
  std::uint8_t input[kWriteRegisterBytes];
  byte_order::storeLe32(input, reg);
  byte_order::storeLe32(input + 4, value);
  os::Dword returned = 0;
  return os::DeviceIoControl(portHandle, kIoctlWriteRegister, input, sizeof(input), nullptr, 0,
                             &returned, nullptr) &&
         returned == 0;
}

bool CAlteraByteBlaster::ShiftOut(const std::uint8_t* source, std::uint32_t count) {
  if (!portOpen()) return false;
  os::Dword size = 0;
  const auto batch = allocateBatch(count, kEntriesPerByteOut, &size);
  if (!batch) return false;

  // Clock and data end high; the select line stays as the caller set it.
  dataLatch |= kLineClock | kLineData;
  const std::uint8_t idle = dataLatch & std::uint8_t(~(kLineClock | kLineData));
  std::uint8_t* entry = batch.get();
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned byte = source[i];
    for (int bit = 7; bit >= 0; --bit) {
      const std::uint8_t low = idle | ((byte >> bit) & 1u ? kLineData : 0);
      entry = putWrite(entry, low);
      entry = putWrite(entry, low | kLineClock);
    }
  }

  return sendBatch(portHandle, batch.get(), size);
}

bool CAlteraByteBlaster::ShiftIn(std::uint8_t* destination, std::uint32_t count) {
  if (!portOpen()) return false;
  os::Dword size = 0;
  const auto batch = allocateBatch(count, kEntriesPerByteIn, &size);
  if (!batch) {
    // What a request that read nothing decodes to.
    if (count != 0) std::memset(destination, 0xFF, count);
    return false;
  }

  dataLatch |= kLineClock | kLineData;
  const std::uint8_t low = dataLatch & std::uint8_t(~kLineClock);
  const std::uint8_t high = dataLatch;
  std::uint8_t* entry = batch.get();
  for (std::uint32_t bit = 0, bits = count * 8; bit < bits; ++bit) {
    entry = putWrite(entry, low);
    entry = putWrite(entry, high);
    entry = putRead(entry);
  }

  const bool ok = sendBatch(portHandle, batch.get(), size);

  // The status line reads the chip's output inverted.
  const std::uint8_t* sample = batch.get() + 2 * kBatchEntrySize + 2;
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned byte = 0;
    for (int bit = 0; bit < 8; ++bit) {
      byte = byte << 1 | ((*sample & 0x80) == 0 ? 1u : 0u);
      sample += 3 * kBatchEntrySize;
    }
    destination[i] = std::uint8_t(byte);
  }
  return ok;
}

}  // namespace vkm470::lpt
