// SPDX-License-Identifier: MIT
// The 25 exports: each tests the record's interface type first and dispatches
// to the USB side or the parallel-port branch. No exception leaves an export;
// a failure that throws (allocation included) becomes the export's status code.
#include <cstring>

#include "api/devices.h"
#include "lpt/branch.h"
#include "stream/streaming.h"
#include "usb/module.h"
#include "vkm470fapi.h"

namespace {

using vkm470::lpt::isParallelPort;

bool isUsb(const VKM470F_DEVICE* dev) { return dev->interfaceType == VKM470F_INTERFACE_USB; }

// Runs body, turning any exception into failureCode.
template <typename Body>
std::int32_t guarded(std::int32_t failureCode, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failureCode;
  }
}

// A buffer that the call would read or fill but that is not there.
bool missing(const void* buffer, std::uint32_t length) { return buffer == nullptr && length != 0; }

// A USB-only export: null record -2001, another interface -2004.
template <typename Body>
std::int32_t usbOnly(VKM470F_DEVICE* dev, Body body) noexcept {
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (!isUsb(dev)) return VKM470F_ERR_NOT_AVAILABLE;
  return guarded(VKM470F_ERR_NO_OBJECT, body);
}

// An export served on both sides: null record -2001, an interface it does
// not serve -2004.
template <typename UsbBody, typename LptBody>
std::int32_t eitherInterface(VKM470F_DEVICE* dev, std::int32_t lptFailureCode, UsbBody usbBody,
                             LptBody lptBody) noexcept {
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (isUsb(dev)) return guarded(VKM470F_ERR_NO_OBJECT, usbBody);
  if (isParallelPort(dev)) return guarded(lptFailureCode, lptBody);
  return VKM470F_ERR_NOT_AVAILABLE;
}

// A flash export, on either side, that refuses a missing buffer first.
template <typename UsbBody, typename LptBody>
std::int32_t flashExport(VKM470F_DEVICE* dev, const void* data, std::uint32_t length,
                         UsbBody usbBody, LptBody lptBody) noexcept {
  const bool refused = missing(data, length);
  return eitherInterface(
      dev, VKM470F_ERR_FLASH_FAILED,
      [&] { return refused ? std::int32_t{VKM470F_ERR_NO_OBJECT} : usbBody(); },
      [&] { return refused ? std::int32_t{VKM470F_ERR_NO_OBJECT} : lptBody(); });
}

// Releases both sides of the record, whatever interfaceType says.
void releaseAll(VKM470F_DEVICE* dev) {
  vkm470::api::usbClose(dev);
  vkm470::lpt::releaseCable(dev);
}

}  // namespace

extern "C" {

namespace usb = vkm470::usb;
namespace lpt = vkm470::lpt;
namespace api = vkm470::api;
namespace stream = vkm470::stream;

VKM470F_API(int32_t) VKM470F_CallApplication(VKM470F_DEVICE* dev, uint16_t startAddress) {
  return usbOnly(dev, [=] { return usb::callApplication(dev, startAddress); });
}

VKM470F_API(int32_t) VKM470F_CloseDevice(VKM470F_DEVICE* dev) {
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  return guarded(VKM470F_ERR_NO_OBJECT, [dev] {
    if (isUsb(dev)) return api::usbClose(dev);
    if (isParallelPort(dev)) return lpt::closeCable(dev);
    releaseAll(dev);
    return std::int32_t{VKM470F_SUCCESS};
  });
}

VKM470F_API(int32_t) VKM470F_CloseFullDevice(VKM470F_DEVICE* dev) {
  if (dev == nullptr) return VKM470F_SUCCESS;
  guarded(VKM470F_SUCCESS, [dev] {
    releaseAll(dev);
    return std::int32_t{VKM470F_SUCCESS};
  });
  return VKM470F_SUCCESS;
}

VKM470F_API(int32_t)
VKM470F_CreateBulkFIFO(VKM470F_DEVICE* dev, uint32_t readFifoSize, uint32_t writeFifoSize,
                       uint32_t readBlockCount, uint32_t writeBlockCount, uint32_t readBlockSize,
                       uint32_t writeBlockSize) {
  return usbOnly(dev, [=] {
    return stream::createBulkFifo(dev, readFifoSize, writeFifoSize, readBlockCount, writeBlockCount,
                                  readBlockSize, writeBlockSize);
  });
}

VKM470F_API(int32_t)
VKM470F_DSP_Read_Command(VKM470F_DEVICE* dev, uint16_t value, uint16_t index, uint8_t* buffer,
                         uint32_t length, uint32_t timeout) {
  return usbOnly(dev, [=] {
    if (missing(buffer, length)) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    return usb::dspCommand(dev, 1, value, index, buffer, length, timeout);
  });
}

VKM470F_API(int32_t)
VKM470F_DSP_Write_Command(VKM470F_DEVICE* dev, uint16_t value, uint16_t index,
                          const uint8_t* buffer, uint32_t length, uint32_t timeout) {
  return usbOnly(dev, [=] {
    if (missing(buffer, length)) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    // Direction 0: the driver only reads the data stage.
    return usb::dspCommand(dev, 0, value, index, const_cast<uint8_t*>(buffer), length, timeout);
  });
}

VKM470F_API(int32_t) VKM470F_DisposeBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, [dev] { return stream::disposeBulkFifo(dev); });
}

VKM470F_API(int32_t) VKM470F_FlushBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, [dev] { return stream::flushBulkFifo(dev); });
}

VKM470F_API(int32_t) VKM470F_GetBulkFIFOReadReady(VKM470F_DEVICE* dev, uint32_t* wordsReady) {
  return usbOnly(dev, [=] { return stream::getReadReady(dev, wordsReady); });
}

