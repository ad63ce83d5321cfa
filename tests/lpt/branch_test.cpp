// SPDX-License-Identifier: MIT
// The parallel-port branch of the exports: a cable opened and closed around
// every flash, special and reset call, and the codes the caller sees.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_cable.h"
#include "lpt_fixture.h"

namespace lpttest {
namespace {

namespace os = vkm470::os;
using Log = std::vector<std::string>;
using Writes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

TEST_F(LptTest, InformationBlockHoldsStatusRegistersAndId) {
  std::uint8_t info[8] = {};
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 2, info, 0), VKM470F_SUCCESS);
  EXPECT_EQ(std::vector<std::uint8_t>(info, info + 8),
            (std::vector<std::uint8_t>{0xAC, 0x11, 0x22, 0x33, 0x1F, 0x26, 0x00, 0x01}));
  // Each register read clocks three don't-care bytes after its opcode.
  EXPECT_EQ(cable->commandLog(),
            (Log{"D7 /1", "32 000000 /1", "35 000000 /1", "77 000000 /1", "9F /4"}));
}

TEST_F(LptTest, InformationBlockFailsWhenTheIdReadFails) {
  cable->fault = [](const Call& call, const FakeCable& c) {
    return call.code == kBatch && c.current().out == std::vector<std::uint8_t>{0x9F} ? Fault::Fail
                                                                                     : Fault::None;
  };
  std::uint8_t info[8] = {};
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 2, info, 8), VKM470F_ERR_FLASH_FAILED);
  EXPECT_EQ(cable->openHandles, 0);
}

struct SpecialCase {
  std::uint32_t command;
  std::int32_t status;
  int opens;
  friend void PrintTo(const SpecialCase& c, std::ostream* os) { *os << "command " << c.command; }
};

class SpecialCommandTest : public LptTest, public ::testing::WithParamInterface<SpecialCase> {};

TEST_P(SpecialCommandTest, OnlyTheLowSixteenBitsSelectTheCommand) {
  std::uint8_t info[8] = {};
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, GetParam().command, info, 8), GetParam().status);
  EXPECT_EQ(cable->opens, GetParam().opens);
}

INSTANTIATE_TEST_SUITE_P(Commands, SpecialCommandTest,
                         ::testing::Values(SpecialCase{1, VKM470F_SUCCESS, 1},
                                           SpecialCase{0x00010001, VKM470F_SUCCESS, 1},
                                           SpecialCase{0x00020002, VKM470F_SUCCESS, 1},
                                           SpecialCase{3, VKM470F_ERR_NOT_AVAILABLE, 0},
                                           SpecialCase{0x00010000, VKM470F_ERR_NOT_AVAILABLE, 0}));

// A busy chip ignores the read and its idle output reads as 0xFF, so the read
// first polls until the chip is ready.
TEST_F(LptTest, ReadWaitsForReadyThenIsOneContinuousWindowAcrossPages) {
  cable->busyPolls = 2;
  std::vector<std::uint8_t> data(600);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0x01000300, data.data(), 600, 0), VKM470F_SUCCESS);
  EXPECT_EQ(cable->commandLog(), (Log{"D7 /1", "D7 /1", "D7 /1", "E8 000300 +4 /600"}));
  EXPECT_EQ(cable->windows[3].out,
            (std::vector<std::uint8_t>{0xE8, 0x00, 0x03, 0x00, 0xE8, 0x00, 0x03, 0x00}));
  for (std::uint32_t i = 0; i < 600; ++i) {
    ASSERT_EQ(data[i], FakeCable::arrayByte(0x300 + i)) << "byte " << i;
  }
  std::size_t readBatches = 0;
  for (const Call& c : cable->calls) {
    if (c.code == kBatch && c.input.size() == 600 * 96) ++readBatches;
  }
  EXPECT_EQ(readBatches, 1u);
}

// A chip that never gets ready is never read: the call fails after the
// ready wait's 5000 ms, and the caller's buffer keeps what it held.
TEST_F(LptTest, ReadOfAChipThatStaysBusyFailsWithoutReading) {
  cable->alwaysBusy = true;
  std::vector<std::uint8_t> data(16, 0x5A);
  const Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0x200, data.data(), 16, 0), VKM470F_ERR_FLASH_FAILED);
  const Dword elapsed = os::GetTickCount() - start;
  EXPECT_GT(elapsed, 5000u);
  EXPECT_LE(elapsed, 5050u);
  for (const std::string& line : cable->commandLog()) EXPECT_EQ(line, "D7 /1");
  EXPECT_EQ(data, std::vector<std::uint8_t>(16, 0x5A));
  EXPECT_EQ(cable->openHandles, 0);
  EXPECT_EQ(dev.cable, nullptr);
}

struct Operation {
  const char* name;
  std::function<std::int32_t(VKM470F_DEVICE*)> call;
  friend void PrintTo(const Operation& o, std::ostream* os) { *os << o.name; }
};

class OpenPerCallTest : public LptTest, public ::testing::WithParamInterface<Operation> {};

