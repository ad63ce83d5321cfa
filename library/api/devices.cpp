// SPDX-License-Identifier: MIT
#include "api/devices.h"

#include <cstring>
#include <memory>
#include <new>

#include "stream/streaming.h"
#include "usb/module.h"

namespace vkm470::api {

namespace {

using usb::TQUSB_BASE;

constexpr std::uint32_t kOpenNameBytes = 16;
constexpr std::uint32_t kSearchNameBytes = 8;
constexpr char kModuleName[] = "VKM470";  // compared with its terminator

// What a search reports for one device number.
constexpr std::int16_t kNothingOpened = -1;
constexpr std::int16_t kOtherDevice = 0;
constexpr std::int16_t kModule = 1;

}  // namespace

std::int32_t usbOpen(VKM470F_DEVICE* dev, std::uint8_t deviceNumber) {
  usbClose(dev);
  auto channel = std::unique_ptr<TQUSB_BASE>(new (std::nothrow) TQUSB_BASE);
  if (!channel) return VKM470F_ERR_NO_OBJECT;
  dev->bulkFifo = nullptr;
  dev->channel = nullptr;
  dev->applicationRunning = 0;
  if (!channel->Open(deviceNumber)) {
    const std::int32_t status = channel->lastError;
    channel->Close();
    return status;
  }
  // The name is not used; the module answers it whichever program runs.
  char name[kOpenNameBytes];
  channel->GetName(name, sizeof name);
  dev->channel = channel.release();
  // A failure leaves applicationRunning 0: the next operation that needs the
  // application starts it.
  usb::EnsureApplication(dev);
  return VKM470F_SUCCESS;
}

std::int32_t usbClose(VKM470F_DEVICE* dev) {
  TQUSB_BASE* channel = usb::channelOf(dev);
  if (channel == nullptr) {
    dev->applicationRunning = 0;
    return VKM470F_ERR_NO_OBJECT;
  }
  // The workers run on the channel's handle: they end before it closes.
  stream::destroyBulkFifo(dev);
  const std::int32_t status = channel->Close() ? VKM470F_SUCCESS : channel->lastError.load();
  delete channel;
  dev->channel = nullptr;
  dev->applicationRunning = 0;
  return status;
}

std::int32_t usbSearch(std::int16_t* list, std::int32_t count) {
  auto channel = std::unique_ptr<TQUSB_BASE>(new (std::nothrow) TQUSB_BASE);
  if (!channel) return VKM470F_ERR_NO_OBJECT;
  std::int32_t found = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    list[i] = kNothingOpened;
    if (!channel->Open(std::uint8_t(i))) continue;
    ++found;
    std::uint32_t type = 0;
    if (!channel->GetModuleType(&type) || type != usb::kModuleTypeVkm470) {
      list[i] = kOtherDevice;
    } else {
      char name[kSearchNameBytes];
      if (channel->GetName(name, sizeof name)) {
        list[i] = std::memcmp(name, kModuleName, sizeof kModuleName) == 0 ? kModule : kOtherDevice;
      }
    }
    channel->Close();
  }
  return found;
}

}  // namespace vkm470::api
