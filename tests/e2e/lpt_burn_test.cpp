// SPDX-License-Identifier: MIT
// The burner, the library and a virtual module in one process: the cable
// model stands on ALTLPT1 and the seam's clock is virtual, so every sleep and
// the chip's busy times cost no real time.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "burn_fixture.h"
#include "cable.h"

namespace vkm470::e2e {
namespace {

using sim::Cable;
using sim::DataFlash;
namespace hosted = os::hosted;

class LptBurn : public BurnFixture {
 protected:
  void SetUp() override {
    BurnFixture::SetUp();
    attachNewModule();
  }

  void TearDown() override {
    hosted::unregisterDevice("ALTLPT1");
    BurnFixture::TearDown();
  }

  // A module in factory state on ALTLPT1, replacing the one there.
  void attachNewModule() {
    chip_ = std::make_shared<DataFlash>();
    cable_ = std::make_shared<Cable>(chip_);
    hosted::registerDevice("ALTLPT1", cable_);
  }

  std::shared_ptr<Cable> cable_;
};

TEST_F(LptBurn, PageSizeWriteVerifyAndSerialNumberReachTheFlash) {
  Outcome r = burn({"-i", "LPT1", "-t"});
  EXPECT_EQ(r.out, "Setting FLASH page size.OK\n");
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(chip_->pageMode(), sim::PageMode::Binary);

  std::string boot = image("boot.bin", 40000, 1);
  std::string app = image("app.bin", 70001, 2);
  std::string pga = image("pga.bin", 1000, 3);
  r = burn({"-i", "LPT1", "-w", "-v", "-b", boot, "-a", app, "-p", pga});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Writing and verifying boot program..\nwrote 40000 bytes\nverify OK\n"
            "Writing and verifying application program...\nwrote 70001 bytes\nverify OK\n"
            "Writing and verifying PGA broaching.\nwrote 1000 bytes\nverify OK\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(flash(0x000000, 40000), images_[boot]);
  EXPECT_EQ(flash(0x020200, 70001), images_[app]);
  EXPECT_EQ(flash(0x1E7008, 1000), images_[pga]);
  EXPECT_EQ(flash(0x1E7000, 8), pgaHeader(images_[pga]));
  // Bytes around the images keep their erased state.
  EXPECT_EQ(flash(40000, 1)[0], 0xFF);
  EXPECT_EQ(flash(0x020200 + 70001, 1)[0], 0xFF);

  serialNumberRoundTrip("LPT1", app);
}

// The burner's output and the flash are the same with fast writes chosen.
TEST_F(LptBurn, FastWritesBurnTheSameImages) {
  setenv("VKM470_LPT_FAST", "1", 1);
  chip_->forcePageMode(sim::PageMode::Binary);
  std::string boot = image("boot.bin", 33000, 6);
  std::string app = image("app.bin", 9999, 7);
  std::string pga = image("pga.bin", 777, 8);
  Outcome r = burn({"-i", "LPT1", "-w", "-v", "-b", boot, "-a", app, "-p", pga});
  unsetenv("VKM470_LPT_FAST");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Writing and verifying boot program..\nwrote 33000 bytes\nverify OK\n"
            "Writing and verifying application program.\nwrote 9999 bytes\nverify OK\n"
            "Writing and verifying PGA broaching.\nwrote 777 bytes\nverify OK\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(flash(0x000000, 33000), images_[boot]);
  EXPECT_EQ(flash(0x020200, 9999), images_[app]);
  EXPECT_EQ(flash(0x1E7000, 8), pgaHeader(images_[pga]));
  EXPECT_EQ(flash(0x1E7008, 777), images_[pga]);
  EXPECT_EQ(flash(33000, 1)[0], 0xFF);
  EXPECT_EQ(flash(0x020200 + 9999, 1)[0], 0xFF);
}

TEST_F(LptBurn, FlippedBitFailsVerify) {
  chip_->forcePageMode(sim::PageMode::Binary);
  std::string app = image("app.bin", 10000, 4);
  chip_->flipOnRead(0x020200 + 5000, 0x10);
  Outcome r = burn({"-i", "LPT1", "-w", "-v", "-a", app});
  EXPECT_EQ(r.out, "Writing and verifying application program.\n");
  EXPECT_EQ(r.err, "verifing error\n");
  EXPECT_EQ(r.status, 3);
}

TEST_F(LptBurn, BusyChipFailsAfterFiveSecondsOfVirtualTime) {
  chip_->forcePageMode(sim::PageMode::Binary);
  chip_->setStuckBusy(true);
  std::string boot = image("boot.bin", 512, 5);
  os::Dword start = os::GetTickCount();
  Outcome r = burn({"-i", "LPT1", "-w", "-b", boot});
  os::Dword elapsed = os::GetTickCount() - start;
  EXPECT_EQ(r.out, "Writing boot program.\n");
  EXPECT_EQ(r.err, "error program FLASH\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_GE(elapsed, 5000u);
  EXPECT_LT(elapsed, 5200u);
}

// A status byte that could not be read is not "ready": a program call goes on
// polling past a failed read, and fails when the chip never answers ready.
TEST_F(LptBurn, FailedStatusReadDuringProgramIsNotReady) {
  struct Case {
    const char* what;
    std::uint64_t failures;
    bool stuckBusy;
    std::int32_t result;
  };
  const Case cases[] = {
      {"one failed status read, then the port answers", 1, false, VKM470F_SUCCESS},
      {"every status read fails, the chip stays busy", ~std::uint64_t{0}, true,
       VKM470F_ERR_FLASH_FAILED},
  };
  std::vector<std::uint8_t> data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 13 + 1);
  for (const Case& c : cases) {
    attachNewModule();
    chip_->forcePageMode(sim::PageMode::Binary);
    chip_->setStuckBusy(c.stuckBusy);
    cable_->failResponses(c.failures);
    VKM470F_DEVICE dev{};
    dev.interfaceType = VKM470F_INTERFACE_LPT1;
    std::int32_t result =
        VKM470F_ProgrammDSPFlash(&dev, 0x1000, data.data(), std::uint32_t(data.size()), 1000);
    EXPECT_EQ(result, c.result) << c.what;
    if (!c.stuckBusy) {
      EXPECT_EQ(flash(0x1000, data.size()), data) << c.what;
    }
  }
}

TEST_F(LptBurn, MissingOrSilentCableFailsEveryOperation) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"write", {"-i", "LPT1", "-w", "-a", "x.bin"}, 3, "", ""},
      {"page size",
       {"-i", "LPT1", "-t"},
       3,
       "Setting FLASH page size.",
       "error setting FLASH page size\n"},
      {"read serial", {"-i", "LPT1", "-n"}, 3, "Reading serial.error\n", ""},
      {"write serial", {"-i", "LPT1", "-n", "7"}, 3, "Writing serial.error\n", ""},
      {"other port", {"-i", "LPT2", "-n"}, 3, "Reading serial.error\n", ""},
  };
  for (Cable::Presence presence :
       {Cable::Presence::QueryFails, Cable::Presence::QueryAnswersZero}) {
    cable_->setPresence(presence);
    for (const Case& c : cases) {
      Outcome r = burn(c.args);
      EXPECT_EQ(r.status, c.status) << c.what;
      EXPECT_EQ(r.out, c.out) << c.what;
      EXPECT_EQ(r.err, c.err) << c.what;
    }
  }
  EXPECT_EQ(chip_->pageMode(), sim::PageMode::Standard);
}

}  // namespace
}  // namespace vkm470::e2e