VKM470F_API(int32_t) VKM470F_GetBulkFIFOWriteFree(VKM470F_DEVICE* dev, uint32_t* wordsFree) {
  return usbOnly(dev, [=] { return stream::getWriteFree(dev, wordsFree); });
}

VKM470F_API(int32_t) VKM470F_GetDeviceDescr(VKM470F_DEVICE* dev, uint8_t* descriptor208) {
  return usbOnly(dev, [=] {
    if (descriptor208 == nullptr) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    return usb::getDeviceDescr(dev, descriptor208);
  });
}

VKM470F_API(int32_t) VKM470F_GetDeviceName(VKM470F_DEVICE* dev, char* name, uint16_t length) {
  return usbOnly(dev, [=] {
    if (missing(name, length)) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    return usb::getDeviceName(dev, name, length);
  });
}

VKM470F_API(int32_t) VKM470F_OpenDevice(VKM470F_DEVICE* dev, uint8_t deviceNumber) {
  return eitherInterface(
      dev, VKM470F_ERR_CABLE_OPEN, [=] { return api::usbOpen(dev, deviceNumber); },
      [dev] { return lpt::openCable(dev); });
}

VKM470F_API(int32_t)
VKM470F_ProgrammDSPFlash(VKM470F_DEVICE* dev, uint32_t address, const uint8_t* data,
                         uint32_t length, uint32_t timeout) {
  return flashExport(
      dev, data, length, [=] { return usb::programFlash(dev, address, data, length, timeout); },
      [=] { return lpt::programFlash(dev, address, data, length); });
}

VKM470F_API(int32_t)
VKM470F_ReadBulkFIFO(VKM470F_DEVICE* dev, uint16_t* buffer, uint32_t wordCount, uint32_t* wordsRead,
                     uint32_t timeout) {
  return usbOnly(dev,
                 [=] { return stream::readBulkFifo(dev, buffer, wordCount, wordsRead, timeout); });
}

VKM470F_API(int32_t)
VKM470F_ReadDSPFlash(VKM470F_DEVICE* dev, uint32_t address, uint8_t* data, uint32_t length,
                     uint32_t timeout) {
  return flashExport(
      dev, data, length, [=] { return usb::readFlash(dev, address, data, length, timeout); },
      [=] { return lpt::readFlash(dev, address, data, length); });
}

VKM470F_API(int32_t) VKM470F_ResetDSP(VKM470F_DEVICE* dev) {
  return eitherInterface(
      dev, VKM470F_ERR_CABLE_OPEN, [dev] { return usb::resetDsp(dev); },
      [dev] { return lpt::resetDsp(dev); });
}

VKM470F_API(int32_t) VKM470F_SearchDevices(VKM470F_DEVICE* dev, int16_t* list, int32_t count) {
  if (list != nullptr && count > 0) std::memset(list, 0, sizeof(int16_t) * std::size_t(count));
  return usbOnly(dev, [=] {
    if (count <= 0) return std::int32_t{0};
    if (list == nullptr) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    return api::usbSearch(list, count);
  });
}

VKM470F_API(int32_t)
VKM470F_SimpleControlQDevice(VKM470F_DEVICE* dev, QUSB_REQUEST* request, uint8_t* buffer,
                             uint32_t length, uint32_t timeout) {
  return usbOnly(dev, [=] {
    if (request == nullptr || missing(buffer, length)) return std::int32_t{VKM470F_ERR_NO_OBJECT};
    return usb::simpleControl(dev, request, buffer, length, timeout);
  });
}

VKM470F_API(int32_t)
VKM470F_SimpleReadBulk(VKM470F_DEVICE* dev, uint8_t* buffer, uint32_t length, uint32_t* bytesRead,
                       uint32_t timeout) {
  return usbOnly(dev, [=] {
    if (bytesRead == nullptr || missing(buffer, length)) {
      return std::int32_t{VKM470F_ERR_NO_OBJECT};
    }
    return usb::simpleReadBulk(dev, buffer, length, bytesRead, timeout);
  });
}

VKM470F_API(int32_t)
VKM470F_SimpleWriteBulk(VKM470F_DEVICE* dev, const uint8_t* buffer, uint32_t length,
                        uint32_t* bytesWritten, uint32_t timeout) {
  return usbOnly(dev, [=] {
    if (bytesWritten == nullptr || missing(buffer, length)) {
      return std::int32_t{VKM470F_ERR_NO_OBJECT};
    }
    return usb::simpleWriteBulk(dev, buffer, length, bytesWritten, timeout);
  });
}

VKM470F_API(int32_t)
VKM470F_SpecialDSPFlashCommand(VKM470F_DEVICE* dev, uint32_t command, uint8_t* data,
                               uint32_t length) {
  return eitherInterface(
      dev, VKM470F_ERR_FLASH_FAILED,
      [=] {
        if (missing(data, length)) return std::int32_t{VKM470F_ERR_NO_OBJECT};
        return usb::specialCommand(dev, command, data, length);
      },
      [=] { return lpt::specialCommand(dev, command, data); });
}

VKM470F_API(int32_t) VKM470F_StartBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, [dev] { return stream::startBulkFifo(dev); });
}

VKM470F_API(int32_t) VKM470F_StopBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, [dev] { return stream::stopBulkFifo(dev); });
}

VKM470F_API(int32_t)
VKM470F_WriteBulkFIFO(VKM470F_DEVICE* dev, const uint16_t* buffer, uint32_t wordCount,
                      uint32_t* wordsWritten, uint32_t timeout) {
  return usbOnly(
      dev, [=] { return stream::writeBulkFifo(dev, buffer, wordCount, wordsWritten, timeout); });
}

}  // extern "C"
