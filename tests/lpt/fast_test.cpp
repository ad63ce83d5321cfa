// SPDX-License-Identifier: MIT
// Fast writes (VKM470_LPT_FAST=1 as the cable opens) as the chip sees them:
// the command windows of each range, no pauses beyond the ready polls, and
// the documented sequence for any other value.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_cable.h"
#include "lpt_fixture.h"

namespace lpttest {
namespace {

namespace os = vkm470::os;
using Log = std::vector<std::string>;

class FastTest : public LptTest {
 protected:
  void SetUp() override {
    LptTest::SetUp();
    setenv("VKM470_LPT_FAST", "1", 1);
  }
  void TearDown() override {
    unsetenv("VKM470_LPT_FAST");
    LptTest::TearDown();
  }
};

struct FastCase {
  const char* name;
  std::uint32_t address;
  std::uint32_t length;
  Log commands;
  friend void PrintTo(const FastCase& c, std::ostream* os) { *os << c.name; }
};

class FastProgramTest : public FastTest, public ::testing::WithParamInterface<FastCase> {};

// The fake chip is always ready, so every poll here is one the sequence must
// make: before the first buffer write (a new cable does not know what the
// chip is doing), before a page copy and the fill of the copied buffer,
// before each program but the first, and after the last.
TEST_P(FastProgramTest, AlternatesBuffersWithoutPauses) {
  const FastCase& c = GetParam();
  const auto data = pattern(c.length);
  const Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, c.address, data.data(), c.length, 0), VKM470F_SUCCESS);
  EXPECT_EQ(os::GetTickCount(), start);
  EXPECT_EQ(cable->commandLog(), c.commands);
  EXPECT_EQ(bufferData(*cable), data);
  EXPECT_EQ(cable->lines, 0x02);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, FastProgramTest,
    ::testing::Values(FastCase{"WholePages",
                               0x400,
                               1536,
                               {"D7 /1", "84 000000 +512", "83 000400", "87 000000 +512", "D7 /1",
                                "86 000600", "84 000000 +512", "D7 /1", "83 000800", "D7 /1"}},
                      FastCase{
                          "InsideOnePage",
                          0x210,
                          16,
                          {"D7 /1", "53 000200", "D7 /1", "84 000010 +16", "83 000200", "D7 /1"}},
                      FastCase{"PartialFirstAndLast",
                               0x3F0,
                               544,
                               {"D7 /1", "53 000200", "D7 /1", "84 0001F0 +16", "83 000200",
                                "87 000000 +512", "D7 /1", "86 000400", "D7 /1", "53 000600",
                                "D7 /1", "84 000000 +16", "83 000600", "D7 /1"}},
                      FastCase{"PartialPageIntoBuffer2",
                               0x200,
                               528,
                               {"D7 /1", "84 000000 +512", "83 000200", "D7 /1", "55 000400",
                                "D7 /1", "87 000000 +16", "86 000400", "D7 /1"}},
                      FastCase{"EmptyAligned", 0x800, 0, {}},
                      FastCase{"EmptyUnalignedRewritesItsPage",
                               0x210,
                               0,
                               {"D7 /1", "53 000200", "D7 /1", "84 000010", "83 000200", "D7 /1"}},
                      FastCase{"HighAddressBitsIgnored",
                               0x01000000,
                               512,
                               {"D7 /1", "84 000000 +512", "83 000000", "D7 /1"}}),
    [](const ::testing::TestParamInfo<FastCase>& info) { return info.param.name; });

TEST_F(FastTest, ReadWaitsForReadyFirst) {
  cable->busyPolls = 2;
  std::vector<std::uint8_t> data(600);
  const Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0x300, data.data(), 600, 0), VKM470F_SUCCESS);
  EXPECT_EQ(cable->commandLog(), (Log{"D7 /1", "D7 /1", "D7 /1", "E8 000300 +4 /600"}));
  EXPECT_EQ(data[599], FakeCable::arrayByte(0x300 + 599));
  // Polls 1 ms apart, and no other pause.
  EXPECT_EQ(os::GetTickCount() - start, 2u);
}

TEST_F(FastTest, ChipThatStaysBusyFailsAfterFiveSecondsWithNothingWritten) {
  cable->alwaysBusy = true;
  const auto data = pattern(1024);
  const Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 1024, 0), VKM470F_ERR_FLASH_FAILED);
  const Dword elapsed = os::GetTickCount() - start;
  EXPECT_GT(elapsed, 5000u);
  EXPECT_LE(elapsed, 5002u);
  for (const std::string& line : cable->commandLog()) EXPECT_EQ(line, "D7 /1");
  EXPECT_EQ(cable->openHandles, 0);

  std::vector<std::uint8_t> back(16);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, back.data(), 16, 0), VKM470F_ERR_FLASH_FAILED);
}

TEST_F(FastTest, FailedShiftEndsTheWrite) {
  cable->fault = [](const Call& call, const FakeCable& c) {
    return call.code == kBatch && c.current().out == std::vector<std::uint8_t>{0x87, 0, 0, 0}
               ? Fault::Fail
               : Fault::None;
  };
  const auto data = pattern(1536);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 1536, 0), VKM470F_ERR_FLASH_FAILED);
  EXPECT_EQ(cable->commandLog(), (Log{"D7 /1", "84 000000 +512", "83 000000", "87 000000"}));
  EXPECT_EQ(cable->openHandles, 0);
}

// The reset pulse is not a command window: it stays 110 ms long.
TEST_F(FastTest, ResetStillHoldsSelectLowFor110Milliseconds) {
  EXPECT_EQ(VKM470F_ResetDSP(&dev), VKM470F_SUCCESS);
  std::vector<Dword> ticks;
  for (const Call& c : cable->calls) {
    if (c.code == kWrite) ticks.push_back(c.tick);
  }
  ASSERT_EQ(ticks.size(), 5u);
  EXPECT_EQ(ticks[3] - ticks[2], 110u);
}

class ModeValueTest : public LptTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    unsetenv("VKM470_LPT_FAST");
    LptTest::TearDown();
  }
};

// Only "1" chooses fast writes; the documented sequence starts with the
// buffer write, 10 ms after the open.
TEST_P(ModeValueTest, OtherValuesKeepTheDocumentedSequence) {
  if (GetParam() != nullptr) setenv("VKM470_LPT_FAST", GetParam(), 1);
  const auto data = pattern(512);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 512, 0), VKM470F_SUCCESS);
  EXPECT_EQ(cable->commandLog(), (Log{"84 000000 +512", "83 000000", "D7 /1"}));
}

INSTANTIATE_TEST_SUITE_P(Values, ModeValueTest,
                         ::testing::Values(nullptr, "", "0", "yes", "true", "1 ", "01"));

}  // namespace
}  // namespace lpttest
