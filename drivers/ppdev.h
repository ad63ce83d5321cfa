// SPDX-License-Identifier: MIT
// User-space driver for real parallel ports on Linux: serves the cable
// device's three requests (port query, register write, batch) through ppdev.
#pragma once

#include <memory>
#include <string>

#include "hosted.h"

namespace vkm470::drivers {

// The system calls the driver makes, behind an interface so that tests can
// stand in for a port. Each returns a non-negative result, or -errno.
class PpdevSystem {
 public:
  virtual ~PpdevSystem() = default;
  virtual int open(const std::string& path) = 0;  // read-write; returns the descriptor
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual int close(int fd) = 0;
};

// The real calls.
std::shared_ptr<PpdevSystem> ppdevSystemCalls();

// Opens the ppdev character device at path and claims the port exclusively.
// Returns null with *error set when the device cannot be opened or claimed
// (a port that another process holds fails here): the seam's code for the
// system call's errno (os::hosted::errorFromErrno), so 2 for a missing
// device, 5 for no permission, 32 for a port in use.
// The device releases the port and closes it when destroyed.
std::unique_ptr<os::hosted::Device> openPpdev(const std::string& path, os::Dword* error);
std::unique_ptr<os::hosted::Device> openPpdev(const std::string& path, os::Dword* error,
                                              std::shared_ptr<PpdevSystem> system);

// Real parallel ports as a source of devices: a device-directory entry ALTLPTn
// that is a character device, and ALTLPTn with no entry as /dev/parport<n-1>
// when that exists.
std::shared_ptr<os::hosted::Resolver> ppdevResolver();

}  // namespace vkm470::drivers
