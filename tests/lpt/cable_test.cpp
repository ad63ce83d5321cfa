// SPDX-License-Identifier: MIT
// The cable on the wire: opening the port driver, the checks that decide
// whether a cable is there, and the batches that carry the serial shifts.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_cable.h"
#include "lpt/at45db161.h"
#include "lpt_fixture.h"

namespace lpttest {
namespace {

namespace os = vkm470::os;
using vkm470::lpt::CAT45DB161Flash;

constexpr Dword kQuery = 0x00166A00;

std::vector<std::uint8_t> writeEntries(std::initializer_list<std::uint8_t> lines) {
  std::vector<std::uint8_t> bytes;
  for (std::uint8_t v : lines) bytes.insert(bytes.end(), {0x82, 0x0A, v, 0x00});
  return bytes;
}

std::vector<const Call*> batches(const FakeCable& cable) {
  std::vector<const Call*> found;
  for (const Call& c : cable.calls) {
    if (c.code == kBatch) found.push_back(&c);
  }
  return found;
}

struct PortCase {
  std::int32_t interfaceType;
  const char* device;
  friend void PrintTo(const PortCase& c, std::ostream* os) { *os << c.device; }
};

class CablePortTest : public LptTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(CablePortTest, OpenHoldsThePortUntilClose) {
  os::hosted::unregisterDevice("ALTLPT1");
  os::hosted::registerDevice(GetParam().device, cable);
  dev.interfaceType = GetParam().interfaceType;

