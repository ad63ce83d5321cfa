// SPDX-License-Identifier: MIT
// The public header on its own, as a C++ program includes it: built once for
// each C++ standard with warnings as errors.
#include "vkm470fapi.h"

int vkm470_header_in_cxx();

int vkm470_header_in_cxx() {
  VKM470F_DEVICE dev = {nullptr, nullptr, nullptr, VKM470F_INTERFACE_USB, 0};
  QUSB_REQUEST request = {1, 0x0B, 0, 0};
  uint8_t name[8];
  int32_t status = VKM470F_SimpleControlQDevice(&dev, &request, name, sizeof name, 200);
  return VKM470F_StatusText(status)[0] + VKM470F_CloseFullDevice(&dev);
}
