// SPDX-License-Identifier: MIT
// The hosted backend's side of the device namespace (device_namespace.cpp):
// what CreateFile asks of it. Drivers and tools use hosted.h.
#pragma once

#include <memory>
#include <string>

#include "hosted.h"

namespace vkm470::os::hosted {

// Resolves NAME of a path "\\.\NAME" as hosted.h describes: a registered
// driver, an entry of the device directory, or a resolver that serves the
// name. Null with *error set when nothing opens it.
std::unique_ptr<Device> openDevice(const std::string& name, Dword access, Dword share,
                                   Dword* error);

}  // namespace vkm470::os::hosted
