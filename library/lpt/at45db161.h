// SPDX-License-Identifier: MIT
// The AT45DB161 DataFlash command set over the ByteBlaster cable, in binary
// (512-byte) page mode. Each command runs in one select window.
//
// Two write sequences. The documented one (the default) pauses 10 ms after
// every select change, writes every page through buffer 1 and waits for each
// program to end before the next page's bytes go out. The fast one pauses
// only between ready polls, and fills one buffer while the chip programs from
// the other; the chip takes a write to the idle buffer while it is busy, and
// the sequence confirms ready before it reuses a buffer, copies a page into
// one or programs. A read in either sequence first confirms that the chip is
// ready, within the same 5000 ms, since a busy chip ignores it.
#pragma once

#include <cstdint>

#include "byteblaster.h"

namespace vkm470::lpt {

constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kInfoBlockSize = 8;

class CAT45DB161Flash final : public CAlteraByteBlaster {
 public:
  // Chosen once, as the cable opens (before its Deselect).
  void SetFastWrites(bool fast) { fast_ = fast; }
  bool FastWrites() const { return fast_; }

  bool Select();
  void Deselect();

  // Always true: a chip that cannot be read shows up as a WaitReady time-out.
  bool ReadStatus(std::uint8_t* status);
  // Polls the status register until the chip is ready, for at most 5000 ms;
  // fast writes pause 1 ms between polls.
  bool WaitReady();
  bool ReadID(std::uint8_t* id);
  bool SetBinaryPageSize();
  bool PageToBuffer(std::uint32_t page);
  bool WriteBuffer(std::uint32_t offset, const std::uint8_t* source, std::uint32_t length);
  bool BufferToPage(std::uint32_t page);
  bool ProgramFlash(std::uint32_t address, const std::uint8_t* source, std::uint32_t length);
  bool ReadFlash(std::uint32_t address, std::uint8_t* destination, std::uint32_t length);
  // The first byte of each register; meaningless when the cable fails.
  std::uint8_t ReadProtectionByte();
  std::uint8_t ReadLockdownByte();
  std::uint8_t ReadSecurityByte();

 private:
  // Fast writes: whole pages alternate the buffers; a partial page is first
  // copied into its buffer.
  bool programFast(std::uint32_t address, const std::uint8_t* source, std::uint32_t length);
  // Polls for ready unless the chip is known to be idle.
  bool confirmReady();
  // buffer: 1 or 2.
  bool writeBufferWindow(std::uint8_t buffer, std::uint32_t offset, const std::uint8_t* source,
                         std::uint32_t length);

  // One select window: the command bytes out, then length bytes in (none when
  // response is null).
  bool command(const std::uint8_t* out, std::uint32_t outCount, std::uint8_t* response,
               std::uint32_t responseCount);
  bool addressCommand(std::uint8_t opcode, std::uint32_t address);
  std::uint8_t readRegisterByte(std::uint8_t opcode);

  bool fast_ = false;
  // Fast writes: whether the chip may still be busy with a command, and with
  // which buffer (1, 2; kAnyBuffer when unknown, as after the open).
  static constexpr std::uint8_t kIdle = 0;
  static constexpr std::uint8_t kAnyBuffer = 3;
  std::uint8_t busyWith_ = kAnyBuffer;
};

}  // namespace vkm470::lpt
