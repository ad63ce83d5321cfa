// The 25 exports: each tests the record's interface type first and dispatches
// to the USB side or the parallel-port branch. No exception leaves an export;
// a failure that throws (allocation included) becomes the export's status code.
#include <cstring>

#include "lpt/branch.h"
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

// The USB side is not built yet: a record never holds a channel, so every USB
// operation finds none.
std::int32_t usbUnavailable() { return VKM470F_ERR_NO_OBJECT; }

// Close of the USB side; the record never holds a channel yet.
std::int32_t usbClose(VKM470F_DEVICE* dev) {
  dev->applicationRunning = 0;
  return VKM470F_ERR_NO_OBJECT;
}

// A USB-only export: null record -2001, another interface -2004.
template <typename Body>
std::int32_t usbOnly(VKM470F_DEVICE* dev, Body body) noexcept {
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (!isUsb(dev)) return VKM470F_ERR_NOT_AVAILABLE;
  return guarded(VKM470F_ERR_NO_OBJECT, body);
}

// An export served on both sides: null record -2001, an interface it does
// not serve -2004.
template <typename LptBody>
std::int32_t eitherInterface(VKM470F_DEVICE* dev, std::int32_t lptFailureCode,
                             LptBody lptBody) noexcept {
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (isUsb(dev)) return guarded(VKM470F_ERR_NO_OBJECT, usbUnavailable);
  if (isParallelPort(dev)) return guarded(lptFailureCode, lptBody);
  return VKM470F_ERR_NOT_AVAILABLE;
}

}  // namespace

extern "C" {

VKM470F_API(int32_t) VKM470F_CallApplication(VKM470F_DEVICE* dev, uint16_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_CloseDevice(VKM470F_DEVICE* dev) {
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  return guarded(VKM470F_ERR_NO_OBJECT, [dev] {
    if (isUsb(dev)) return usbClose(dev);
    if (isParallelPort(dev)) return vkm470::lpt::closeCable(dev);
    usbClose(dev);
    vkm470::lpt::releaseCable(dev);
    return std::int32_t{VKM470F_SUCCESS};
  });
}

VKM470F_API(int32_t) VKM470F_CloseFullDevice(VKM470F_DEVICE* dev) {
  if (dev == nullptr) return VKM470F_SUCCESS;
  guarded(VKM470F_SUCCESS, [dev] {
    usbClose(dev);
    vkm470::lpt::releaseCable(dev);
    return std::int32_t{VKM470F_SUCCESS};
  });
  return VKM470F_SUCCESS;
}

VKM470F_API(int32_t)
VKM470F_CreateBulkFIFO(VKM470F_DEVICE* dev, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                       uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_DSP_Read_Command(VKM470F_DEVICE* dev, uint16_t, uint16_t, uint8_t*, uint32_t, uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_DSP_Write_Command(VKM470F_DEVICE* dev, uint16_t, uint16_t, const uint8_t*, uint32_t,
                          uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_DisposeBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_FlushBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_GetBulkFIFOReadReady(VKM470F_DEVICE* dev, uint32_t*) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_GetBulkFIFOWriteFree(VKM470F_DEVICE* dev, uint32_t*) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_GetDeviceDescr(VKM470F_DEVICE* dev, uint8_t*) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_GetDeviceName(VKM470F_DEVICE* dev, char*, uint16_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_OpenDevice(VKM470F_DEVICE* dev, uint8_t) {
  return eitherInterface(dev, VKM470F_ERR_CABLE_OPEN,
                         [dev] { return vkm470::lpt::openCable(dev); });
}

VKM470F_API(int32_t)
VKM470F_ProgrammDSPFlash(VKM470F_DEVICE* dev, uint32_t address, const uint8_t* data,
                         uint32_t length, uint32_t) {
  return eitherInterface(dev, VKM470F_ERR_FLASH_FAILED,
                         [=] { return vkm470::lpt::programFlash(dev, address, data, length); });
}

VKM470F_API(int32_t)
VKM470F_ReadBulkFIFO(VKM470F_DEVICE* dev, uint16_t*, uint32_t, uint32_t*, uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_ReadDSPFlash(VKM470F_DEVICE* dev, uint32_t address, uint8_t* data, uint32_t length,
                     uint32_t) {
  return eitherInterface(dev, VKM470F_ERR_FLASH_FAILED,
                         [=] { return vkm470::lpt::readFlash(dev, address, data, length); });
}

VKM470F_API(int32_t) VKM470F_ResetDSP(VKM470F_DEVICE* dev) {
  return eitherInterface(dev, VKM470F_ERR_CABLE_OPEN, [dev] { return vkm470::lpt::resetDsp(dev); });
}

VKM470F_API(int32_t) VKM470F_SearchDevices(VKM470F_DEVICE* dev, int16_t* list, int32_t count) {
  if (list != nullptr && count > 0) std::memset(list, 0, sizeof(int16_t) * std::size_t(count));
  if (dev == nullptr) return VKM470F_ERR_NO_OBJECT;
  if (!isUsb(dev)) return VKM470F_ERR_NOT_AVAILABLE;
  return guarded(VKM470F_ERR_NO_OBJECT, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_SimpleControlQDevice(VKM470F_DEVICE* dev, QUSB_REQUEST*, uint8_t*, uint32_t, uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_SimpleReadBulk(VKM470F_DEVICE* dev, uint8_t*, uint32_t, uint32_t*, uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_SimpleWriteBulk(VKM470F_DEVICE* dev, const uint8_t*, uint32_t, uint32_t*, uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_SpecialDSPFlashCommand(VKM470F_DEVICE* dev, uint32_t command, uint8_t* data, uint32_t) {
  return eitherInterface(dev, VKM470F_ERR_FLASH_FAILED,
                         [=] { return vkm470::lpt::specialCommand(dev, command, data); });
}

VKM470F_API(int32_t) VKM470F_StartBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t) VKM470F_StopBulkFIFO(VKM470F_DEVICE* dev) {
  return usbOnly(dev, usbUnavailable);
}

VKM470F_API(int32_t)
VKM470F_WriteBulkFIFO(VKM470F_DEVICE* dev, const uint16_t*, uint32_t, uint32_t*, uint32_t) {
  return usbOnly(dev, usbUnavailable);
}

}  // extern "C"
