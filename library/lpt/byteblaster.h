// SPDX-License-Identifier: MIT
// The ByteBlaster download cable on a parallel port, driven through the ALTLPT
// port driver. Every line change and every sample of the chip's output goes
// through the driver; one shift of a byte string is one batched request.
#pragma once

#include <cstdint>

#include "lpt/driver_protocol.h"
#include "os/os.h"

namespace vkm470::lpt {

// Data register lines.
constexpr std::uint8_t kLineClock = 0x01;
constexpr std::uint8_t kLineSelect = 0x02;
constexpr std::uint8_t kLineData = 0x40;

// Batch entries per byte shifted (the requests and the batch format are in
// driver_protocol.h).
constexpr std::uint32_t kEntriesPerByteOut = 16;  // two line writes per bit
constexpr std::uint32_t kEntriesPerByteIn = 24;   // two line writes and one sample per bit

// Not copyable: the object owns its port handle. The destructor is not
// virtual; owners delete the concrete type.
class CAlteraByteBlaster {
 public:
  CAlteraByteBlaster();
  ~CAlteraByteBlaster();
  CAlteraByteBlaster(const CAlteraByteBlaster&) = delete;
  CAlteraByteBlaster& operator=(const CAlteraByteBlaster&) = delete;

  virtual void Close();
  // port is 1..3 (LPT1..LPT3).
  virtual bool Open(int port);

  bool WritePort(std::uint32_t reg, std::uint32_t value);
  // Clocks count bytes out on the data line, most significant bit first.
  bool ShiftOut(const std::uint8_t* source, std::uint32_t count);
  // Clocks count bytes in from the status line with the data line held high;
  // writes every destination byte even when the request fails.
  bool ShiftIn(std::uint8_t* destination, std::uint32_t count);

 protected:
  bool portOpen() const;

  os::Handle portHandle;
  // The value last put, or about to be put, on the data register.
  std::uint8_t dataLatch;
};

}  // namespace vkm470::lpt