// Each call opens its own cable, so a cable opened before is replaced and
// nothing is held afterwards.
TEST_P(OpenPerCallTest, CallLeavesNoCableBehind) {
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  EXPECT_EQ(GetParam().call(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(dev.cable, nullptr);
  EXPECT_EQ(cable->openHandles, 0);
  EXPECT_EQ(cable->opens, 2);
  EXPECT_EQ(cable->registerWrites().back(), (std::pair<std::uint32_t, std::uint32_t>{0, 0x02}));
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_ERR_NO_OBJECT);
}

std::uint8_t buffer[512];

INSTANTIATE_TEST_SUITE_P(
    Exports, OpenPerCallTest,
    ::testing::Values(
        Operation{"Program",
                  [](VKM470F_DEVICE* d) { return VKM470F_ProgrammDSPFlash(d, 0, buffer, 512, 0); }},
        Operation{"Read",
                  [](VKM470F_DEVICE* d) { return VKM470F_ReadDSPFlash(d, 0, buffer, 16, 0); }},
        Operation{
            "BinaryPageSize",
            [](VKM470F_DEVICE* d) { return VKM470F_SpecialDSPFlashCommand(d, 1, buffer, 0); }},
        Operation{
            "Information",
            [](VKM470F_DEVICE* d) { return VKM470F_SpecialDSPFlashCommand(d, 2, buffer, 8); }},
        Operation{"OpenAgain",
                  [](VKM470F_DEVICE* d) {
                    return VKM470F_OpenDevice(d, 0) == 0 ? VKM470F_CloseDevice(d) : -1;
                  }},
        Operation{"ResetDsp", [](VKM470F_DEVICE* d) { return VKM470F_ResetDSP(d); }}),
    [](const ::testing::TestParamInfo<Operation>& info) { return info.param.name; });

class ResetTest : public LptTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ResetTest, ResetHoldsSelectLowFor110Milliseconds) {
  const bool lineWritesFail = GetParam();
  if (lineWritesFail) {
    cable->fault = [](const Call& call, const FakeCable&) {
      return call.code == kWrite && call.input[0] == 0 ? Fault::Fail : Fault::None;
    };
  }
  EXPECT_EQ(VKM470F_ResetDSP(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(cable->openHandles, 0);
  if (lineWritesFail) return;

  EXPECT_EQ(cable->registerWrites(),
            (Writes{{2, 0x02}, {0, 0x43}, {0, 0x41}, {0, 0x43}, {0, 0x02}}));
  std::vector<Dword> ticks;
  for (const Call& c : cable->calls) {
    if (c.code == kWrite) ticks.push_back(c.tick);
  }
  EXPECT_EQ(ticks[3] - ticks[2], 110u);
  EXPECT_EQ(ticks[4] - ticks[3], 10u);
}

INSTANTIATE_TEST_SUITE_P(LineWritesFail, ResetTest, ::testing::Bool());

// Refused before the cable is opened. The information block is 8 bytes
// whatever the length says, so it needs a buffer even with length 0.
TEST_F(LptTest, MissingBufferIsRefusedWithoutOpeningTheCable) {
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, nullptr, 16, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, nullptr, 16, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 2, nullptr, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, 2, nullptr, 8), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(cable->opens, 0);
}

// The chip takes 24 address bits and ignores the page bits above its 2 MiB,
// so a range that runs past 0x1FFFFF once bits 24-31 are dropped would wrap
// onto the boot area: refused before the cable is opened. Bits 24-31 alone
// refuse nothing.
TEST_F(LptTest, RangePastTheFlashEndIsRefusedWithoutOpeningTheCable) {
  struct Case {
    std::uint32_t address, length;
    bool refused;
  };
  const Case cases[] = {
      {0x1FFE00, 512, false}, {0x1FFE00, 513, true},        {0x200000, 1, true},
      {0x200000, 0, false},   {0xFF1FFFFF, 1, false},       {0x01200000, 16, true},
      {0x00FFFFF0, 16, true}, {0x1FFFFF, 0xFFFFFFFF, true},
  };
  std::vector<std::uint8_t> data(1024);
  for (const Case& c : cases) {
    for (const bool program : {true, false}) {
      SCOPED_TRACE(::testing::Message() << (program ? "program" : "read") << " of " << c.length
                                        << " bytes at 0x" << std::hex << c.address);
      cable->opens = 0;
      const std::int32_t status =
          program ? VKM470F_ProgrammDSPFlash(&dev, c.address, data.data(), c.length, 0)
                  : VKM470F_ReadDSPFlash(&dev, c.address, data.data(), c.length, 0);
      EXPECT_EQ(status, c.refused ? VKM470F_ERR_FLASH_FAILED : VKM470F_SUCCESS);
      EXPECT_EQ(cable->opens, c.refused ? 0 : 1);
    }
  }
  // A cable held since an open goes, as after any flash call.
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0x200000, data.data(), 1, 0), VKM470F_ERR_FLASH_FAILED);
  EXPECT_EQ(dev.cable, nullptr);
  EXPECT_EQ(cable->openHandles, 0);
}

TEST_F(LptTest, NullRecordIsRefusedByEveryParallelPortExport) {
  std::uint8_t data[8] = {};
  EXPECT_EQ(VKM470F_OpenDevice(nullptr, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_CloseDevice(nullptr), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(nullptr, 0, data, 8, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_ReadDSPFlash(nullptr, 0, data, 8, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(nullptr, 2, data, 8), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_ResetDSP(nullptr), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(cable->opens, 0);
}

}  // namespace
}  // namespace lpttest
