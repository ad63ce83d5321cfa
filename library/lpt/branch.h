// SPDX-License-Identifier: MIT
// The parallel-port branch of the device exports (interface types 3 to 5):
// every call but open and close opens the cable afresh and closes it again
// before returning, so the record holds a cable only between an open and the
// next call.
#pragma once

#include <cstdint>

#include "vkm470fapi.h"

namespace vkm470::lpt {

// Interface types 3 to 5: parallel ports 1 to 3.
bool isParallelPort(const VKM470F_DEVICE* dev);

// VKM470F_OpenDevice: opens the cable on port interfaceType - 2 into dev->cable.
std::int32_t openCable(VKM470F_DEVICE* dev);
// VKM470F_CloseDevice: -2001 when no cable is held.
std::int32_t closeCable(VKM470F_DEVICE* dev);
// The close paths' cable release: closes and frees dev->cable if it is held.
void releaseCable(VKM470F_DEVICE* dev);

// A range that runs past 0x1FFFFF once address bits 24-31 are dropped is
// refused with -2003 without opening the cable (one held since an open is
// closed, as any flash call closes it).
std::int32_t programFlash(VKM470F_DEVICE* dev, std::uint32_t address, const std::uint8_t* data,
                          std::uint32_t length);
std::int32_t readFlash(VKM470F_DEVICE* dev, std::uint32_t address, std::uint8_t* data,
                       std::uint32_t length);
// Command 1 sets binary pages; command 2 fills the 8-byte information block.
std::int32_t specialCommand(VKM470F_DEVICE* dev, std::uint32_t command, std::uint8_t* data);
std::int32_t resetDsp(VKM470F_DEVICE* dev);

}  // namespace vkm470::lpt
