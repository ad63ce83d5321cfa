// SPDX-License-Identifier: MIT
// The loopback example, compiled in with its main renamed, against the
// virtual module registered as QDev0.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dataflash.h"
#include "hosted.h"
#include "usb_module.h"

extern "C" int loopback_main(int argc, char** argv);

namespace {

namespace hosted = vkm470::os::hosted;
using vkm470::sim::DataFlash;
using vkm470::sim::UsbModule;

class LoopbackExample : public ::testing::Test {
 protected:
  void SetUp() override { hosted::registerDevice("QDev0", module); }
  void TearDown() override { hosted::unregisterDevice("QDev0"); }

  int run(std::string mib) {
    std::string name = "loopback";
    char* argv[] = {name.data(), mib.data(), nullptr};
    return loopback_main(2, argv);
  }

  std::shared_ptr<UsbModule> module = std::make_shared<UsbModule>(std::make_shared<DataFlash>());
};

TEST_F(LoopbackExample, StreamsAndChecksEveryWordThenPrintsTheRate) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(run("16"), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("16 MiB looped back and checked"), std::string::npos) << out;
  EXPECT_NE(out.find("MB/s"), std::string::npos) << out;
  // Started and stopped: one stream request each.
  EXPECT_EQ(module->streamRequests(), 2u);
}

TEST_F(LoopbackExample, NamesAMissingModule) {
  hosted::unregisterDevice("QDev0");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run("1"), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "loopback: no VKM470 module at QDev0\n");
}

}  // namespace
