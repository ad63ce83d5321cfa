// SPDX-License-Identifier: MIT
// The virtual module's serial DataFlash: 4096 pages of 528 bytes with two
// SRAM buffers, driven either line by line (the cable model) or by whole
// commands (the USB firmware model, which uses buffer 1 only).
//
// Contents the data sheet leaves to the part, as this model answers them:
//   - the three registers as they leave the factory (factoryRegisters): sector
//     protection (0x32), 16 bytes 0x00, nothing protected; sector lockdown
//     (0x35), 16 bytes 0x00, nothing locked down; security (0x77), 64 bytes
//     0xFF (user area never programmed), then a 64-byte factory identifier
//     (kFactoryId below). No command programs them;
//   - SO while the chip has nothing to say (opcode, address and don't-care
//     bytes, past the end of a register or the ID) is high: reads as 0xFF;
//   - both buffers power up erased (0xFF);
//   - while a program or a page-to-buffer copy runs, the chip takes status
//     reads and writes to the other buffer and ignores every other command;
//     while the page size is being set, or when it is stuck busy, it takes
//     status reads only;
//   - an in-page offset beyond the page in standard mode (528..1023) runs on
//     into the next page, as if the array were one line of bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "hosted.h"

namespace vkm470::sim {

enum class PageMode { Standard, Binary };

class DataFlash {
 public:
  // Microseconds on a monotonic clock; busy times are measured on it.
  using Clock = std::function<std::uint64_t()>;

  static constexpr std::uint32_t kPages = 4096;
  static constexpr std::uint32_t kPageBytes = 528;
  static constexpr std::uint32_t kBinaryPageBytes = 512;
  static constexpr std::uint32_t kArrayBytes = kPages * kPageBytes;
  static constexpr std::uint32_t kProgramMicroseconds = 17000;
  static constexpr std::uint32_t kTransferMicroseconds = 200;
  static constexpr std::uint32_t kConfigureMicroseconds = 3000;

  static constexpr std::uint8_t kStatusRead = 0xD7;
  static constexpr std::uint8_t kIdRead = 0x9F;
  static constexpr std::uint8_t kPageToBuffer = 0x53;
  static constexpr std::uint8_t kBufferWrite = 0x84;
  static constexpr std::uint8_t kBufferToPage = 0x83;
  static constexpr std::uint8_t kPageToBuffer2 = 0x55;
  static constexpr std::uint8_t kBuffer2Write = 0x87;
  static constexpr std::uint8_t kBuffer2ToPage = 0x86;
  static constexpr std::uint8_t kContinuousRead = 0xE8;
  static constexpr std::uint8_t kProtectionRead = 0x32;
  static constexpr std::uint8_t kLockdownRead = 0x35;
  static constexpr std::uint8_t kSecurityRead = 0x77;
  static constexpr std::uint8_t kConfigure = 0x3D;  // then 2A 80 A6: binary pages

  static const std::array<std::uint8_t, 64> kFactoryId;

  struct Registers {
    std::array<std::uint8_t, 16> protection;
    std::array<std::uint8_t, 16> lockdown;
    std::array<std::uint8_t, 128> security;
  };
  static Registers factoryRegisters();

  // What the chip keeps without power: the array (kArrayBytes, page after
  // page) and the one-time page-size switch (0: standard pages; 1: binary
  // pages, for good). A module image lends the chip these bytes from its
  // mapped file, so a completed program is in the file when the command ends.
  struct Cells {
    std::uint8_t* array;
    std::uint8_t* binaryPages;
  };

  // The factory state: standard pages, array and buffer erased, ready.
  explicit DataFlash(Clock clock = os::hosted::nowMicroseconds);
  // A chip on cells and registers that outlive it; buffers erased, ready.
  DataFlash(Cells cells, const Registers& registers, Clock clock = os::hosted::nowMicroseconds);

  DataFlash(const DataFlash&) = delete;
  DataFlash& operator=(const DataFlash&) = delete;

  // Line interface. Levels are electrical: select is active low, SI is
  // sampled on SCK's rising edge, SO changes on its falling edge, MSB first;
  // a command takes effect when select goes high. The caller holds mutex()
  // across calls, so a whole batch of line changes is one step for other users.
  std::mutex& mutex() { return mutex_; }
  void setLines(bool selectHigh, bool sckHigh, bool siHigh) {
    if (selectHigh && !selectHigh_) {
      selectHigh_ = true;
      endWindow();
    }
    if (sckHigh != sckHigh_) {
      sckHigh_ = sckHigh;
      if (!selectHigh_) sckHigh ? risingEdge(siHigh) : fallingEdge();
    }
    if (!selectHigh && selectHigh_) {
      selectHigh_ = false;
      beginWindow();
    }
  }
  bool soHigh() const { return soHigh_; }
  std::uint64_t now() const { return clock_(); }

