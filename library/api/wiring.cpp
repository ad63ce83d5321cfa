// The sources of devices that the library serves where it runs on the hosted
// seam, registered when the library loads: real parallel ports through ppdev,
// real modules on USB through libusb, and virtual modules in module image
// files.
#include "hosted.h"
#include "module.h"
#include "ppdev.h"
#include "usbdev.h"

namespace {

const bool wired = [] {
  vkm470::os::hosted::registerResolver(vkm470::drivers::ppdevResolver());
  vkm470::os::hosted::registerResolver(vkm470::drivers::usbResolver());
  vkm470::os::hosted::registerResolver(vkm470::sim::imageResolver());
  return true;
}();

}  // namespace
