// SPDX-License-Identifier: MIT
#include "at45db161.h"

namespace vkm470::lpt {

namespace {

constexpr os::Dword kSelectSettleMs = 10;
constexpr os::Dword kReadyTimeoutMs = 5000;
// A page program takes about 17 ms: polls 1 ms apart cost the write under a
// millisecond a page and leave the cable idle in between.
constexpr os::Dword kFastPollPauseMs = 1;
constexpr std::uint8_t kStatusReady = 0x80;

constexpr std::uint8_t kOpStatusRead = 0xD7;
constexpr std::uint8_t kOpIdRead = 0x9F;
constexpr std::uint8_t kOpPageToBuffer1 = 0x53;
constexpr std::uint8_t kOpBuffer1Write = 0x84;
constexpr std::uint8_t kOpBuffer1ToPage = 0x83;
constexpr std::uint8_t kOpPageToBuffer2 = 0x55;
constexpr std::uint8_t kOpBuffer2Write = 0x87;
constexpr std::uint8_t kOpBuffer2ToPage = 0x86;
constexpr std::uint8_t kOpContinuousRead = 0xE8;
constexpr std::uint8_t kOpProtectionRead = 0x32;
constexpr std::uint8_t kOpLockdownRead = 0x35;
constexpr std::uint8_t kOpSecurityRead = 0x77;
constexpr std::uint8_t kBinaryPageSize[] = {0x3D, 0x2A, 0x80, 0xA6};

// Opcode and 24-bit address, most significant byte first; bits 31..24 of the
// address do not reach the chip.
void putHeader(std::uint8_t* out, std::uint8_t opcode, std::uint32_t address) {
  out[0] = opcode;
  out[1] = std::uint8_t(address >> 16);
  out[2] = std::uint8_t(address >> 8);
  out[3] = std::uint8_t(address);
}

}  // namespace

bool CAT45DB161Flash::Select() {
  dataLatch &= std::uint8_t(~kLineSelect);
  const bool ok = WritePort(kRegisterData, dataLatch);
  if (!fast_) os::Sleep(kSelectSettleMs);
  return ok;
}

void CAT45DB161Flash::Deselect() {
  dataLatch |= kLineSelect;
  WritePort(kRegisterData, dataLatch);
  if (!fast_) os::Sleep(kSelectSettleMs);
}

bool CAT45DB161Flash::command(const std::uint8_t* out, std::uint32_t outCount,
                              std::uint8_t* response, std::uint32_t responseCount) {
  // A failed select leaves the chip selected until the next Deselect.
  if (!Select()) return false;
  bool ok = ShiftOut(out, outCount);
  if (ok && response != nullptr) ok = ShiftIn(response, responseCount);
  Deselect();
  return ok;
}

bool CAT45DB161Flash::addressCommand(std::uint8_t opcode, std::uint32_t address) {
  std::uint8_t out[4];
  putHeader(out, opcode, address);
  return command(out, sizeof(out), nullptr, 0);
}

bool CAT45DB161Flash::ReadStatus(std::uint8_t* status) {
  // A byte that could not be read keeps the old value: a failed shift decodes
  // as 0xFF, whose ready bit would send the next page to a busy chip.
  std::uint8_t answer = 0;
  if (command(&kOpStatusRead, 1, &answer, 1)) *status = answer;
  return true;
}

bool CAT45DB161Flash::WaitReady() {
  // Elapsed time, not a deadline, so the comparison holds across the tick's wrap.
  const os::Dword start = os::GetTickCount();
  std::uint8_t status = 0;
  for (;;) {
    ReadStatus(&status);
    if (os::GetTickCount() - start > kReadyTimeoutMs) return false;
    if (fast_) {
      if (status & kStatusReady) return true;
      os::Sleep(kFastPollPauseMs);
      continue;
    }
    os::Sleep(0);
    if (status & kStatusReady) return true;
  }
}

bool CAT45DB161Flash::ReadID(std::uint8_t* id) { return command(&kOpIdRead, 1, id, 4); }

bool CAT45DB161Flash::SetBinaryPageSize() {
  const bool ok = command(kBinaryPageSize, sizeof(kBinaryPageSize), nullptr, 0);
  busyWith_ = kAnyBuffer;
  // A chip that never gets ready has not taken the command (a busy chip
  // ignores it), so the page size may not have been set.
  const bool ready = WaitReady();
  return ok && ready;
}

bool CAT45DB161Flash::PageToBuffer(std::uint32_t page) {
  busyWith_ = kAnyBuffer;
  return addressCommand(kOpPageToBuffer1, page) && WaitReady();
}

bool CAT45DB161Flash::WriteBuffer(std::uint32_t offset, const std::uint8_t* source,
                                  std::uint32_t length) {
  return writeBufferWindow(1, offset, source, length);
}

bool CAT45DB161Flash::writeBufferWindow(std::uint8_t buffer, std::uint32_t offset,
                                        const std::uint8_t* source, std::uint32_t length) {
  std::uint8_t header[4];
  putHeader(header, buffer == 1 ? kOpBuffer1Write : kOpBuffer2Write, offset);
  if (!Select()) return false;
  const bool ok = ShiftOut(header, sizeof(header)) && ShiftOut(source, length);
  Deselect();
  return ok;
}

bool CAT45DB161Flash::BufferToPage(std::uint32_t page) {
  busyWith_ = kAnyBuffer;
  return addressCommand(kOpBuffer1ToPage, page);
}

bool CAT45DB161Flash::ProgramFlash(std::uint32_t address, const std::uint8_t* source,
                                   std::uint32_t length) {
  if (fast_) return programFast(address, source, length);
  bool result = true;

  // A page the range covers only in part goes through the buffer so that its
  // other bytes survive the page program's built-in erase.
  const std::uint32_t offset = address % kPageSize;
  if (offset != 0) {
    const std::uint32_t n = length < kPageSize - offset ? length : kPageSize - offset;
    const std::uint32_t page = address & ~(kPageSize - 1);
    if (PageToBuffer(page) && WriteBuffer(offset, source, n) && BufferToPage(page)) {
      result = WaitReady();
      address += n;
      source += n;
      length -= n;
    } else {
      result = false;
    }
  }

  while (length >= kPageSize && result) {
    if (WriteBuffer(0, source, kPageSize) && BufferToPage(address)) {
      result = WaitReady();
      address += kPageSize;
      source += kPageSize;
      length -= kPageSize;
    } else {
      result = false;
    }
  }

  if (length > 0 && result) {
    result = PageToBuffer(address) && WriteBuffer(0, source, length) && BufferToPage(address) &&
             WaitReady();
  }
  return result;
}

bool CAT45DB161Flash::confirmReady() {
  if (busyWith_ == kIdle) return true;
  if (!WaitReady()) return false;
  busyWith_ = kIdle;
  return true;
}

bool CAT45DB161Flash::programFast(std::uint32_t address, const std::uint8_t* source,
                                  std::uint32_t length) {
  std::uint32_t offset = address % kPageSize;
  // As the standard sequence: an empty range rewrites its page unchanged
  // when it starts inside one, and touches nothing otherwise.
  if (length == 0 && offset == 0) return true;
  std::uint8_t buffer = 1;
  do {
    const std::uint32_t n = length < kPageSize - offset ? length : kPageSize - offset;
    const std::uint32_t page = address & ~(kPageSize - 1);
    if (n != kPageSize) {
      // The copy needs an idle chip, and the buffer's fill the copy's end.
      if (!confirmReady() ||
          !addressCommand(buffer == 1 ? kOpPageToBuffer1 : kOpPageToBuffer2, page))
        return false;
      busyWith_ = buffer;
    }
    // A program from the other buffer goes on while this one fills; one that
    // may still use this buffer must end first.
    if (busyWith_ == buffer || busyWith_ == kAnyBuffer) {
      if (!confirmReady()) return false;
    }
    if (!writeBufferWindow(buffer, offset, source, n) || !confirmReady() ||
        !addressCommand(buffer == 1 ? kOpBuffer1ToPage : kOpBuffer2ToPage, page))
      return false;
    busyWith_ = buffer;
    buffer = buffer == 1 ? 2 : 1;
    address = page + kPageSize;
    source += n;
    length -= n;
    offset = 0;
  } while (length > 0);
  // The last program must have ended for the write to count.
  return confirmReady();
}

bool CAT45DB161Flash::ReadFlash(std::uint32_t address, std::uint8_t* destination,
                                std::uint32_t length) {
  // A busy chip ignores the read, and its idle output would read as 0xFF: an
  // erased range that is not there. Each cable starts without knowing what
  // the chip is doing, so the read confirms ready first, in either sequence.
  if (!confirmReady()) return false;
  // The four don't-care bytes after the address repeat the header.
  std::uint8_t header[8];
  putHeader(header, kOpContinuousRead, address);
  putHeader(header + 4, kOpContinuousRead, address);
  if (!Select()) return false;
  const bool ok = ShiftOut(header, sizeof(header)) && ShiftIn(destination, length);
  Deselect();
  return ok;
}

std::uint8_t CAT45DB161Flash::readRegisterByte(std::uint8_t opcode) {
  // The chip clocks three don't-care bytes in before the register comes out.
  const std::uint8_t out[4] = {opcode, 0, 0, 0};
  std::uint8_t value = 0;
  command(out, sizeof(out), &value, 1);
  return value;
}

std::uint8_t CAT45DB161Flash::ReadProtectionByte() { return readRegisterByte(kOpProtectionRead); }

std::uint8_t CAT45DB161Flash::ReadLockdownByte() { return readRegisterByte(kOpLockdownRead); }

std::uint8_t CAT45DB161Flash::ReadSecurityByte() { return readRegisterByte(kOpSecurityRead); }

}  // namespace vkm470::lpt
