// SPDX-License-Identifier: MIT
#include "usb/module.h"

#include <cstring>

namespace vkm470::usb {

namespace {

constexpr std::uint32_t kSpecialTimeoutMs = 500;
constexpr std::uint32_t kDescriptorTimeoutMs = 2000;
constexpr std::uint16_t kDescriptorValue = 0x2FF0;
constexpr std::uint16_t kDescriptorIndex = 0x8300;
constexpr std::uint32_t kFlashPieceBytes = 4096;

// Sends call-application with address; on success the record remembers
// which program runs.
std::int32_t startProgram(VKM470F_DEVICE* dev, std::uint16_t address) {
  TQUSB_BASE* channel = channelOf(dev);
  QUSB_REQUEST request{0, kRequestCallApplication, address, 0};
  if (const std::int32_t status = channel->ControlCommandStatus(&request);
      status != VKM470F_SUCCESS) {
    return status;
  }
  dev->applicationRunning = address == kStartApplication ? 1 : 0;
  return VKM470F_SUCCESS;
}

std::int32_t request(TQUSB_BASE* channel, QUSB_REQUEST request, void* data, std::uint32_t length,
                     std::uint32_t timeout) {
  return channel->ControlRequestStatus(&request, data, length, timeout);
}

// Runs body on the record's channel once the application runs.
template <typename Body>
std::int32_t inApplication(VKM470F_DEVICE* dev, Body body) {
  TQUSB_BASE* channel = channelOf(dev);
  if (channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (const std::int32_t started = EnsureApplication(dev); started != VKM470F_SUCCESS) {
    return started;
  }
  return body(*channel);
}

// The flash write and read loops: pieces of at most 4096 bytes, each carrying
// the address of its first byte, low half in value and high half in index.
std::int32_t flashTransfer(VKM470F_DEVICE* dev, std::uint16_t direction, std::uint16_t code,
                           std::uint32_t address, std::uint8_t* data, std::uint32_t length,
                           std::uint32_t timeout) {
  return inApplication(dev, [=](TQUSB_BASE& channel) {
    std::uint32_t at = address;
    for (std::uint32_t sent = 0; sent < length;) {
      const std::uint32_t piece =
          length - sent < kFlashPieceBytes ? length - sent : kFlashPieceBytes;
      const std::int32_t status =
          request(&channel, {direction, code, std::uint16_t(at), std::uint16_t(at >> 16)},
                  data + sent, piece, timeout);
      if (status != VKM470F_SUCCESS) return status;
      sent += piece;
      at += piece;
    }
    return std::int32_t{VKM470F_SUCCESS};
  });
}

}  // namespace

TQUSB_BASE* channelOf(VKM470F_DEVICE* dev) { return static_cast<TQUSB_BASE*>(dev->channel); }

std::int32_t EnsureApplication(VKM470F_DEVICE* dev) {
  if (dev->applicationRunning != 0) return VKM470F_SUCCESS;
  return startProgram(dev, kStartApplication);
}

std::int32_t LeaveApplication(VKM470F_DEVICE* dev) {
  if (dev->applicationRunning == 0) return VKM470F_SUCCESS;
  return startProgram(dev, kStartOtherProgram);
}

std::int32_t callApplication(VKM470F_DEVICE* dev, std::uint16_t address) {
  if (address == kStartApplication && dev->applicationRunning == 1) return VKM470F_SUCCESS;
  if (address == kStartOtherProgram && dev->applicationRunning == 0) return VKM470F_SUCCESS;
  if (dev->channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  return startProgram(dev, address);
}

std::int32_t resetDsp(VKM470F_DEVICE* dev) {
  return inApplication(dev, [](TQUSB_BASE& channel) {
    QUSB_REQUEST reset{0, kRequestResetDsp, 0, 0};
    return channel.ControlCommandStatus(&reset);
  });
}

std::int32_t dspCommand(VKM470F_DEVICE* dev, std::uint16_t direction, std::uint16_t value,
                        std::uint16_t index, std::uint8_t* data, std::uint32_t length,
                        std::uint32_t timeout) {
  if (dev->channel == nullptr || length > kDspCommandMaxBytes || length % 2 != 0) {
    return VKM470F_ERR_NO_OBJECT;
  }
  return inApplication(dev, [=](TQUSB_BASE& channel) {
    return request(&channel, {direction, kRequestDspCommand, value, index}, data, length, timeout);
  });
}

std::int32_t simpleControl(VKM470F_DEVICE* dev, QUSB_REQUEST* request, std::uint8_t* data,
                           std::uint32_t length, std::uint32_t timeout) {
  TQUSB_BASE* channel = channelOf(dev);
  if (channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  return channel->ControlRequestStatus(request, data, length, timeout);
}

std::int32_t simpleWriteBulk(VKM470F_DEVICE* dev, const std::uint8_t* data, std::uint32_t length,
                             std::uint32_t* written, std::uint32_t timeout) {
  return inApplication(dev, [=](TQUSB_BASE& channel) {
    return channel.WriteBulkStatus(data, length, written, timeout);
  });
}

std::int32_t simpleReadBulk(VKM470F_DEVICE* dev, std::uint8_t* data, std::uint32_t length,
                            std::uint32_t* read, std::uint32_t timeout) {
  return inApplication(dev, [=](TQUSB_BASE& channel) {
    return channel.ReadBulkStatus(data, length, read, timeout);
  });
}

std::int32_t getDeviceName(VKM470F_DEVICE* dev, char* name, std::uint16_t length) {
  TQUSB_BASE* channel = channelOf(dev);
  if (channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (const std::int32_t left = LeaveApplication(dev); left != VKM470F_SUCCESS) return left;
  return channel->GetNameStatus(name, length);
}

std::int32_t getDeviceDescr(VKM470F_DEVICE* dev, std::uint8_t* descriptor) {
  TQUSB_BASE* channel = channelOf(dev);
  if (channel == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (const std::int32_t left = LeaveApplication(dev); left != VKM470F_SUCCESS) return left;
  std::memset(descriptor, 0, kDescriptorBytes);
  return request(channel, {1, kRequestDescriptor, kDescriptorValue, kDescriptorIndex}, descriptor,
                 kDescriptorBytes, kDescriptorTimeoutMs);
}

std::int32_t programFlash(VKM470F_DEVICE* dev, std::uint32_t address, const std::uint8_t* data,
                          std::uint32_t length, std::uint32_t timeout) {
  // Direction 0: the driver only reads the data stage.
  return flashTransfer(dev, 0, kRequestFlashWrite, address, const_cast<std::uint8_t*>(data), length,
                       timeout);
}

std::int32_t readFlash(VKM470F_DEVICE* dev, std::uint32_t address, std::uint8_t* data,
                       std::uint32_t length, std::uint32_t timeout) {
  return flashTransfer(dev, 1, kRequestFlashRead, address, data, length, timeout);
}

std::int32_t specialCommand(VKM470F_DEVICE* dev, std::uint32_t command, std::uint8_t* data,
                            std::uint32_t length) {
  return inApplication(dev, [=](TQUSB_BASE& channel) {
    const std::uint16_t direction = length != 0 ? 1 : 0;
    return request(&channel, {direction, kRequestFlashSpecial, 0, std::uint16_t(command)}, data,
                   length, kSpecialTimeoutMs);
  });
}

}  // namespace vkm470::usb
