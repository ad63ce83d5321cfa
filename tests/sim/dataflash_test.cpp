// SPDX-License-Identifier: MIT
// The DataFlash as the library sees it through the cable: every case below
// goes over the wire, batch by batch, and checks bytes read back or the array.
#include <gtest/gtest.h>

#include <numeric>

#include "wire.h"

namespace vkm470::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class DataFlashTest : public SimFixture, public ::testing::Test {
 protected:
  // Page to buffer, buffer write, program: the library's partial-page path.
  void writeThroughBuffer(std::uint32_t address, const Bytes& data) {
    wire.command(addressed(DataFlash::kPageToBuffer, address));
    now += DataFlash::kTransferMicroseconds;
    Bytes out = addressed(DataFlash::kBufferWrite, address);
    out.insert(out.end(), data.begin(), data.end());
    wire.command(out);
    wire.command(addressed(DataFlash::kBufferToPage, address));
    now += DataFlash::kProgramMicroseconds;
  }
};

TEST_F(DataFlashTest, StatusAndIdInBothPageModes) {
  EXPECT_EQ(status(), 0xAC);
  EXPECT_EQ(wire.command({DataFlash::kIdRead}, 5), (Bytes{0x1F, 0x26, 0x00, 0x00, 0xFF}));
  chip->forcePageMode(PageMode::Binary);
  EXPECT_EQ(status(), 0xAD);
  EXPECT_EQ(chip->status(), 0xAD);
}

TEST_F(DataFlashTest, StatusReadRunsOnWhileSelected) {
  wire.command(addressed(DataFlash::kBufferToPage, 0));
  wire.select();
  wire.shiftOut({DataFlash::kStatusRead});
  EXPECT_EQ(wire.shiftIn(2), (Bytes{0x2C, 0x2C}));
  now += DataFlash::kProgramMicroseconds;
  EXPECT_EQ(wire.shiftIn(1), Bytes{0xAC});
  wire.deselect();
}

TEST_F(DataFlashTest, ProgramsWholePageThroughBufferAndReadsItBack) {
  chip->forcePageMode(PageMode::Binary);
  Bytes page(512);
  std::iota(page.begin(), page.end(), 0);
  Bytes out = addressed(DataFlash::kBufferWrite, 0);
  out.insert(out.end(), page.begin(), page.end());
  wire.command(out);
  wire.command(addressed(DataFlash::kBufferToPage, 5 * 512));
  now += DataFlash::kProgramMicroseconds;

  EXPECT_EQ(read(5 * 512, 512), page);
  EXPECT_EQ(chip->peek(5, 511), 0xFF & 511);
  EXPECT_EQ(read(4 * 512 + 511, 2), (Bytes{0xFF, 0x00}));
}

TEST_F(DataFlashTest, PartialPageWriteKeepsTheRestOfThePage) {
  chip->forcePageMode(PageMode::Binary);
  for (std::uint32_t i = 0; i < 512; ++i) chip->poke(3, i, static_cast<std::uint8_t>(i * 7));
  writeThroughBuffer(3 * 512 + 100, {0xDE, 0xAD});

  EXPECT_EQ(read(3 * 512 + 98, 6),
            (Bytes{static_cast<std::uint8_t>(98 * 7), static_cast<std::uint8_t>(99 * 7), 0xDE, 0xAD,
                   static_cast<std::uint8_t>(102 * 7), static_cast<std::uint8_t>(103 * 7)}));
}

TEST_F(DataFlashTest, BufferWriteWrapsAtTheEndOfThePage) {
  const struct {
    PageMode mode;
    std::uint32_t page;
    std::uint32_t lastOffset;
    std::uint32_t pageShift;
  } cases[] = {{PageMode::Standard, 6, 527, 10}, {PageMode::Binary, 8, 511, 9}};
  for (const auto& c : cases) {
    chip->forcePageMode(c.mode);
    writeThroughBuffer(c.page << c.pageShift | c.lastOffset, {0xA1, 0xA2});
    EXPECT_EQ(chip->peek(c.page, c.lastOffset), 0xA1);
    EXPECT_EQ(chip->peek(c.page, 0), 0xA2);
    EXPECT_EQ(chip->peek(c.page + 1, 0), 0xFF);
  }
}

struct BusyCase {
  const char* name;
  Bytes command;
  std::uint32_t microseconds;
};

