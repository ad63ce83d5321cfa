// The source of devices that the Windows builds add to the system's: a module
// on USB without its original kernel driver, reached through WinUSB under the
// name QDevN that the driver would have given it. Registered when the library
// loads.
#include "usbdev_winusb.h"

namespace {

const bool wired = [] {
  vkm470::os::win32::setDeviceOpener(vkm470::drivers::winusbOpener());
  return true;
}();

}  // namespace
