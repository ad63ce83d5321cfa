// SPDX-License-Identifier: MIT
// A recording cable driver for the parallel-port tests: it logs every request,
// follows the data register's lines through register writes and batches, and
// decodes each select window into the bytes clocked to the chip and the number
// clocked back. A small chip behind it answers status, ID, register and array
// reads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "hosted.h"

namespace lpttest {

using vkm470::os::Dword;

struct Call {
  Dword code;
  std::vector<std::uint8_t> input;
  Dword tick;  // GetTickCount when the request arrived
};

// One select window as the chip saw it.
struct Window {
  std::vector<std::uint8_t> out;  // bytes clocked into the chip
  std::uint32_t inBytes = 0;      // bytes clocked out of the chip
};

enum class Fault { None, Fail, Short };

inline void PrintTo(Fault fault, std::ostream* os) {
  *os << (fault == Fault::Fail ? "Fail" : fault == Fault::Short ? "Short" : "None");
}

class FakeCable : public vkm470::os::hosted::Driver,
                  public std::enable_shared_from_this<FakeCable> {
 public:
  std::unique_ptr<vkm470::os::hosted::Device> open(Dword access, Dword share,
                                                   Dword* error) override;

  // Configuration.
  Dword openError = 0;
  std::uint32_t portQueryValue = 2;
  Dword portQuerySize = 4;
  // Decides the fate of each request; it sees the window in progress.
  std::function<Fault(const Call&, const FakeCable&)> fault;
  int busyPolls = 0;  // status reads that answer busy before the chip is ready
  bool alwaysBusy = false;
  std::array<std::uint8_t, 4> id = {0x1F, 0x26, 0x00, 0x01};
  static std::uint8_t arrayByte(std::uint32_t address) { return std::uint8_t(address * 7 + 3); }

  // What happened.
  std::vector<Call> calls;
  std::vector<Window> windows;
  int opens = 0;
  int openHandles = 0;
  Dword lastAccess = 0;
  Dword lastShare = 0xFFFFFFFF;
  std::uint8_t lines = 0x02;  // the data register now; a closed cable leaves 0x02

  bool selected() const { return (lines & 0x02) == 0; }
  const Window& current() const { return window_; }
  // One line per window: opcode, address bytes, "+n" further bytes out,
  // "/n" bytes in. For example "84 000010 +16" or "D7 /1".
  std::vector<std::string> commandLog() const;
  // Register writes only: {register, value}.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> registerWrites() const;

  void serve(vkm470::os::hosted::Request& request);

 private:
  void setLines(std::uint8_t value);
  std::uint8_t sample();
  std::uint8_t respond(std::uint32_t index);

  Window window_;
  std::uint32_t bits_ = 0;         // rising clock edges in this window
  std::uint32_t accumulator_ = 0;  // bits of the byte being clocked in
  int responseStart_ = -1;         // byte at which the chip started answering
  int responseIndex_ = -1;
  std::uint8_t responseByte_ = 0;
  int statusReads_ = 0;
};

std::string hex(const std::vector<std::uint8_t>& bytes);

}  // namespace lpttest
