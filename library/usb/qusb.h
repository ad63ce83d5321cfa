// SPDX-License-Identifier: MIT
// The channel to one module through its USB kernel driver: control requests
// with an optional data stage, the driver's information query, bulk writes and
// reads, each overlapped and bounded by a time-out in milliseconds.
//
// Control transfers, bulk writes and bulk reads each take a mutex of their
// own, so one of each can be in progress at once. Every operation leaves its
// status in lastError (0 or one of the channel's codes). That one field is
// shared by the transfers of every thread, so the exports take a transfer's
// status from the ...Status operations instead, which return it by value as
// decided under the transfer's mutex. The streaming workers take the handle
// from GetHandle and run their own transfers on it, outside these mutexes.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"
#include "usb/driver_protocol.h"
#include "vkm470fapi.h"

namespace vkm470::usb {

// The name request that GetName sends.
constexpr std::uint16_t kRequestName = 0x0B;

// Largest data stage of one control request in a long transfer.
constexpr std::uint32_t kControlPieceBytes = 4096;

class IQUSB_BASE {
 public:
  virtual os::Handle GetHandle() = 0;
  virtual bool Open(std::uint8_t deviceNumber) = 0;
  virtual bool OpenByName(const char* path) = 0;
  virtual bool Close() = 0;
  virtual bool ControlRequest(QUSB_REQUEST* request, void* data, std::uint32_t length,
                              std::uint32_t timeout) = 0;
  virtual bool ControlCommand(QUSB_REQUEST* request) = 0;
  virtual bool ControlWriteLong(QUSB_REQUEST* request, void* data, std::uint32_t length,
                                std::uint32_t timeout) = 0;
  virtual bool ControlReadLong(QUSB_REQUEST* request, void* data, std::uint32_t length,
                               std::uint32_t timeout) = 0;
  virtual bool WriteBulk(const void* data, std::uint32_t length, std::uint32_t* written,
                         std::uint32_t timeout) = 0;
  virtual bool ReadBulk(void* data, std::uint32_t length, std::uint32_t* read,
                        std::uint32_t timeout) = 0;
  virtual bool AbortIo() = 0;
  virtual bool GetName(char* buffer, std::uint32_t length) = 0;
  virtual bool IsOk() = 0;
  virtual bool GetModuleType(std::uint32_t* type) = 0;

 protected:
  ~IQUSB_BASE() = default;
};

class TQUSB_BASE : public virtual IQUSB_BASE {
 public:
  TQUSB_BASE();
  TQUSB_BASE(const TQUSB_BASE&) = delete;
  TQUSB_BASE& operator=(const TQUSB_BASE&) = delete;
  virtual ~TQUSB_BASE();

  os::Handle GetHandle() override;
  bool Open(std::uint8_t deviceNumber) override;
  bool OpenByName(const char* path) override;
  bool Close() override;
  bool ControlRequest(QUSB_REQUEST* request, void* data, std::uint32_t length,
                      std::uint32_t timeout) override;
  bool ControlCommand(QUSB_REQUEST* request) override;
  bool ControlWriteLong(QUSB_REQUEST* request, void* data, std::uint32_t length,
                        std::uint32_t timeout) override;
  bool ControlReadLong(QUSB_REQUEST* request, void* data, std::uint32_t length,
                       std::uint32_t timeout) override;
  bool WriteBulk(const void* data, std::uint32_t length, std::uint32_t* written,
                 std::uint32_t timeout) override;
  bool ReadBulk(void* data, std::uint32_t length, std::uint32_t* read,
                std::uint32_t timeout) override;
  bool AbortIo() override;
  bool GetName(char* buffer, std::uint32_t length) override;
  bool IsOk() override;
  bool GetModuleType(std::uint32_t* type) override;

  // The operations above with their status by value: 0 or a channel code,
  // the one they also leave in lastError.
  std::int32_t ControlRequestStatus(QUSB_REQUEST* request, void* data, std::uint32_t length,
                                    std::uint32_t timeout);
  std::int32_t ControlCommandStatus(QUSB_REQUEST* request);
  std::int32_t WriteBulkStatus(const void* data, std::uint32_t length, std::uint32_t* written,
                               std::uint32_t timeout);
  std::int32_t ReadBulkStatus(void* data, std::uint32_t length, std::uint32_t* read,
                              std::uint32_t timeout);
  std::int32_t GetNameStatus(char* buffer, std::uint32_t length);

  os::Handle controlMutex;
  os::Handle writeMutex;
  os::Handle readMutex;
  os::Handle device;
  os::Overlapped controlOverlapped;
  os::Overlapped readOverlapped;
  os::Overlapped writeOverlapped;
  // Written by transfers of different kinds at once, each under its own mutex.
  std::atomic<std::int32_t> lastError;

 private:
  enum class Kind { Control, Write, Read };
  std::int32_t transfer(Kind kind, const QUSB_REQUEST* request, void* data, std::uint32_t length,
                        std::uint32_t* count, std::uint32_t timeout);
  std::int32_t controlLong(std::uint16_t direction, QUSB_REQUEST* request, void* data,
                           std::uint32_t length, std::uint32_t timeout);
};

}  // namespace vkm470::usb
