// SPDX-License-Identifier: MIT
// The USB tests run on the virtual clock, so a time-out costs nothing, with a
// scripted module registered as QDev0 and a USB record ready to open it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fake_usb.h"
#include "hosted.h"
#include "vkm470fapi.h"

namespace usbtest {

// The request that starts the application.
const std::string kEnter = "0F 0 0000 0000 0";

class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vkm470::os::hosted::setVirtualClock(true);
    vkm470::os::hosted::registerDevice("QDev0", module);
    dev.interfaceType = VKM470F_INTERFACE_USB;
  }

  void TearDown() override {
    VKM470F_CloseFullDevice(&dev);
    for (int n = 0; n < 8; ++n) vkm470::os::hosted::unregisterDevice("QDev" + std::to_string(n));
    vkm470::os::hosted::setVirtualClock(false);
  }

  // A further module under QDev<n>.
  std::shared_ptr<FakeUsb> addModule(int n) {
    auto other = std::make_shared<FakeUsb>();
    vkm470::os::hosted::registerDevice("QDev" + std::to_string(n), other);
    return other;
  }

  // Opens the record on QDev0 (the application started) and forgets the
  // open's requests.
  void openModule() {
    ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
    ASSERT_EQ(dev.applicationRunning, 1);
    module->sent.clear();
  }

  std::shared_ptr<FakeUsb> module = std::make_shared<FakeUsb>();
  VKM470F_DEVICE dev{};
};

}  // namespace usbtest
