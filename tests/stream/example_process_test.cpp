// SPDX-License-Identifier: MIT
// The loopback example as a user runs it: a separate process on a module
// image attached as QDev0 under a private device directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "process.h"

namespace vkm470::test {
namespace {

namespace fs = std::filesystem;

class LoopbackProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("vkm470-loopback-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    setenv("VKM470_DEVICES", (dir_ / "devices").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VKM470_DEVICES");
    fs::remove_all(dir_);
  }

  fs::path dir_;
};

TEST_F(LoopbackProcess, StreamsThroughAnAttachedModuleImage) {
  const std::string image = (dir_ / "module.img").string();
  ASSERT_EQ(run({VKM470SIM_PATH, "create", image}).status, 0);
  ASSERT_EQ(run({VKM470SIM_PATH, "attach", image}).status, 0);
  const Outcome r = run({LOOPBACK_PATH, "32"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("32 MiB looped back and checked in "), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST_F(LoopbackProcess, NamesAMissingModule) {
  const Outcome r = run({LOOPBACK_PATH, "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "loopback: no VKM470 module at QDev0\n");
}

// The module is there but another program holds it: not "no module".
TEST_F(LoopbackProcess, SaysAHeldModuleIsInUse) {
  const std::string image = (dir_ / "module.img").string();
  ASSERT_EQ(run({VKM470SIM_PATH, "create", image}).status, 0);
  ASSERT_EQ(run({VKM470SIM_PATH, "attach", image}).status, 0);
  Child holder({HOLD_DEVICE_PATH, "QDev0"});
  ASSERT_TRUE(holder.readUntil("held\n"));
  const Outcome r = run({LOOPBACK_PATH, "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "loopback: the module at QDev0 is in use by another program\n");
}

// A failure after the open names the call and the code's text: here the
// module stops answering after the search's and the open's name requests, so
// starting the application for the bulk FIFO times out.
TEST_F(LoopbackProcess, NamesTheFailedCallWithItsStatusText) {
  const std::string image = (dir_ / "module.img").string();
  ASSERT_EQ(run({VKM470SIM_PATH, "create", image}).status, 0);
  ASSERT_EQ(run({VKM470SIM_PATH, "attach", image}).status, 0);
  ASSERT_EQ(run({VKM470SIM_PATH, "fault", image, "--usb", "fail", "--after", "2"}).status, 0);
  const Outcome r = run({LOOPBACK_PATH, "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "loopback: starting the bulk FIFO failed: request refused by the driver (-1009)\n");
}

// Only a positive decimal number of MiB is taken; anything else is refused
// before a module is looked for (none is attached here).
TEST_F(LoopbackProcess, RefusesAnythingButAPositiveDecimalSize) {
  for (const char* size : {"-1", "0", "", "+4", " 4", "4 ", "4x", "0x10", "1.5", "1e3",
                           "18446744073709551616", "17592186044416"}) {
    SCOPED_TRACE(std::string("size '") + size + "'");
    const Outcome r = run({LOOPBACK_PATH, size});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, std::string("loopback: ") + size +
                         " is not a size: give a positive decimal number of MiB\n"
                         "usage: loopback [MiB]\n");
  }
  const Outcome r = run({LOOPBACK_PATH, "1", "2"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "usage: loopback [MiB]\n");
}

}  // namespace
}  // namespace vkm470::test
