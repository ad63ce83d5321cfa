// SPDX-License-Identifier: MIT
// The burner and the library against the virtual module on USB: the firmware
// model stands on QDev0 and carries out the flash requests on its chip.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "burn_fixture.h"
#include "usb_module.h"

namespace vkm470::e2e {
namespace {

using sim::UsbModule;
namespace hosted = os::hosted;

class UsbBurn : public BurnFixture {
 protected:
  void SetUp() override {
    BurnFixture::SetUp();
    chip_->forcePageMode(sim::PageMode::Binary);
    module_ = std::make_shared<UsbModule>(chip_);
    hosted::registerDevice("QDev0", module_);
  }

  void TearDown() override {
    hosted::unregisterDevice("QDev0");
    BurnFixture::TearDown();
  }

  std::shared_ptr<UsbModule> module_;
};

TEST_F(UsbBurn, WriteVerifyAndSerialNumberReachTheFlash) {
  std::string app = image("app.bin", 70001, 2);
  std::string pga = image("pga.bin", 5000, 3);
  Outcome r = burn({"-i", "USB", "-w", "-v", "-a", app, "-p", pga});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Writing and verifying application program...\nwrote 70001 bytes\nverify OK\n"
            "Writing and verifying PGA broaching.\nwrote 5000 bytes\nverify OK\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(flash(0x020200, 70001), images_[app]);
  EXPECT_EQ(flash(0x1E7000, 8), pgaHeader(images_[pga]));
  EXPECT_EQ(flash(0x1E7008, 5000), images_[pga]);
  EXPECT_EQ(flash(0x020200 + 70001, 1)[0], 0xFF);
  EXPECT_EQ(flash(0x020200 - 1, 1)[0], 0xFF);
  // The application ran the flash requests.
  EXPECT_EQ(module_->startAddress(), 0);

  serialNumberRoundTrip("USB", app);
}

TEST_F(UsbBurn, SearchTellsModulesFromOtherDevicesAndHeldOnes) {
  auto other = std::make_shared<UsbModule>(std::make_shared<sim::DataFlash>(), 7);
  auto held = std::make_shared<UsbModule>(std::make_shared<sim::DataFlash>());
  hosted::registerDevice("QDev1", other);
  hosted::registerDevice("QDev3", held);
  VKM470F_DEVICE holder{};
  holder.interfaceType = VKM470F_INTERFACE_USB;
  ASSERT_EQ(VKM470F_OpenDevice(&holder, 3), VKM470F_SUCCESS);

  // A burn just before leaves the module in its application: the search's
  // name request is answered all the same.
  ASSERT_EQ(burn({"-i", "USB", "-n", "7"}).status, 0);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_USB;
  std::int16_t list[5];
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 5), 2);
  EXPECT_EQ(std::vector<std::int16_t>(list, list + 5),
            (std::vector<std::int16_t>{1, 0, -1, -1, -1}));
  EXPECT_EQ(dev.channel, nullptr);

  EXPECT_EQ(VKM470F_CloseDevice(&holder), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 5), 3);
  EXPECT_EQ(list[3], 1);
  hosted::unregisterDevice("QDev1");
  hosted::unregisterDevice("QDev3");
}

// A module that stops answering fails the burn with the documented line once
// the request's time-out has passed; nothing waits longer.
TEST_F(UsbBurn, ModuleThatStopsAnsweringFailsWithinTheTimeOut) {
  struct Case {
    const char* what;
    UsbModule::Fault fault;
    std::vector<std::string> args;
    const char* out;
    const char* err;
    os::Dword longest;
  };
  std::string app = image("app.bin", 10000, 4);
  const Case cases[] = {
      {"write times out",
       UsbModule::Fault::TimeOut,
       {"-i", "USB", "-w", "-a", app},
       "Writing application program.\n",
       "error program FLASH\n",
       1000},
      {"write fails at once",
       UsbModule::Fault::FailAtOnce,
       {"-i", "USB", "-w", "-a", app},
       "Writing application program.\n",
       "error program FLASH\n",
       0},
      {"read-back short",
       UsbModule::Fault::ShortAnswer,
       {"-i", "USB", "-n"},
       "Reading serial.error\n",
       "",
       0},
      {"module unplugged",
       UsbModule::Fault::Unplugged,
       {"-i", "USB", "-n", "5"},
       "Writing serial.error\n",
       "",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The open's name and call-application requests are answered.
    module_->setFault(c.fault, 2);
    const os::Dword start = os::GetTickCount();
    Outcome r = burn(c.args);
    const os::Dword elapsed = os::GetTickCount() - start;
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_GE(elapsed, c.longest);
    EXPECT_LE(elapsed, c.longest + 100);
    module_->setFault(UsbModule::Fault::None);
  }
  EXPECT_EQ(flash(0x020200, 4096), std::vector<std::uint8_t>(4096, 0xFF));
}

}  // namespace
}  // namespace vkm470::e2e
