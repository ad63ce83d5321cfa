// Every parallel-port test runs on the virtual clock with a recording cable
// registered as ALTLPT1, and a bystander registered as the system's LPT1 to
// show that the library leaves it alone.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "fake_cable.h"
#include "hosted.h"
#include "vkm470fapi.h"

namespace lpttest {

class LptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vkm470::os::hosted::setVirtualClock(true);
    vkm470::os::hosted::registerDevice("ALTLPT1", cable);
    vkm470::os::hosted::registerDevice("LPT1", systemPort);
    dev.interfaceType = VKM470F_INTERFACE_LPT1;
  }

  void TearDown() override {
    for (const char* name : {"ALTLPT1", "ALTLPT2", "ALTLPT3", "LPT1"}) {
      vkm470::os::hosted::unregisterDevice(name);
    }
    vkm470::os::hosted::setVirtualClock(false);
    EXPECT_EQ(systemPort->opens, 0);
  }

  std::shared_ptr<FakeCable> cable = std::make_shared<FakeCable>();
  std::shared_ptr<FakeCable> systemPort = std::make_shared<FakeCable>();
  VKM470F_DEVICE dev{};
};

}  // namespace lpttest
