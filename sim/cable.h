// SPDX-License-Identifier: MIT
// The download cable on a virtual parallel port: a hosted driver that answers
// the parallel-port driver's three requests and puts the data register's lines
// on a DataFlash:
//   D0 (0x01) SCK, D1 (0x02) select (active low), D6 (0x40) SI;
//   status bit 7 carries SO inverted; the other status lines idle high, so a
//   status read gives 0x7F for SO high and 0xFF for SO low.
// Holding select low for 100 ms or more without a clock edge resets the DSP.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "dataflash.h"
#include "hosted.h"

namespace vkm470::sim {

class Cable : public os::hosted::Driver {
 public:
  // The cable device's requests and batch entries. The library and its real
  // port driver share one definition of them (library/lpt/driver_protocol.h);
  // these are written out again on purpose, from the driver's documentation,
  // so that the virtual module checks both sides rather than repeating them.
  static constexpr os::Dword kPortQuery = 0x00166A00;
  static constexpr os::Dword kRegisterWrite = 0x0016AA08;
  static constexpr os::Dword kBatch = 0x0016AA1C;
  static constexpr std::uint16_t kPutData = 0x0A82;
  static constexpr std::uint16_t kGetStatus = 0x0A81;
  static constexpr std::uint32_t kPortType = 2;
  static constexpr std::uint64_t kResetMicroseconds = 100000;

  // How the port query answers: the cable's absence, seen two ways.
  enum class Presence { Present, QueryAnswersZero, QueryFails };

  explicit Cable(std::shared_ptr<DataFlash> chip);

  std::unique_ptr<os::hosted::Device> open(os::Dword access, os::Dword share,
                                           os::Dword* error) override;

  DataFlash& chip();
  std::uint8_t dataRegister();
  std::uint8_t controlRegister();
  unsigned dspResets();

  // Faults.
  void setPresence(Presence presence);
  // The cable answers this many more requests, then fails every one with
  // ERROR_GEN_FAILURE.
  void stopAnsweringAfter(std::uint64_t requests);
  // The next this many batches that sample the status line (the responses of
  // chip commands) fail with ERROR_GEN_FAILURE; other requests are answered.
  void failResponses(std::uint64_t batches);

  struct Port;

 private:
  std::shared_ptr<Port> port_;
};

}  // namespace vkm470::sim
