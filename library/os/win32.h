// SPDX-License-Identifier: MIT
// The win32 backend's one addition to the platform: device names the system
// has no device for may be served in-process by a driver written against the
// seam's driver contracts (hosted.h: Device and Request), with the platform's
// semantics for overlapped requests, their events and cancelling. Windows
// builds serve a module without its original kernel driver this way.
//
// A name the system opens, or refuses for another reason than its absence
// (held, forbidden), stays the system's: the opener is asked only when
// CreateFile finds no such device.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "hosted.h"

namespace vkm470::os::win32 {

// Asked for the name after "\\.\". Returns false when it does not serve the
// name (the open then fails as the system said); true when it served it, with
// *device the open device, or null and *error set (the open's GetLastError).
using DeviceOpener = std::function<bool(const std::string& name, Dword access, Dword share,
                                        std::unique_ptr<hosted::Device>* device, Dword* error)>;

// Replaces the opener; an empty one serves nothing. Open handles keep their
// devices.
void setDeviceOpener(DeviceOpener opener);

}  // namespace vkm470::os::win32
