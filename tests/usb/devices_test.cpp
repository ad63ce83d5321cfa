// SPDX-License-Identifier: MIT
// Opening, closing and searching over USB: the requests each sends, the
// handles it takes and lets go, and the codes and list entries it reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fake_cable.h"
#include "fake_usb.h"
#include "usb_fixture.h"

namespace usbtest {
namespace {

namespace os = vkm470::os;

const std::string kOpenName = "0B 1 0000 0000 16";

// --- open ---

TEST_F(UsbTest, OpenReadsTheNameThenStartsTheApplication) {
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  EXPECT_NE(dev.channel, nullptr);
  EXPECT_EQ(dev.applicationRunning, 1);
  EXPECT_EQ(module->log(), (Log{kOpenName, kEnter}));
  EXPECT_EQ(module->openHandles, 1);
}

struct OpenFault {
  const char* name;
  std::uint16_t request;
  Reply reply;
  std::int32_t running;
  friend void PrintTo(const OpenFault& c, std::ostream* os) { *os << c.name; }
};

class OpenFaultTest : public UsbTest, public ::testing::WithParamInterface<OpenFault> {};

// Neither the name nor the application start decides the open; an
// application that did not start is started by the next request needing it.
TEST_P(OpenFaultTest, OpenSucceedsAnyway) {
  module->onRequest(GetParam().request, GetParam().reply);
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  EXPECT_NE(dev.channel, nullptr);
  EXPECT_EQ(module->log(), (Log{kOpenName, kEnter}));
  EXPECT_EQ(dev.applicationRunning, GetParam().running);

  module->script = nullptr;
  module->sent.clear();
  EXPECT_EQ(VKM470F_ResetDSP(&dev), VKM470F_SUCCESS);
  Log expected = {"0C 0 0000 0000 0"};
  if (GetParam().running == 0) expected.insert(expected.begin(), kEnter);
  EXPECT_EQ(module->log(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OpenFaultTest,
    ::testing::Values(OpenFault{"NameRefused", 0x0B, Reply::fail(), 1},
                      OpenFault{"NameShort", 0x0B, Reply::count(7), 1},
                      OpenFault{"NameTimedOut", 0x0B, Reply::pending(), 1},
                      OpenFault{"CallApplicationRefused", 0x0F, Reply::fail(), 0},
                      OpenFault{"CallApplicationTimedOut", 0x0F, Reply::pending(), 0}),
    [](const ::testing::TestParamInfo<OpenFault>& info) { return info.param.name; });

TEST_F(UsbTest, OpenOfADeviceThatCannotBeOpenedLeavesTheRecordClosed) {
  module->openError = os::kErrorFileNotFound;
  dev.applicationRunning = 1;
  EXPECT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_ERR_OPEN_FAILED);
  EXPECT_EQ(dev.channel, nullptr);
  EXPECT_EQ(dev.applicationRunning, 0);
  EXPECT_TRUE(module->sent.empty());
}

TEST_F(UsbTest, OpenOfAModuleHeldByAnotherRecordFails) {
  VKM470F_DEVICE other{};
  other.interfaceType = VKM470F_INTERFACE_USB;
  ASSERT_EQ(VKM470F_OpenDevice(&other, 0), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_ERR_OPEN_FAILED);
  EXPECT_EQ(dev.channel, nullptr);
  EXPECT_EQ(module->openHandles, 1);
  EXPECT_EQ(VKM470F_CloseDevice(&other), VKM470F_SUCCESS);
}

// The code cannot tell an absent module from a held one; the thread's errno
// (GetLastError on Windows) can, so tools name the reason.
TEST_F(UsbTest, AFailedOpenLeavesItsReasonInErrno) {
  const struct {
    os::Dword driverError;
    int expected;
  } cases[] = {{os::kErrorFileNotFound, ENOENT},
               {os::kErrorSharingViolation, EBUSY},
               {os::kErrorAccessDenied, EACCES},
               {os::kErrorGenFailure, EIO}};
  for (const auto& c : cases) {
    module->openError = c.driverError;
    errno = 0;
    EXPECT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_ERR_OPEN_FAILED);
    EXPECT_EQ(errno, c.expected) << "driver error " << c.driverError;
  }
  errno = 0;
  EXPECT_EQ(VKM470F_OpenDevice(&dev, 5), VKM470F_ERR_OPEN_FAILED);
  EXPECT_EQ(errno, ENOENT) << "no device registered";
}

TEST_F(UsbTest, OpenOnAnOpenRecordClosesTheOldChannelFirst) {
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  module->sent.clear();
  // The module serves one handle at a time: this works only if the record's
  // channel let go of it first.
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  EXPECT_EQ(module->opens, 2);
  EXPECT_EQ(module->openHandles, 1);
  // The new channel knows nothing of the module's state and starts over.
  EXPECT_EQ(module->log(), (Log{kOpenName, kEnter}));

  auto second = addModule(1);
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 1), VKM470F_SUCCESS);
  EXPECT_EQ(module->openHandles, 0);
  EXPECT_EQ(second->openHandles, 1);

