// The ByteBlaster download cable on a parallel port, driven through the ALTLPT
// port driver. Every line change and every sample of the chip's output goes
// through the driver; one shift of a byte string is one batched request.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace vkm470::lpt {

// Data register lines.
constexpr std::uint8_t kLineClock = 0x01;
constexpr std::uint8_t kLineSelect = 0x02;
constexpr std::uint8_t kLineData = 0x40;

// Port registers.
constexpr std::uint32_t kRegisterData = 0;
constexpr std::uint32_t kRegisterControl = 2;

// The port driver's requests.
constexpr os::Dword kIoctlPortQuery = 0x00166A00;
constexpr os::Dword kIoctlWriteRegister = 0x0016AA08;
constexpr os::Dword kIoctlBatch = 0x0016AA1C;

// Batch entry operations: two little-endian 16-bit words, operation then value.
constexpr std::uint16_t kBatchWriteData = 0x0A82;
constexpr std::uint16_t kBatchReadStatus = 0x0A81;
constexpr std::uint32_t kBatchEntrySize = 4;
constexpr std::uint32_t kEntriesPerByteOut = 16;  // two line writes per bit
constexpr std::uint32_t kEntriesPerByteIn = 24;   // two line writes and one sample per bit

// The port query's answer when the cable's port is there.
constexpr std::uint32_t kPortPresent = 2;

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