  // Whole commands, each one select window; the buffer commands on buffer 1
  // unless told buffer 2. Those that a busy chip ignores return false then.
  std::uint8_t status();
  std::array<std::uint8_t, 4> id() const;
  bool read(std::uint32_t address, std::uint8_t* out, std::size_t n);
  bool pageToBuffer(std::uint32_t address, std::uint8_t buffer = 1);
  bool writeBuffer(std::uint32_t offset, const std::uint8_t* data, std::size_t n,
                   std::uint8_t buffer = 1);
  bool bufferToPage(std::uint32_t address, std::uint8_t buffer = 1);
  // Buffer write from the address's offset, then program with erase; buffer 1.
  bool programPage(std::uint32_t address, const std::uint8_t* data, std::size_t n);
  bool setBinaryPages();
  // One of the three register reads (protection, lockdown, security): n bytes
  // from the register's first byte on, 0xFF past its end.
  bool readRegister(std::uint8_t opcode, std::uint8_t* out, std::size_t n);

  // Direct access for tests and the module image; no busy time, no faults.
  std::uint8_t peek(std::uint32_t page, std::uint32_t offset);
  void poke(std::uint32_t page, std::uint32_t offset, std::uint8_t value);
  PageMode pageMode();
  void forcePageMode(PageMode mode);

  // Each page program's busy time in microseconds, asked at every program, so
  // that tests can make programs shorter or longer than a buffer fill; an
  // empty function restores the data sheet's kProgramMicroseconds.
  void setProgramTime(std::function<std::uint32_t()> microseconds);

  // Faults.
  void setStuckBusy(bool stuck);
  // Flips the bits of mask in the byte at address (decoded per the page mode
  // at the time of each read) whenever that byte is read out.
  void flipOnRead(std::uint32_t address, std::uint8_t mask);
  void clearFlip();

 private:
  struct Position {
    std::uint32_t page;
    std::uint32_t offset;
  };

  void beginWindow();
  void endWindow();
  void risingEdge(bool si) {
    shift_ = static_cast<std::uint8_t>(shift_ << 1 | (si ? 1 : 0));
    if (++bitCount_ == 8) {
      bitCount_ = 0;
      byteIn(shift_);
    }
  }
  void fallingEdge() {
    if (bitCount_ == 0) out_ = nextOut();
    soHigh_ = (out_ >> (7 - bitCount_)) & 1;
  }
  void byteIn(std::uint8_t byte);
  std::uint8_t nextOut();

  bool busy() const;
  // Whether a command with this opcode is ignored now (a busy chip).
  bool refuses(std::uint8_t opcode) const;
  // buffer: 1 or 2, what the busy time ties up; 0 for the whole chip.
  void startBusy(std::uint32_t microseconds, std::uint8_t buffer);
  std::uint8_t statusByte() const;
  // Byte index of a register (one of the three read opcodes); 0xFF past its end.
  std::uint8_t registerByte(std::uint8_t opcode, std::uint32_t index) const;
  std::uint32_t pageBytes() const;
  Position decode(std::uint32_t address) const;
  std::uint32_t bufferOffset(std::uint32_t address) const;
  void startRead(std::uint32_t address);
  std::uint8_t readNext();
  // buffer: 1 or 2.
  void transfer(std::uint32_t address, std::uint8_t buffer);
  void program(std::uint32_t address, std::uint8_t buffer);
  void bufferPut(std::uint8_t buffer, std::uint8_t byte);
  void configure();

  bool binary() const { return *binaryPages_ != 0; }
  // Throws std::out_of_range past the array.
  static std::uint32_t cellIndex(std::uint32_t page, std::uint32_t offset);

  Clock clock_;
  std::mutex mutex_;
  std::vector<std::uint8_t> ownCells_;  // empty when the cells are lent
  std::uint8_t* array_;
  std::uint8_t* binaryPages_;
  Registers registers_;
  std::array<std::array<std::uint8_t, kPageBytes>, 2> buffers_;
  std::uint64_t busyUntil_ = 0;
  std::uint8_t busyBuffer_ = 0;  // what the busy time ties up, as startBusy takes it
  std::function<std::uint32_t()> programTime_;
  bool stuckBusy_ = false;
  std::uint32_t flipAddress_ = 0;
  std::uint8_t flipMask_ = 0;

  // Lines and the current select window.
  bool selectHigh_ = true;
  bool sckHigh_ = true;
  bool soHigh_ = true;
  std::uint8_t shift_ = 0;
  std::uint8_t out_ = 0xFF;
  std::uint8_t bitCount_ = 0;
  bool ignoring_ = false;
  std::uint8_t opcode_ = 0;
  std::uint32_t received_ = 0;  // whole bytes, the opcode included
  std::uint32_t header_ = 0;    // the three bytes after the opcode
  std::uint32_t bufferPos_ = 0;
  Position readPos_{0, 0};
  std::uint32_t readPageBytes_ = kPageBytes;
  std::uint32_t flipIndex_ = 0;
};

}  // namespace vkm470::sim
