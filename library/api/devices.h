// SPDX-License-Identifier: MIT
// Opening, closing and searching for USB modules on a record; the close paths
// release whatever the record holds.
#pragma once

#include <cstdint>

#include "vkm470fapi.h"

namespace vkm470::api {

// VKM470F_OpenDevice over USB: closes what the record holds on the USB side,
// opens "\\.\QDev<n>" and starts the module's application.
std::int32_t usbOpen(VKM470F_DEVICE* dev, std::uint8_t deviceNumber);
// The USB close: -2001 when no channel is held; else destroys the bulk FIFO,
// then closes the handle and returns its close result.
std::int32_t usbClose(VKM470F_DEVICE* dev);
// VKM470F_SearchDevices over USB, the list already cleared.
std::int32_t usbSearch(std::int16_t* list, std::int32_t count);

}  // namespace vkm470::api
