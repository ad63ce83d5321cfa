// SPDX-License-Identifier: MIT
// The library's composition root on Windows: the source of devices that the
// Windows builds add to the system's, registered when the library loads: a
// module on USB without its original kernel driver, reached through WinUSB
// under the name QDevN that the driver would have given it.
#include "drivers/usbdev_winusb.h"
#include "os/win32.h"

namespace {

const bool wired = [] {
  vkm470::os::win32::setDeviceOpener(vkm470::drivers::winusbOpener());
  return true;
}();

}  // namespace
