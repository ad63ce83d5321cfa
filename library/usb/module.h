// SPDX-License-Identifier: MIT
// Module control and flash access over USB: the exports' USB branches. Each
// takes a record whose interfaceType is USB (the dispatcher has tested it) and
// returns 0 or a status code; a failed transfer's channel code passes through
// unchanged, as the transfer returned it (not read back from lastError, which
// another thread's transfer may have set meanwhile).
//
// The module runs one of two programs: its application (start address 0),
// which serves DSP commands, the DSP reset, bulk data, flash and streaming, and
// the program at 0x3C00, which serves the name and the descriptor. The record
// remembers in applicationRunning what the library last started.
#pragma once

#include <cstdint>

#include "usb/qusb.h"
#include "vkm470fapi.h"

namespace vkm470::usb {

// Request codes (the name request, 0x0B, is the channel's own).
constexpr std::uint16_t kRequestStream = 0x04;
constexpr std::uint16_t kRequestDspCommand = 0x05;
constexpr std::uint16_t kRequestFlashSpecial = 0x08;
constexpr std::uint16_t kRequestFlashWrite = 0x09;
constexpr std::uint16_t kRequestFlashRead = 0x0A;
constexpr std::uint16_t kRequestResetDsp = 0x0C;
constexpr std::uint16_t kRequestDescriptor = 0x0E;
constexpr std::uint16_t kRequestCallApplication = 0x0F;

constexpr std::uint16_t kStartApplication = 0x0000;
constexpr std::uint16_t kStartOtherProgram = 0x3C00;
constexpr std::uint32_t kDescriptorBytes = 208;
constexpr std::uint32_t kDspCommandMaxBytes = 4096;

TQUSB_BASE* channelOf(VKM470F_DEVICE* dev);

// The state steps: 0 when the program needed runs (or was started now), else
// the channel's code for the failed start.
std::int32_t EnsureApplication(VKM470F_DEVICE* dev);
std::int32_t LeaveApplication(VKM470F_DEVICE* dev);

std::int32_t callApplication(VKM470F_DEVICE* dev, std::uint16_t address);
std::int32_t resetDsp(VKM470F_DEVICE* dev);
// direction 0 sends length bytes of data to the DSP, 1 reads them back.
std::int32_t dspCommand(VKM470F_DEVICE* dev, std::uint16_t direction, std::uint16_t value,
                        std::uint16_t index, std::uint8_t* data, std::uint32_t length,
                        std::uint32_t timeout);
std::int32_t simpleControl(VKM470F_DEVICE* dev, QUSB_REQUEST* request, std::uint8_t* data,
                           std::uint32_t length, std::uint32_t timeout);
std::int32_t simpleWriteBulk(VKM470F_DEVICE* dev, const std::uint8_t* data, std::uint32_t length,
                             std::uint32_t* written, std::uint32_t timeout);
std::int32_t simpleReadBulk(VKM470F_DEVICE* dev, std::uint8_t* data, std::uint32_t length,
                            std::uint32_t* read, std::uint32_t timeout);
std::int32_t getDeviceName(VKM470F_DEVICE* dev, char* name, std::uint16_t length);
std::int32_t getDeviceDescr(VKM470F_DEVICE* dev, std::uint8_t* descriptor);

// Flash through the module's DSP, in pieces of at most 4096 bytes.
std::int32_t programFlash(VKM470F_DEVICE* dev, std::uint32_t address, const std::uint8_t* data,
                          std::uint32_t length, std::uint32_t timeout);
std::int32_t readFlash(VKM470F_DEVICE* dev, std::uint32_t address, std::uint8_t* data,
                       std::uint32_t length, std::uint32_t timeout);
std::int32_t specialCommand(VKM470F_DEVICE* dev, std::uint32_t command, std::uint8_t* data,
                            std::uint32_t length);

}  // namespace vkm470::usb
