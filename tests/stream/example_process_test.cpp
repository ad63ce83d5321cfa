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

}  // namespace
}  // namespace vkm470::test