class BusyTest : public DataFlashTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyTest, BusyForTheDataSheetTimeThenReady) {
  wire.command(GetParam().command);
  now += GetParam().microseconds - 1;
  EXPECT_EQ(status() & 0x80, 0);
  now += 1;
  EXPECT_EQ(status() & 0x80, 0x80);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BusyTest,
    ::testing::Values(BusyCase{"Program", addressed(DataFlash::kBufferToPage, 0), 17000},
                      BusyCase{"PageToBuffer", addressed(DataFlash::kPageToBuffer, 0), 200},
                      BusyCase{"BinaryPages", {0x3D, 0x2A, 0x80, 0xA6}, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataFlashTest, CommandsWhileBusyAreIgnored) {
  chip->forcePageMode(PageMode::Binary);
  chip->poke(1, 0, 0x11);
  wire.command(addressed(DataFlash::kPageToBuffer, 1 * 512));
  now += DataFlash::kTransferMicroseconds;
  wire.command(addressed(DataFlash::kBufferToPage, 2 * 512));

  // The array is not readable and the buffer and other pages stay untouched.
  EXPECT_EQ(read(2 * 512, 1), Bytes{0xFF});
  wire.command({DataFlash::kBufferWrite, 0, 0, 0, 0x22});
  wire.command(addressed(DataFlash::kBufferToPage, 3 * 512));
  EXPECT_EQ(wire.command({DataFlash::kIdRead}, 1), Bytes{0xFF});
  EXPECT_FALSE(chip->read(0, nullptr, 0));

  now += DataFlash::kProgramMicroseconds;
  EXPECT_EQ(read(2 * 512, 1), Bytes{0x11});
  EXPECT_EQ(chip->peek(3, 0), 0xFF);
}

// What a busy chip still takes, seen in the flash: both buffers are written
// while the chip is busy, then each is programmed into a page of its own.
struct BusyBufferCase {
  const char* name;
  Bytes busyCommand;
  std::uint8_t page6;  // what buffer 1 holds at its offset 0 afterwards
  std::uint8_t page7;  // buffer 2
  bool stuck = false;
};

class BusyBufferTest : public DataFlashTest,
                       public ::testing::WithParamInterface<BusyBufferCase> {};

TEST_P(BusyBufferTest, OnlyTheOtherBuffersWriteReachesABusyChip) {
  const BusyBufferCase& c = GetParam();
  chip->forcePageMode(PageMode::Binary);
  chip->poke(2, 0, 0x55);
  wire.command({DataFlash::kBufferWrite, 0, 0, 0, 0x11});
  wire.command({DataFlash::kBuffer2Write, 0, 0, 0, 0x22});

  chip->setStuckBusy(c.stuck);
  wire.command(c.busyCommand);
  wire.command({DataFlash::kBufferWrite, 0, 0, 0, 0xA1});
  wire.command({DataFlash::kBuffer2Write, 0, 0, 0, 0xA2});
  // Neither a program nor a copy from either buffer is taken meanwhile.
  wire.command(addressed(DataFlash::kBuffer2ToPage, 3 * 512));
  wire.command(addressed(DataFlash::kBufferToPage, 4 * 512));
  wire.command(addressed(DataFlash::kPageToBuffer2, 2 * 512));
  wire.command(addressed(DataFlash::kPageToBuffer, 2 * 512));
  EXPECT_EQ(status() & 0x80, 0);

  now += 1'000'000;
  chip->setStuckBusy(false);
  wire.command(addressed(DataFlash::kBufferToPage, 6 * 512));
  now += DataFlash::kProgramMicroseconds;
  wire.command(addressed(DataFlash::kBuffer2ToPage, 7 * 512));
  now += DataFlash::kProgramMicroseconds;
  EXPECT_EQ(read(6 * 512, 1), Bytes{c.page6});
  EXPECT_EQ(read(7 * 512, 1), Bytes{c.page7});
  EXPECT_EQ(chip->peek(3, 0), 0xFF);
  EXPECT_EQ(chip->peek(4, 0), 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BusyBufferTest,
    ::testing::Values(BusyBufferCase{"ProgramFromBuffer1",
                                     addressed(DataFlash::kBufferToPage, 1 * 512), 0x11, 0xA2},
                      BusyBufferCase{"ProgramFromBuffer2",
                                     addressed(DataFlash::kBuffer2ToPage, 1 * 512), 0xA1, 0x22},
                      BusyBufferCase{"CopyIntoBuffer1",
                                     addressed(DataFlash::kPageToBuffer, 2 * 512), 0x55, 0xA2},
                      BusyBufferCase{"CopyIntoBuffer2",
                                     addressed(DataFlash::kPageToBuffer2, 2 * 512), 0xA1, 0x55},
                      BusyBufferCase{"PageSizeSwitch", {0x3D, 0x2A, 0x80, 0xA6}, 0x11, 0x22},
                      // A stuck chip takes status reads only.
                      BusyBufferCase{"StuckBusy", {DataFlash::kIdRead}, 0x11, 0x22, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataFlashTest, ProgramTimeCanBeSetPerProgram) {
  std::uint32_t next = 0;
  chip->setProgramTime([&next] { return next += 5000; });
  for (std::uint32_t expected : {5000u, 10000u}) {
    wire.command(addressed(DataFlash::kBuffer2ToPage, 0));
    now += expected - 1;
    EXPECT_EQ(status() & 0x80, 0);
    now += 1;
    EXPECT_EQ(status() & 0x80, 0x80);
  }
  chip->setProgramTime({});
  wire.command(addressed(DataFlash::kBufferToPage, 0));
  now += DataFlash::kProgramMicroseconds - 1;
  EXPECT_EQ(status() & 0x80, 0);
}

struct AddressCase {
  PageMode mode;
  std::uint32_t address;
  std::uint32_t page;
  std::uint32_t offset;
};

class AddressTest : public DataFlashTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AddressTest, ReadAndProgramReachTheSameByte) {
  const AddressCase& c = GetParam();
  chip->forcePageMode(c.mode);
  chip->poke(c.page, c.offset, 0x5A);
  EXPECT_EQ(read(c.address, 1), Bytes{0x5A});

  writeThroughBuffer(c.address, {0xC3});
  EXPECT_EQ(chip->peek(c.page, c.offset), 0xC3);
}

INSTANTIATE_TEST_SUITE_P(Modes, AddressTest,
                         ::testing::Values(AddressCase{PageMode::Standard, 0x000000, 0, 0},
                                           AddressCase{PageMode::Standard, 1 << 10 | 527, 1, 527},
                                           AddressCase{PageMode::Standard, 4095 << 10 | 5, 4095, 5},
                                           AddressCase{PageMode::Standard, 1 << 22 | 7 << 10 | 9, 7,
                                                       9},
                                           // Offsets past the page run on into the next page.
                                           AddressCase{PageMode::Standard, 3 << 10 | 530, 4, 2},
                                           AddressCase{PageMode::Binary, 0x000200, 1, 0},
                                           AddressCase{PageMode::Binary, 0x1FFFFF, 4095, 511},
                                           AddressCase{PageMode::Binary, 0x200205, 1, 5},
                                           AddressCase{PageMode::Binary, 0x01000000, 0, 0}));

struct WrapCase {
  PageMode mode;
  std::uint32_t address;
  std::uint32_t firstPage;
  std::uint32_t firstOffset;
  std::uint32_t nextPage;
};

class WrapTest : public DataFlashTest, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(WrapTest, ContinuousReadCrossesPagesAndWrapsAtTheEnd) {
  const WrapCase& c = GetParam();
  chip->forcePageMode(c.mode);
  chip->poke(c.firstPage, c.firstOffset, 1);
  chip->poke(c.firstPage, c.firstOffset + 1, 2);
  chip->poke(c.nextPage, 0, 3);
  chip->poke(c.nextPage, 1, 4);
  EXPECT_EQ(read(c.address, 4), (Bytes{1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, WrapTest,
    ::testing::Values(WrapCase{PageMode::Standard, 0 << 10 | 526, 0, 526, 1},
                      WrapCase{PageMode::Standard, 4095 << 10 | 526, 4095, 526, 0},
                      // The extra 16 bytes of a page are skipped in binary mode.
                      WrapCase{PageMode::Binary, 510, 0, 510, 1},
                      WrapCase{PageMode::Binary, 4095 * 512 + 510, 4095, 510, 0}));

TEST_F(DataFlashTest, BinaryPagesAreSetOnceAndForAll) {
  wire.command({0x3D, 0x2A, 0x80, 0xA7});
  wire.command({0x3D, 0x2A, 0x80});
  EXPECT_EQ(status(), 0xAC);

  // A window that ends inside a byte does nothing: here one bit too many.
  wire.select();
  wire.shiftOut({0x3D, 0x2A, 0x80, 0xA6});
  Bytes oneBit;
  putEntry(oneBit, Cable::kPutData, 0x00);
  putEntry(oneBit, Cable::kPutData, 0x01);
  submit(*port, Cable::kBatch, oneBit, 0, true);
  wire.deselect();
  EXPECT_EQ(status(), 0xAC);

  wire.command({0x3D, 0x2A, 0x80, 0xA6});
  EXPECT_EQ(status(), 0x2D);
  now += DataFlash::kConfigureMicroseconds;
  EXPECT_EQ(status(), 0xAD);
  wire.command({0x3D, 0x2A, 0x80, 0xA7});
  now += DataFlash::kConfigureMicroseconds;
  EXPECT_EQ(status(), 0xAD);
  EXPECT_EQ(chip->pageMode(), PageMode::Binary);
}

struct RegisterCase {
  std::uint8_t opcode;
  std::size_t skip;  // register bytes before the ones checked
  Bytes expected;
};

class RegisterTest : public DataFlashTest, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(RegisterTest, DataFollowsThreeDontCareBytes) {
  const RegisterCase& c = GetParam();
  const Bytes in = wire.command({c.opcode, 0, 0, 0}, c.skip + c.expected.size());
  EXPECT_EQ(Bytes(in.begin() + c.skip, in.end()), c.expected);
  // The library's short framing samples a don't-care byte.
  EXPECT_EQ(wire.command({c.opcode, 0}, 1), Bytes{0xFF});
  // The whole command gives the same bytes, and nothing while the chip is busy.
  Bytes whole(in.size());
  ASSERT_TRUE(chip->readRegister(c.opcode, whole.data(), whole.size()));
  EXPECT_EQ(whole, in);
  chip->setStuckBusy(true);
  EXPECT_FALSE(chip->readRegister(c.opcode, whole.data(), whole.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Registers, RegisterTest,
    ::testing::Values(
        RegisterCase{0x32, 0, Bytes(16, 0x00)}, RegisterCase{0x35, 0, Bytes(16, 0x00)},
        RegisterCase{0x77, 62, {0xFF, 0xFF, DataFlash::kFactoryId[0], DataFlash::kFactoryId[1]}},
        RegisterCase{0x77, 126, {DataFlash::kFactoryId[62], DataFlash::kFactoryId[63], 0xFF}}));

TEST_F(DataFlashTest, WholeCommandsShareTheArrayWithTheLines) {
  chip->forcePageMode(PageMode::Binary);
  const Bytes data{1, 2, 3};
  ASSERT_TRUE(chip->programPage(7 * 512 + 10, data.data(), data.size()));
  EXPECT_EQ(chip->status(), 0x2D);
  Bytes back(3);
  EXPECT_FALSE(chip->read(7 * 512 + 10, back.data(), back.size()));
  now += DataFlash::kProgramMicroseconds;
  EXPECT_EQ(read(7 * 512 + 10, 3), data);

  ASSERT_TRUE(chip->pageToBuffer(7 * 512));
  now += DataFlash::kTransferMicroseconds;
  ASSERT_TRUE(chip->writeBuffer(11, data.data(), 1));
  ASSERT_TRUE(chip->bufferToPage(8 * 512));
  now += DataFlash::kProgramMicroseconds;
  ASSERT_TRUE(chip->read(8 * 512 + 10, back.data(), back.size()));
  EXPECT_EQ(back, (Bytes{1, 1, 3}));
}

TEST_F(DataFlashTest, WholeCommandBinaryPagesSwitch) {
  ASSERT_TRUE(chip->setBinaryPages());
  EXPECT_EQ(chip->status(), 0x2D);
  EXPECT_FALSE(chip->setBinaryPages());
  now += DataFlash::kConfigureMicroseconds;
  EXPECT_EQ(status(), 0xAD);
}

// Without a clock of its own the chip keeps time on the seam's clock, so the
// library's sleeps are what lets a program finish.
TEST(DataFlashSeamClock, BusyTimeRunsOnTheSeamClock) {
  os::hosted::setVirtualClock(true);
  DataFlash chip;
  const std::uint8_t byte = 0x42;
  ASSERT_TRUE(chip.programPage(0, &byte, 1));
  os::Sleep(16);
  EXPECT_EQ(chip.status(), 0x2C);
  os::Sleep(1);
  EXPECT_EQ(chip.status(), 0xAC);
  os::hosted::setVirtualClock(false);
}

}  // namespace
}  // namespace vkm470::sim::test
