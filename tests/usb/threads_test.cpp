// SPDX-License-Identifier: MIT
// Several threads on one open record, as the exports allow: each call's status
// is its own, whatever the other threads' transfers do to the channel in the
// meantime. Against the virtual module, which refuses every flash transfer
// past the end of its flash at once and answers every DSP command.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "dataflash.h"
#include "hosted.h"
#include "usb_module.h"
#include "vkm470fapi.h"

namespace usbtest {
namespace {

namespace hosted = vkm470::os::hosted;

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VKM470_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VKM470_TSAN 1
#endif

// A fixed number of calls on each thread: enough that a status taken from
// another thread's transfer shows in nearly every run on two cores. Under
// ThreadSanitizer, which reports such an access by itself and makes each call
// many times slower, fewer do.
#if defined(VKM470_TSAN)
constexpr int kCalls = 10000;
#else
constexpr int kCalls = 100000;
#endif

struct FailingCall {
  const char* name;
  std::function<std::int32_t(VKM470F_DEVICE*, std::vector<std::uint8_t>&)> call;
  friend void PrintTo(const FailingCall& c, std::ostream* os) { *os << c.name; }
};

class SharedRecordTest : public ::testing::TestWithParam<FailingCall> {
 protected:
  void SetUp() override {
    hosted::registerDevice("QDev0", module);
    dev.interfaceType = VKM470F_INTERFACE_USB;
    ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  }
  void TearDown() override {
    VKM470F_CloseFullDevice(&dev);
    hosted::unregisterDevice("QDev0");
  }

  std::shared_ptr<vkm470::sim::UsbModule> module =
      std::make_shared<vkm470::sim::UsbModule>(std::make_shared<vkm470::sim::DataFlash>());
  VKM470F_DEVICE dev{};
};

TEST_P(SharedRecordTest, FailedCallFailsWhileAnotherThreadSendsDspCommands) {
  int commandFailures = 0;
  std::thread commands([&] {
    std::uint8_t word[2] = {0x12, 0x34};
    for (int i = 0; i < kCalls; ++i) {
      if (VKM470F_DSP_Write_Command(&dev, 1, 2, word, sizeof word, 1000) != VKM470F_SUCCESS)
        ++commandFailures;
    }
  });
  int successes = 0;
  int otherCodes = 0;
  std::vector<std::uint8_t> buffer(512);
  for (int i = 0; i < kCalls; ++i) {
    const std::int32_t status = GetParam().call(&dev, buffer);
    if (status == VKM470F_SUCCESS) {
      ++successes;
    } else if (status != VKM470F_ERR_REQUEST_REJECTED) {
      ++otherCodes;
    }
  }
  commands.join();
  EXPECT_EQ(successes, 0) << "of " << kCalls << " refused calls returned 0";
  EXPECT_EQ(otherCodes, 0) << "of " << kCalls << " refused calls returned another code";
  EXPECT_EQ(commandFailures, 0) << "of " << kCalls << " answered commands failed";
}

INSTANTIATE_TEST_SUITE_P(
    PastTheFlashEnd, SharedRecordTest,
    ::testing::Values(FailingCall{"Read",
                                  [](VKM470F_DEVICE* d, std::vector<std::uint8_t>& b) {
                                    return VKM470F_ReadDSPFlash(d, 0x1FFF00, b.data(), 512, 1000);
                                  }},
                      FailingCall{"Program",
                                  [](VKM470F_DEVICE* d, std::vector<std::uint8_t>& b) {
                                    return VKM470F_ProgrammDSPFlash(d, 0x1FFF00, b.data(), 512,
                                                                    1000);
                                  }}),
    [](const ::testing::TestParamInfo<FailingCall>& info) { return info.param.name; });

}  // namespace
}  // namespace usbtest
