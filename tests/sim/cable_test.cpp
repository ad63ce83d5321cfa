// SPDX-License-Identifier: MIT
// The cable model's side of the port driver's requests, its lines, the DSP
// reset pulse and the faults it can be told to show.
#include <gtest/gtest.h>

#include "wire.h"

namespace vkm470::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class CableTest : public SimFixture, public ::testing::Test {};

TEST_F(CableTest, PortQueryAnswersTwoInFourBytes) {
  const TestRequest query = submit(*port, Cable::kPortQuery, {}, 4);
  EXPECT_EQ(query.completions, 1);
  EXPECT_EQ(query.status, os::kErrorSuccess);
  EXPECT_EQ(query.bytes, 4u);
  EXPECT_EQ(query.result(), (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(submit(*port, Cable::kPortQuery, {}, 3).status, os::kErrorInsufficientBuffer);
}

TEST_F(CableTest, RegisterWrites) {
  const TestRequest control = writeRegister(*port, 2, 0x02);
  EXPECT_EQ(control.status, os::kErrorSuccess);
  EXPECT_EQ(control.bytes, 0u);
  EXPECT_EQ(cable.controlRegister(), 0x02);

  EXPECT_EQ(writeRegister(*port, 0, 0x41).status, os::kErrorSuccess);
  EXPECT_EQ(cable.dataRegister(), 0x41);
  // The status register is read-only; a short input is malformed.
  EXPECT_EQ(writeRegister(*port, 1, 0).status, os::kErrorInvalidParameter);
  EXPECT_EQ(submit(*port, Cable::kRegisterWrite, {0, 0, 0, 0}, 0).status,
            os::kErrorInvalidParameter);
  EXPECT_EQ(cable.dataRegister(), 0x41);
}

TEST_F(CableTest, BatchReturnsTheBufferWithStatusSamples) {
  // Status bit 7 carries SO inverted: idle SO is high, the status byte 0xAC
  // starts with bits 1, 0.
  Bytes batch;
  putEntry(batch, Cable::kGetStatus, 0);
  putEntry(batch, Cable::kPutData, 0x41);
  for (int bit = 7; bit >= 0; --bit) {
    const std::uint16_t si = (DataFlash::kStatusRead >> bit & 1) ? 0x40 : 0x00;
    putEntry(batch, Cable::kPutData, si);
    putEntry(batch, Cable::kPutData, si | 0x01);
  }
  for (int bit = 0; bit < 2; ++bit) {
    putEntry(batch, Cable::kPutData, 0x40);
    putEntry(batch, Cable::kPutData, 0x41);
    putEntry(batch, Cable::kGetStatus, 0);
  }
  const TestRequest done = submit(*port, Cable::kBatch, batch, 0, true);
  ASSERT_EQ(done.status, os::kErrorSuccess);
  EXPECT_EQ(done.bytes, batch.size());
  const Bytes& out = done.result();
  EXPECT_EQ(out[2], 0x7F);
  EXPECT_EQ(out[out.size() - 14], 0x7F);
  EXPECT_EQ(out[out.size() - 2], 0xFF);
  EXPECT_EQ(Bytes(out.begin() + 4, out.end() - 24), Bytes(batch.begin() + 4, batch.end() - 24));
}

TEST_F(CableTest, EmptyBatchWithoutInputSucceedsAndMovesNoLine) {
  const TestRequest done = submit(*port, Cable::kBatch, {}, 4);
  EXPECT_EQ(done.status, os::kErrorSuccess);
  EXPECT_EQ(done.bytes, 0u);
  EXPECT_EQ(cable.dataRegister(), 0x43);
}

TEST_F(CableTest, MalformedBatchMovesNoLine) {
  Bytes unknown;
  putEntry(unknown, Cable::kPutData, 0x00);
  putEntry(unknown, 0x0A83, 0);
  Bytes ragged;
  putEntry(ragged, Cable::kPutData, 0x00);
  ragged.pop_back();
  for (const Bytes& batch : {unknown, ragged}) {
    const TestRequest done = submit(*port, Cable::kBatch, batch, 0, true);
    EXPECT_EQ(done.status, os::kErrorInvalidParameter);
    EXPECT_EQ(done.bytes, 0u);
    EXPECT_EQ(cable.dataRegister(), 0x43);
  }
}

TEST_F(CableTest, OneHandleAtATime) {
  Dword error = 0;
  EXPECT_EQ(cable.open(os::kGenericRead | os::kGenericWrite, 3, &error), nullptr);
  EXPECT_EQ(error, os::kErrorSharingViolation);
  port.reset();
  EXPECT_NE(cable.open(os::kGenericRead | os::kGenericWrite, 0, &error), nullptr);
}

struct ResetCase {
  const char* name;
  std::uint64_t lowMicroseconds;
  bool clocked;
  unsigned resets;
};

class ResetTest : public CableTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetTest, LongSelectPulseResetsTheDsp) {
  const ResetCase& c = GetParam();
  wire.select();
  now += c.lowMicroseconds / 2;
  if (c.clocked) wire.shiftOut({DataFlash::kStatusRead});
  now += c.lowMicroseconds - c.lowMicroseconds / 2;
  wire.deselect();
  EXPECT_EQ(cable.dspResets(), c.resets);
}

INSTANTIATE_TEST_SUITE_P(Pulses, ResetTest,
                         ::testing::Values(ResetCase{"Library", 110000, false, 1},
                                           ResetCase{"Shortest", 100000, false, 1},
                                           ResetCase{"TooShort", 99999, false, 0},
                                           ResetCase{"LongCommand", 200000, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PresenceCase {
  const char* name;
  Cable::Presence presence;
  Dword status;
  Bytes answer;
};

class PresenceTest : public CableTest, public ::testing::WithParamInterface<PresenceCase> {};

TEST_P(PresenceTest, AbsentCableFailsThePortQuery) {
  cable.setPresence(GetParam().presence);
  const TestRequest query = submit(*port, Cable::kPortQuery, {}, 4);
  EXPECT_EQ(query.status, GetParam().status);
  if (query.status == os::kErrorSuccess) {
    EXPECT_EQ(query.result(), GetParam().answer);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PresenceTest,
    ::testing::Values(
        PresenceCase{
            "AnswersZero", Cable::Presence::QueryAnswersZero, os::kErrorSuccess, {0, 0, 0, 0}},
        PresenceCase{"QueryFails", Cable::Presence::QueryFails, os::kErrorGenFailure, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CableTest, CableStopsAnsweringAfterSomeRequests) {
  cable.stopAnsweringAfter(2);
  EXPECT_EQ(writeRegister(*port, 0, 0x41).status, os::kErrorSuccess);
  EXPECT_EQ(submit(*port, Cable::kPortQuery, {}, 4).status, os::kErrorSuccess);
  for (int i = 0; i < 3; ++i) {
    const TestRequest late = writeRegister(*port, 0, 0x43);
    EXPECT_EQ(late.completions, 1);
    EXPECT_EQ(late.status, os::kErrorGenFailure);
  }
  EXPECT_EQ(cable.dataRegister(), 0x41);
}

TEST_F(CableTest, ChipThatStaysBusy) {
  chip->setStuckBusy(true);
  wire.command({DataFlash::kBufferWrite, 0, 0, 0, 0x12});
  wire.command(addressed(DataFlash::kBufferToPage, 0));
  now += 10'000'000;
  EXPECT_EQ(status(), 0x2C);
  chip->setStuckBusy(false);
  EXPECT_EQ(status(), 0xAC);
  EXPECT_EQ(chip->peek(0, 0), 0xFF);
}

TEST_F(CableTest, FlippedBitOnReadLeavesTheArrayAlone) {
  chip->forcePageMode(PageMode::Binary);
  chip->poke(2, 3, 0x0F);
  chip->flipOnRead(2 * 512 + 3, 0x80);
  EXPECT_EQ(read(2 * 512 + 2, 3), (Bytes{0xFF, 0x8F, 0xFF}));
  std::uint8_t byte = 0;
  ASSERT_TRUE(chip->read(2 * 512 + 3, &byte, 1));
  EXPECT_EQ(byte, 0x8F);
  EXPECT_EQ(chip->peek(2, 3), 0x0F);
  chip->clearFlip();
  EXPECT_EQ(read(2 * 512 + 3, 1), Bytes{0x0F});
}

}  // namespace
}  // namespace vkm470::sim::test