  // A failed open has closed the old channel all the same.
  EXPECT_EQ(VKM470F_OpenDevice(&dev, 7), VKM470F_ERR_OPEN_FAILED);
  EXPECT_EQ(second->openHandles, 0);
  EXPECT_EQ(dev.channel, nullptr);
  EXPECT_EQ(dev.applicationRunning, 0);
}

// --- close ---

TEST_F(UsbTest, CloseReleasesTheChannelAndASecondCloseFindsNothing) {
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(dev.channel, nullptr);
  EXPECT_EQ(dev.applicationRunning, 0);
  EXPECT_EQ(module->openHandles, 0);
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_ERR_NO_OBJECT);
}

struct CloseCase {
  const char* name;
  std::int32_t interfaceType;
  bool full;  // VKM470F_CloseFullDevice, else VKM470F_CloseDevice
  bool releasesChannel;
  bool releasesCable;
  friend void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }
};

class CloseTest : public UsbTest, public ::testing::WithParamInterface<CloseCase> {
 protected:
  void TearDown() override {
    UsbTest::TearDown();
    os::hosted::unregisterDevice("ALTLPT1");
  }
  std::shared_ptr<lpttest::FakeCable> cable = std::make_shared<lpttest::FakeCable>();
};

// A record that holds a channel and a cable: each close releases the side
// that its rule names, and reports success.
TEST_P(CloseTest, CloseReleasesWhatItsRuleNames) {
  const CloseCase& c = GetParam();
  os::hosted::registerDevice("ALTLPT1", cable);
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  dev.interfaceType = VKM470F_INTERFACE_LPT1;
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  ASSERT_NE(dev.channel, nullptr);
  ASSERT_NE(dev.cable, nullptr);

  dev.interfaceType = c.interfaceType;
  EXPECT_EQ(c.full ? VKM470F_CloseFullDevice(&dev) : VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(dev.channel == nullptr, c.releasesChannel);
  EXPECT_EQ(module->openHandles, c.releasesChannel ? 0 : 1);
  EXPECT_EQ(dev.cable == nullptr, c.releasesCable);
  EXPECT_EQ(cable->openHandles, c.releasesCable ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, CloseTest,
                         ::testing::Values(CloseCase{"CloseUsb", 1, false, true, false},
                                           CloseCase{"CloseParallelPort", 3, false, false, true},
                                           CloseCase{"CloseNoInterface", 0, false, true, true},
                                           CloseCase{"CloseFullUsb", 1, true, true, true},
                                           CloseCase{"CloseFullParallelPort", 3, true, true, true}),
                         [](const ::testing::TestParamInfo<CloseCase>& info) {
                           return info.param.name;
                         });

// --- search ---

TEST_F(UsbTest, SearchReportsEachNumberAndCountsWhatOpened) {
  module->sent.clear();
  // 1: nothing there.
  addModule(2)->moduleType = 7;
  addModule(3)->name = std::string("VKM471\0", 7);
  addModule(4)->onRequest(0x0B, Reply::fail());
  addModule(5)->script = [](const Sent& s) {
    return s.code == 0x22005E ? Reply::fail() : Reply::full();
  };
  auto held = addModule(6);
  addModule(7)->name = std::string("VKM470\0Z", 8);
  VKM470F_DEVICE other{};
  other.interfaceType = VKM470F_INTERFACE_USB;
  ASSERT_EQ(VKM470F_OpenDevice(&other, 6), VKM470F_SUCCESS);
  held->sent.clear();

  std::int16_t list[9] = {5, 5, 5, 5, 5, 5, 5, 5, 5};
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 8), 6);
  EXPECT_EQ(std::vector<std::int16_t>(list, list + 9),
            (std::vector<std::int16_t>{1, -1, 0, 0, -1, 0, -1, 1, 5}));
  // Neither state step: the name is answered whichever program runs.
  EXPECT_EQ(module->log(), (Log{"info 80", "0B 1 0000 0000 8"}));
  EXPECT_EQ(module->openHandles, 0);
  EXPECT_TRUE(held->sent.empty());
  EXPECT_EQ(held->openHandles, 1);
  EXPECT_EQ(dev.channel, nullptr);
  VKM470F_CloseDevice(&other);
}

TEST_F(UsbTest, DeviceOfAnotherTypeIsNotAskedItsName) {
  module->moduleType = 40;
  std::int16_t list[1];
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 1), 1);
  EXPECT_EQ(list[0], 0);
  EXPECT_EQ(module->log(), (Log{"info 80"}));
}

TEST_F(UsbTest, SearchLeavesTheRecordsOwnChannelAlone) {
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  void* channel = dev.channel;
  module->sent.clear();
  std::int16_t list[1];
  // The record holds the module, so the search cannot open it.
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 1), 0);
  EXPECT_EQ(list[0], -1);
  EXPECT_EQ(dev.channel, channel);
  EXPECT_EQ(dev.applicationRunning, 1);
  EXPECT_EQ(VKM470F_ResetDSP(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(module->log(), (Log{"0C 0 0000 0000 0"}));
}

TEST_F(UsbTest, SearchOfNoNumbersProbesNothing) {
  std::int16_t list[1] = {5};
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 0), 0);
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, -3), 0);
  EXPECT_EQ(list[0], 5);
  EXPECT_EQ(module->opens, 0);
}

}  // namespace
}  // namespace usbtest
