// SPDX-License-Identifier: MIT
// Both sides of one module image open at once in one process, reached through
// the library's exports as an application reaches them: what one side
// programs the other reads, and the image file holds it. The seam's clock is
// virtual, so the parallel port's sleeps and the chip's busy times cost no
// real time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "hosted.h"
#include "image.h"
#include "module.h"
#include "vkm470fapi.h"

namespace vkm470::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 509);
  return bytes;
}

class ModuleViews : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vkm470-views-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_ / "devices");
    image_ = (dir_ / "module.img").string();
    sim::ModuleImage::create(image_, false);
    fs::create_symlink(image_, dir_ / "devices" / "QDev0");
    fs::create_symlink(image_, dir_ / "devices" / "ALTLPT1");
    setenv("VKM470_DEVICES", (dir_ / "devices").c_str(), 1);
    os::hosted::registerResolver(resolver_);
    os::hosted::setVirtualClock(true);
    usb_.interfaceType = VKM470F_INTERFACE_USB;
    lpt_.interfaceType = VKM470F_INTERFACE_LPT1;
  }
  void TearDown() override {
    VKM470F_CloseFullDevice(&usb_);
    os::hosted::setVirtualClock(false);
    os::hosted::unregisterResolver(resolver_);
    unsetenv("VKM470_DEVICES");
    fs::remove_all(dir_);
  }

  Bytes read(VKM470F_DEVICE* dev, std::uint32_t address, std::size_t n) {
    Bytes bytes(n);
    EXPECT_EQ(VKM470F_ReadDSPFlash(dev, address, bytes.data(), std::uint32_t(n), 1000), 0);
    return bytes;
  }

  std::shared_ptr<os::hosted::Resolver> resolver_ = sim::imageResolver();
  fs::path dir_;
  std::string image_;
  VKM470F_DEVICE usb_{};
  VKM470F_DEVICE lpt_{};
};

TEST_F(ModuleViews, UsbAndCableAtOnceSeeOneChip) {
  ASSERT_EQ(VKM470F_OpenDevice(&usb_, 0), 0);
  // The cable opens while the USB side is held open.
  ASSERT_EQ(VKM470F_SpecialDSPFlashCommand(&lpt_, 1, nullptr, 0), 0);

  const Bytes app = pattern(3000, 1);
  ASSERT_EQ(VKM470F_ProgrammDSPFlash(&usb_, 0x020200, app.data(), 3000, 1000), 0);
  EXPECT_EQ(read(&lpt_, 0x020200, 3000), app);
  const Bytes boot = pattern(1500, 2);
  ASSERT_EQ(VKM470F_ProgrammDSPFlash(&lpt_, 0x000100, boot.data(), 1500, 1000), 0);
  EXPECT_EQ(read(&usb_, 0x000100, 1500), boot);

  const sim::ModuleImage file(image_, sim::ModuleImage::Access::ReadOnly);
  EXPECT_EQ(file.pageMode(), sim::PageMode::Binary);
  Bytes inFile(3000);
  for (std::uint32_t i = 0; i < 3000; ++i) inFile[i] = file.at(0x020200 + i);
  EXPECT_EQ(inFile, app);
}

TEST_F(ModuleViews, AHeldSideIsNotFoundAgain) {
  ASSERT_EQ(VKM470F_OpenDevice(&usb_, 0), 0);
  VKM470F_DEVICE other{};
  other.interfaceType = VKM470F_INTERFACE_USB;
  EXPECT_NE(VKM470F_OpenDevice(&other, 0), 0);
  std::int16_t list[2] = {7, 7};
  EXPECT_EQ(VKM470F_SearchDevices(&other, list, 2), 0);
  EXPECT_EQ(list[0], -1);
  EXPECT_EQ(list[1], -1);

  EXPECT_EQ(VKM470F_CloseDevice(&usb_), 0);
  EXPECT_EQ(VKM470F_SearchDevices(&other, list, 2), 1);
  EXPECT_EQ(list[0], 1);
  EXPECT_EQ(list[1], -1);
}

}  // namespace
}  // namespace vkm470::test
