// The AT45DB161 DataFlash command set over the ByteBlaster cable, in binary
// (512-byte) page mode. Each command runs in one select window.
#pragma once

#include <cstdint>

#include "byteblaster.h"

namespace vkm470::lpt {

constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kInfoBlockSize = 8;

class CAT45DB161Flash final : public CAlteraByteBlaster {
 public:
  bool Select();
  void Deselect();

  // Always true: a chip that cannot be read shows up as a WaitReady time-out.
  bool ReadStatus(std::uint8_t* status);
  // Polls the status register until the chip is ready, for at most 5000 ms.
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
  // One select window: the command bytes out, then length bytes in (none when
  // response is null).
  bool command(const std::uint8_t* out, std::uint32_t outCount, std::uint8_t* response,
               std::uint32_t responseCount);
  bool addressCommand(std::uint8_t opcode, std::uint32_t address);
  std::uint8_t readRegisterByte(std::uint8_t opcode);
};

}  // namespace vkm470::lpt
