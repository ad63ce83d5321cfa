// SPDX-License-Identifier: MIT
// The library's composition root where it runs on the hosted seam: registers,
// when the library loads, the sources of devices it serves there: real
// parallel ports through ppdev, real modules on USB through libusb, and
// virtual modules in module image files. It lives outside library/, which
// knows the seam's interface and no driver.
#include "drivers/ppdev.h"
#include "drivers/usbdev.h"
#include "os/hosted.h"
#include "sim/module.h"

namespace {

const bool wired = [] {
  vkm470::os::hosted::registerResolver(vkm470::drivers::ppdevResolver());
  vkm470::os::hosted::registerResolver(vkm470::drivers::usbResolver());
  vkm470::os::hosted::registerResolver(vkm470::sim::imageResolver());
  return true;
}();

}  // namespace
