// SPDX-License-Identifier: MIT
// DataFlash commands as the chip sees them: select windows, page programming
// through buffer 1, and the ready poll with its time-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_cable.h"
#include "lpt/at45db161.h"
#include "lpt_fixture.h"

namespace lpttest {
namespace {

namespace os = vkm470::os;
using vkm470::lpt::CAT45DB161Flash;
using Log = std::vector<std::string>;

TEST_F(LptTest, CommandWindowSelectsAndDeselectsWithTenMillisecondPauses) {
  CAT45DB161Flash flash;
  ASSERT_TRUE(flash.Open(1));
  flash.Deselect();
  cable->calls.clear();
  const Dword t0 = os::GetTickCount();
  std::uint8_t status = 0;
  flash.ReadStatus(&status);

  ASSERT_EQ(cable->calls.size(), 4u);
  EXPECT_EQ(cable->calls[0].code, kWrite);
  EXPECT_EQ(cable->calls[0].input, (std::vector<std::uint8_t>{0, 0, 0, 0, 0x41, 0, 0, 0}));
  EXPECT_EQ(cable->calls[0].tick, t0);
  EXPECT_EQ(cable->calls[1].code, kBatch);
  EXPECT_EQ(cable->calls[1].tick, t0 + 10);
  EXPECT_EQ(cable->calls[2].code, kBatch);
  EXPECT_EQ(cable->calls[3].input, (std::vector<std::uint8_t>{0, 0, 0, 0, 0x43, 0, 0, 0}));
  EXPECT_EQ(os::GetTickCount(), t0 + 20);
}

struct ProgramCase {
  const char* name;
  std::uint32_t address;
  std::uint32_t length;
  Log commands;
  friend void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }
};

class ProgramTest : public LptTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, WritesPageByPageThroughBufferOne) {
  const ProgramCase& c = GetParam();
  const auto data = pattern(c.length);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, c.address, data.data(), c.length, 0), VKM470F_SUCCESS);
  EXPECT_EQ(cable->commandLog(), c.commands);
  EXPECT_EQ(bufferData(*cable), data);
  EXPECT_EQ(cable->lines, 0x02);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ProgramTest,
    ::testing::Values(
        ProgramCase{
            "WholePages",
            0x400,
            1024,
            {"84 000000 +512", "83 000400", "D7 /1", "84 000000 +512", "83 000600", "D7 /1"}},
        ProgramCase{"InsideOnePage",
                    0x210,
                    16,
                    {"53 000200", "D7 /1", "84 000010 +16", "83 000200", "D7 /1"}},
        ProgramCase{
            "PartialFirstAndLast",
            0x3F0,
            544,
            {"53 000200", "D7 /1", "84 0001F0 +16", "83 000200", "D7 /1", "84 000000 +512",
             "83 000400", "D7 /1", "53 000600", "D7 /1", "84 000000 +16", "83 000600", "D7 /1"}},
        ProgramCase{"EmptyAligned", 0x800, 0, {}},
        ProgramCase{"EmptyUnalignedRewritesItsPage",
                    0x210,
                    0,
                    {"53 000200", "D7 /1", "84 000010", "83 000200", "D7 /1"}},
        ProgramCase{
            "HighAddressBitsIgnored", 0x01000000, 512, {"84 000000 +512", "83 000000", "D7 /1"}}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return info.param.name; });

TEST_F(LptTest, ProgramPollsStatusUntilReady) {
  cable->busyPolls = 3;
  const auto data = pattern(512);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 512, 1000), VKM470F_SUCCESS);
  EXPECT_EQ(cable->commandLog(),
            (Log{"84 000000 +512", "83 000000", "D7 /1", "D7 /1", "D7 /1", "D7 /1"}));
}

