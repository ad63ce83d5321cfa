// SPDX-License-Identifier: MIT
// Every parallel-port test runs on the virtual clock with a recording cable
// registered as ALTLPT1, and a bystander registered as the system's LPT1 to
// show that the library leaves it alone.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fake_cable.h"
#include "hosted.h"
#include "vkm470fapi.h"

namespace lpttest {

// The port driver's requests: one write, and a batch of them.
constexpr vkm470::os::Dword kWrite = 0x0016AA08;
constexpr vkm470::os::Dword kBatch = 0x0016AA1C;

// Bytes that show where each one landed.
inline std::vector<std::uint8_t> pattern(std::size_t length) {
  std::vector<std::uint8_t> data(length);
  for (std::size_t i = 0; i < length; ++i) data[i] = std::uint8_t(i * 13 + 5);
  return data;
}

// The bytes of every buffer write, either buffer, in order, after their four
// header bytes.
inline std::vector<std::uint8_t> bufferData(const FakeCable& cable) {
  std::vector<std::uint8_t> data;
  for (const Window& w : cable.windows) {
    if (!w.out.empty() && (w.out[0] == 0x84 || w.out[0] == 0x87))
      data.insert(data.end(), w.out.begin() + 4, w.out.end());
  }
  return data;
}

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
