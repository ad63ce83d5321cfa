// User-space driver for real parallel ports on Linux: serves the cable
// device's three requests (port query, register write, batch) through ppdev.
#pragma once

#include <memory>
#include <string>

#include "hosted.h"

namespace vkm470::drivers {

// Opens the ppdev character device at path and claims the port exclusively.
// Returns null with *error set when the device cannot be opened or claimed
// (a port that another process holds fails here).
std::unique_ptr<os::hosted::Device> openPpdev(const std::string& path, os::Dword* error);

}  // namespace vkm470::drivers