TEST_F(LptTest, ProgramStopsAtAChipThatStaysBusy) {
  cable->alwaysBusy = true;
  const auto data = pattern(1024);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 1024, 1000), VKM470F_ERR_FLASH_FAILED);
  const Log log = cable->commandLog();
  ASSERT_GT(log.size(), 3u);
  EXPECT_EQ(Log(log.begin(), log.begin() + 2), (Log{"84 000000 +512", "83 000000"}));
  for (auto it = log.begin() + 2; it != log.end(); ++it) EXPECT_EQ(*it, "D7 /1");
  EXPECT_EQ(cable->openHandles, 0);
}

TEST_F(LptTest, ProgramStopsAtTheFirstFailedShift) {
  cable->fault = [](const Call& call, const FakeCable& c) {
    return call.code == kBatch && c.current().out == std::vector<std::uint8_t>{0x84, 0, 0, 0}
               ? Fault::Fail
               : Fault::None;
  };
  const auto data = pattern(1024);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 1024, 1000), VKM470F_ERR_FLASH_FAILED);
  EXPECT_EQ(cable->commandLog(), (Log{"84 000000"}));
  EXPECT_EQ(cable->openHandles, 0);
}

// Start ticks far from and just before the tick counter's wrap at 2^32.
class WaitReadyTest : public LptTest, public ::testing::WithParamInterface<Dword> {
 protected:
  void SetUp() override {
    LptTest::SetUp();
    ASSERT_TRUE(flash.Open(1));
    flash.Deselect();
    os::hosted::setVirtualTick(GetParam());
  }
  CAT45DB161Flash flash;
};

TEST_P(WaitReadyTest, ReadyChipEndsThePoll) {
  cable->busyPolls = 2;
  EXPECT_TRUE(flash.WaitReady());
  EXPECT_EQ(cable->commandLog(), (Log{"D7 /1", "D7 /1", "D7 /1"}));
}

TEST_P(WaitReadyTest, BusyChipTimesOutAfterFiveSeconds) {
  cable->alwaysBusy = true;
  const Dword start = os::GetTickCount();
  EXPECT_FALSE(flash.WaitReady());
  const Dword elapsed = os::GetTickCount() - start;
  EXPECT_GT(elapsed, 5000u);
  EXPECT_LE(elapsed, 5040u);
}

INSTANTIATE_TEST_SUITE_P(Ticks, WaitReadyTest, ::testing::Values(0x10000000u, 0xFFFFFF00u));

TEST_F(LptTest, BinaryPageSizeCommandWaitsForReady) {
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 1, nullptr, 0), VKM470F_SUCCESS);
  EXPECT_EQ(cable->commandLog(), (Log{"3D 2A80A6", "D7 /1"}));
}

// A chip that never gets ready has not switched: the command fails instead of
// reporting a page size that was never set.
TEST_F(LptTest, BinaryPageSizeOnAChipThatStaysBusyFails) {
  cable->alwaysBusy = true;
  const Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 1, nullptr, 0), VKM470F_ERR_FLASH_FAILED);
  EXPECT_GT(os::GetTickCount() - start, 5000u);
  const Log log = cable->commandLog();
  ASSERT_GT(log.size(), 1u);
  EXPECT_EQ(log[0], "3D 2A80A6");
  EXPECT_EQ(cable->openHandles, 0);
}

// With the select write refused nothing reaches the chip, yet the command
// still waits out the chip's busy time before it reports the failure.
TEST_F(LptTest, BinaryPageSizeWithoutSelectFailsAfterTheReadyWait) {
  cable->fault = [](const Call& call, const FakeCable&) {
    return call.code == kWrite && call.input[0] == 0 && !(call.input[4] & 0x02) ? Fault::Fail
                                                                                : Fault::None;
  };
  const Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 1, nullptr, 0), VKM470F_ERR_FLASH_FAILED);
  EXPECT_GT(os::GetTickCount() - start, 5000u);
  EXPECT_TRUE(cable->windows.empty());
  EXPECT_EQ(cable->openHandles, 0);
}

}  // namespace
}  // namespace lpttest