  ASSERT_EQ(VKM470F_OpenDevice(&dev, 7), VKM470F_SUCCESS);
  EXPECT_NE(dev.cable, nullptr);
  EXPECT_EQ(cable->lastAccess, os::kGenericRead | os::kGenericWrite);
  EXPECT_EQ(cable->lastShare, 0u);
  ASSERT_EQ(cable->calls.size(), 3u);
  EXPECT_EQ(cable->calls[0].code, kQuery);
  using Writes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(cable->registerWrites(), (Writes{{2, 0x02}, {0, 0x43}}));
  EXPECT_EQ(cable->openHandles, 1);

  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(cable->registerWrites().back(), (std::pair<std::uint32_t, std::uint32_t>{0, 0x02}));
  EXPECT_EQ(cable->openHandles, 0);
  EXPECT_EQ(dev.cable, nullptr);
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_ERR_NO_OBJECT);
}

INSTANTIATE_TEST_SUITE_P(Ports, CablePortTest,
                         ::testing::Values(PortCase{3, "ALTLPT1"}, PortCase{4, "ALTLPT2"},
                                           PortCase{5, "ALTLPT3"}));

struct RefusalCase {
  const char* name;
  std::function<void(FakeCable&)> setup;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class CableRefusalTest : public LptTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(CableRefusalTest, NoCableMeansOpenFailsAndNothingIsHeld) {
  GetParam().setup(*cable);
  std::uint8_t data[4] = {};

  EXPECT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_ERR_CABLE_OPEN);
  EXPECT_EQ(dev.cable, nullptr);
  EXPECT_EQ(cable->openHandles, 0);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, data, sizeof(data), 1000), VKM470F_ERR_CABLE_OPEN);
  EXPECT_EQ(VKM470F_ResetDSP(&dev), VKM470F_ERR_CABLE_OPEN);
  EXPECT_EQ(cable->openHandles, 0);
  EXPECT_TRUE(cable->windows.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, CableRefusalTest,
    ::testing::Values(
        RefusalCase{"NoDriver", [](FakeCable&) { os::hosted::unregisterDevice("ALTLPT1"); }},
        RefusalCase{"DeviceBusy", [](FakeCable& c) { c.openError = os::kErrorSharingViolation; }},
        RefusalCase{"QueryAnswersOne", [](FakeCable& c) { c.portQueryValue = 1; }},
        RefusalCase{"QueryAnswersThreeBytes", [](FakeCable& c) { c.portQuerySize = 3; }},
        RefusalCase{"QueryFails",
                    [](FakeCable& c) {
                      c.fault = [](const Call& call, const FakeCable&) {
                        return call.code == kQuery ? Fault::Fail : Fault::None;
                      };
                    }},
        RefusalCase{"ControlWriteFails",
                    [](FakeCable& c) {
                      c.fault = [](const Call& call, const FakeCable&) {
                        return call.code == kWrite && call.input[0] == 2 ? Fault::Fail
                                                                         : Fault::None;
                      };
                    }}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// A status read is the smallest command: one byte out, one byte in.
TEST_F(LptTest, OneByteShiftsAreSixteenAndTwentyFourEntries) {
  CAT45DB161Flash flash;
  ASSERT_TRUE(flash.Open(1));
  flash.Deselect();
  std::uint8_t status = 0;
  EXPECT_TRUE(flash.ReadStatus(&status));

  const auto sent = batches(*cable);
  ASSERT_EQ(sent.size(), 2u);
  // 0xD7 = 1101 0111, clock low then high for each bit, chip selected.
  EXPECT_EQ(sent[0]->input, writeEntries({0x40, 0x41, 0x40, 0x41, 0x00, 0x01, 0x40, 0x41, 0x00,
                                          0x01, 0x40, 0x41, 0x40, 0x41, 0x40, 0x41}));
  std::vector<std::uint8_t> in;
  for (int bit = 0; bit < 8; ++bit) {
    in.insert(in.end(), {0x82, 0x0A, 0x40, 0x00, 0x82, 0x0A, 0x41, 0x00, 0x81, 0x0A, 0x00, 0x00});
  }
  EXPECT_EQ(sent[1]->input, in);
  // The fake answers 1 bits as 0x7F and 0 bits as 0x80 on the status line.
  EXPECT_EQ(status, 0xAC);
  EXPECT_EQ(cable->lines, 0x43);
}

TEST_F(LptTest, ShiftsOnAClosedCableFailWithoutTouchingThePort) {
  CAT45DB161Flash flash;
  std::uint8_t byte = 0x5A;
  EXPECT_FALSE(flash.WritePort(0, 0x43));
  EXPECT_FALSE(flash.ShiftOut(&byte, 1));
  EXPECT_FALSE(flash.ShiftIn(&byte, 1));
  EXPECT_EQ(cable->opens, 0);
}

// A read whose batch would not fit the driver's 32-bit length fails instead of
// sending a batch of the wrapped size; the destination is still written.
TEST_F(LptTest, ReadTooLongForOneBatchFails) {
  CAT45DB161Flash flash;
  ASSERT_TRUE(flash.Open(1));
  const std::uint32_t length = 0xFFFFFFFFu / 96 + 1;
  std::vector<std::uint8_t> data(length, 0x00);
  EXPECT_FALSE(flash.ReadFlash(0, data.data(), length));
  // The ready poll's two shifts and the read's header; no read batch.
  EXPECT_EQ(batches(*cable).size(), 3u);
  EXPECT_EQ(data.front(), 0xFF);
  EXPECT_EQ(data.back(), 0xFF);
}

class ReadBatchFaultTest : public LptTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ReadBatchFaultTest, FailedReadBatchFailsTheRead) {
  const Fault fault = GetParam();
  cable->fault = [fault](const Call& call, const FakeCable& c) {
    return call.code == kBatch && c.current().out.size() == 8 ? fault : Fault::None;
  };
  std::vector<std::uint8_t> data(16, 0x00);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, data.data(), 16, 1000), VKM470F_ERR_FLASH_FAILED);
  EXPECT_EQ(cable->openHandles, 0);
  EXPECT_EQ(dev.cable, nullptr);
  if (fault == Fault::Fail) {
    EXPECT_EQ(data, std::vector<std::uint8_t>(16, 0xFF));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ReadBatchFaultTest, ::testing::Values(Fault::Fail, Fault::Short));

}  // namespace
}  // namespace lpttest
