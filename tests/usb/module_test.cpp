// SPDX-License-Identifier: MIT
// Module control and flash over USB through the exports: the requests on the
// wire, the program the record believes runs, time-outs, and refused buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "usb_fixture.h"

namespace usbtest {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Call = std::function<std::int32_t(VKM470F_DEVICE*)>;

const std::string kLeave = "0F 0 3C00 0000 0";  // start the program at 0x3C00
const std::string kName = "0B 1 0000 0000 16";
const std::string kDsp = "05 0 0000 0000 0";
const std::string kDescriptor = "0E 1 2FF0 8300 208";

std::int32_t name(VKM470F_DEVICE* d) {
  char text[16];
  return VKM470F_GetDeviceName(d, text, 16);
}
std::int32_t descriptor(VKM470F_DEVICE* d) {
  std::uint8_t block[208];
  return VKM470F_GetDeviceDescr(d, block);
}
std::int32_t dsp(VKM470F_DEVICE* d) {
  std::uint8_t none[2] = {};
  return VKM470F_DSP_Write_Command(d, 0, 0, none, 0, 100);
}
std::int32_t reset(VKM470F_DEVICE* d) { return VKM470F_ResetDSP(d); }
std::int32_t flash(VKM470F_DEVICE* d) {
  std::uint8_t data[16] = {};
  return VKM470F_ProgrammDSPFlash(d, 0, data, 16, 100);
}
std::int32_t flashNothing(VKM470F_DEVICE* d) {
  return VKM470F_ProgrammDSPFlash(d, 0, nullptr, 0, 100);
}
std::int32_t bulk(VKM470F_DEVICE* d) {
  std::uint8_t data[4] = {};
  std::uint32_t written = 0;
  return VKM470F_SimpleWriteBulk(d, data, 4, &written, 100);
}
// Starts the program at 0x3C00 behind the record's back.
std::int32_t ownLeave(VKM470F_DEVICE* d) {
  QUSB_REQUEST request{0, 0x0F, 0x3C00, 0};
  std::uint8_t none = 0;
  return VKM470F_SimpleControlQDevice(d, &request, &none, 0, 1000);
}
Call call(std::uint16_t address) {
  return [address](VKM470F_DEVICE* d) { return VKM470F_CallApplication(d, address); };
}

// --- which program runs ---

struct StateCase {
  const char* name;
  std::vector<Call> calls;  // each succeeds
  Log log;
  std::int32_t running;
  friend void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }
};

class StateTest : public UsbTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTest, RequestsGoOutAfterTheStepTheirProgramNeeds) {
  openModule();
  for (const Call& c : GetParam().calls) EXPECT_EQ(c(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(module->log(), GetParam().log);
  EXPECT_EQ(dev.applicationRunning, GetParam().running);
}

INSTANTIATE_TEST_SUITE_P(
    AfterOpen, StateTest,
    ::testing::Values(
        StateCase{"DspCommand", {dsp}, {kDsp}, 1},
        StateCase{"DspCommandAfterName", {name, dsp}, {kLeave, kName, kEnter, kDsp}, 1},
        StateCase{"TwoNames", {name, name}, {kLeave, kName, kName}, 0},
        StateCase{"Descriptor", {descriptor}, {kLeave, kDescriptor}, 0},
        StateCase{"ResetKeepsTheApplication", {reset, dsp}, {"0C 0 0000 0000 0", kDsp}, 1},
        StateCase{"FlashAfterName", {name, flash}, {kLeave, kName, kEnter, "09 0 0000 0000 16"}, 1},
        StateCase{"FlashOfNothingAfterName", {name, flashNothing}, {kLeave, kName, kEnter}, 1},
        StateCase{"BulkAfterName", {name, bulk}, {kLeave, kName, kEnter, "write 4"}, 1},
        StateCase{"CallApplicationWhenItRuns", {call(0)}, {}, 1},
        StateCase{"CallOtherProgramOnce", {call(0x3C00), call(0x3C00)}, {kLeave}, 0},
        StateCase{"CallApplicationAfterOther", {call(0x3C00), call(0)}, {kLeave, kEnter}, 1},
        StateCase{"CallAnyOtherAddressEveryTime",
                  {call(0x1234), call(0x1234)},
                  {"0F 0 1234 0000 0", "0F 0 1234 0000 0"},
                  0},
        StateCase{
            "CallAnyOtherAddressThenName", {call(0x1234), name}, {"0F 0 1234 0000 0", kName}, 0},
        // The caller's own request changes the module, not the record.
        StateCase{"OwnRequestLeavesTheFlag", {ownLeave, dsp}, {kLeave, kDsp}, 1}),
    [](const ::testing::TestParamInfo<StateCase>& info) { return info.param.name; });

TEST_F(UsbTest, CallOtherProgramOnANeverOpenedRecordSendsNothing) {
  EXPECT_EQ(VKM470F_CallApplication(&dev, 0x3C00), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_CallApplication(&dev, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(module->opens, 0);
}

struct FailCase {
  const char* name;
  bool applicationAtStart;
  std::uint16_t failing;  // the request the module refuses
  Reply reply;
  Call call;
  std::int32_t status;
  Log log;
  std::int32_t running;
  friend void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
};

class FailTest : public UsbTest, public ::testing::WithParamInterface<FailCase> {};

// Only a call-application request that succeeded changes the record; a failed
// state step ends the export before its own request.
TEST_P(FailTest, FailedRequestEndsTheExportAndKeepsTheState) {
  const FailCase& c = GetParam();
  if (!c.applicationAtStart) module->onRequest(0x0F, Reply::fail());
  ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
  ASSERT_EQ(dev.applicationRunning, c.applicationAtStart ? 1 : 0);
  module->sent.clear();
  module->onRequest(c.failing, c.reply);
  EXPECT_EQ(c.call(&dev), c.status);
  EXPECT_EQ(module->log(), c.log);
  EXPECT_EQ(dev.applicationRunning, c.running);
}

INSTANTIATE_TEST_SUITE_P(Refusals, FailTest,
                         ::testing::Values(FailCase{"LeaveForName",
                                                    true,
                                                    0x0F,
                                                    Reply::fail(),
                                                    name,
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kLeave},
                                                    1},
                                           FailCase{"CallOtherProgram",
                                                    true,
                                                    0x0F,
                                                    Reply::fail(),
                                                    call(0x3C00),
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kLeave},
                                                    1},
                                           FailCase{"CallApplication",
                                                    false,
                                                    0x0F,
                                                    Reply::fail(),
                                                    call(0),
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kEnter},
                                                    0},
                                           FailCase{"EnterForDspCommand",
                                                    false,
                                                    0x0F,
                                                    Reply::fail(),
                                                    dsp,
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kEnter},
                                                    0},
                                           FailCase{"EnterForFlash",
                                                    false,
                                                    0x0F,
                                                    Reply::fail(),
                                                    flash,
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kEnter},
                                                    0},
                                           FailCase{"EnterForBulk",
                                                    false,
                                                    0x0F,
                                                    Reply::fail(),
                                                    bulk,
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kEnter},
                                                    0},
                                           FailCase{"EnterForReset",
                                                    false,
                                                    0x0F,
                                                    Reply::fail(),
                                                    reset,
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kEnter},
                                                    0},
                                           FailCase{"DspCommandAfterEnter",
                                                    false,
                                                    0x05,
                                                    Reply::fail(),
                                                    dsp,
                                                    VKM470F_ERR_REQUEST_REJECTED,
                                                    {kEnter, kDsp},
                                                    1},
                                           FailCase{"DescriptorShort",
                                                    true,
                                                    0x0E,
                                                    Reply::count(100),
                                                    descriptor,
                                                    VKM470F_ERR_LENGTH_MISMATCH,
                                                    {kLeave, kDescriptor},
                                                    0}),
                         [](const ::testing::TestParamInfo<FailCase>& info) {
                           return info.param.name;
                         });

TEST_F(UsbTest, NameAndDescriptorArriveInTheCallersBuffers) {
  openModule();
  char text[16];
  std::memset(text, 0x55, sizeof text);
  ASSERT_EQ(VKM470F_GetDeviceName(&dev, text, 16), VKM470F_SUCCESS);
  EXPECT_EQ(std::memcmp(text, "VKM470\0\0\0\0\0\0\0\0\0\0", 16), 0);
  std::uint8_t block[208];
  ASSERT_EQ(VKM470F_GetDeviceDescr(&dev, block), VKM470F_SUCCESS);
  for (std::uint32_t i = 0; i < 208; ++i) {
    ASSERT_EQ(block[i], FakeUsb::pattern(0x83002FF0 + i)) << "byte " << i;
  }
}

// --- DSP commands ---

struct LengthCase {
  std::uint32_t length;
  std::int32_t status;
  friend void PrintTo(const LengthCase& c, std::ostream* os) { *os << "length " << c.length; }
};

class DspLengthTest : public UsbTest, public ::testing::WithParamInterface<LengthCase> {};

// One request of up to 4096 bytes, even, never cut into pieces.
TEST_P(DspLengthTest, OnlyEvenLengthsUpTo4096AreSent) {
  openModule();
  const LengthCase& c = GetParam();
  Bytes data(c.length);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 3 + 1);
  EXPECT_EQ(VKM470F_DSP_Write_Command(&dev, 0, 0, data.data(), c.length, 100), c.status);
  Bytes back(c.length);
  EXPECT_EQ(VKM470F_DSP_Read_Command(&dev, 0, 0, back.data(), c.length, 100), c.status);
  if (c.status != VKM470F_SUCCESS) {
    EXPECT_TRUE(module->sent.empty());
    return;
  }
  const std::string length = std::to_string(c.length);
  ASSERT_EQ(module->log(), (Log{"05 0 0000 0000 " + length, "05 1 0000 0000 " + length}));
  EXPECT_EQ(module->sent[0].data, data);
}

INSTANTIATE_TEST_SUITE_P(Lengths, DspLengthTest,
                         ::testing::Values(LengthCase{4096, VKM470F_SUCCESS},
                                           LengthCase{0, VKM470F_SUCCESS},
                                           LengthCase{2, VKM470F_SUCCESS},
                                           LengthCase{4097, VKM470F_ERR_NO_OBJECT},
                                           LengthCase{4098, VKM470F_ERR_NO_OBJECT},
                                           LengthCase{3, VKM470F_ERR_NO_OBJECT}));

TEST_F(UsbTest, DspCommandsCarryTheCallersValueAndIndex) {
  openModule();
  const std::uint8_t out[4] = {1, 2, 3, 4};
  ASSERT_EQ(VKM470F_DSP_Write_Command(&dev, 0xBEEF, 0x0102, out, 4, 100), VKM470F_SUCCESS);
  std::uint8_t in[8] = {};
  ASSERT_EQ(VKM470F_DSP_Read_Command(&dev, 0x1234, 0x0005, in, 8, 100), VKM470F_SUCCESS);
  ASSERT_EQ(module->log(), (Log{"05 0 BEEF 0102 4", "05 1 1234 0005 8"}));
  EXPECT_EQ(module->sent[0].data, Bytes(out, out + 4));
  for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(in[i], FakeUsb::pattern(0x00051234 + i));
}

// --- flash ---

struct FlashCase {
  std::uint32_t address;
  std::uint32_t length;
  std::vector<std::string> pieces;  // value, index and length of each request
  friend void PrintTo(const FlashCase& c, std::ostream* os) {
    *os << std::hex << c.address << std::dec << " length " << c.length;
  }
};

class FlashTest : public UsbTest, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(FlashTest, WriteGoesInPiecesOf4096AtTheirAddresses) {
  openModule();
  const FlashCase& c = GetParam();
  Bytes data(c.length);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = FakeUsb::pattern(std::uint32_t(i) * 5);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, c.address, data.data(), c.length, 100), VKM470F_SUCCESS);
  Log expected;
  for (const std::string& piece : c.pieces) expected.push_back("09 0 " + piece);
  ASSERT_EQ(module->log(), expected);
  Bytes received;
  for (const Sent& s : module->sent) received.insert(received.end(), s.data.begin(), s.data.end());
  EXPECT_EQ(received, data);
}

TEST_P(FlashTest, ReadGoesInPiecesOf4096AtTheirAddresses) {
  openModule();
  const FlashCase& c = GetParam();
  Bytes data(c.length);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, c.address, data.data(), c.length, 100), VKM470F_SUCCESS);
  Log expected;
  for (const std::string& piece : c.pieces) expected.push_back("0A 1 " + piece);
  ASSERT_EQ(module->log(), expected);
  for (std::uint32_t i = 0; i < c.length; ++i) {
    ASSERT_EQ(data[i], FakeUsb::pattern(c.address + i)) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, FlashTest,
    ::testing::Values(
        FlashCase{0x0001F000, 4096, {"F000 0001 4096"}},
        FlashCase{0x0001F000, 4097, {"F000 0001 4096", "0000 0002 1"}},
        // The second piece carries into the high half of the address.
        FlashCase{0x0001F000, 10000, {"F000 0001 4096", "0000 0002 4096", "1000 0002 1808"}},
        FlashCase{0x00123456, 1, {"3456 0012 1"}}, FlashCase{0x00123456, 0, {}}));

TEST_F(UsbTest, FlashTransferStopsAtTheFailingPiece) {
  openModule();
  module->script = [this](const Sent&) {
    return module->sent.size() == 2 ? Reply::fail() : Reply::full();
  };
  Bytes data(10000);
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), 10000, 100),
            VKM470F_ERR_REQUEST_REJECTED);
  EXPECT_EQ(module->log(), (Log{"09 0 0000 0000 4096", "09 0 1000 0000 4096"}));
  module->sent.clear();
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, data.data(), 10000, 100), VKM470F_ERR_REQUEST_REJECTED);
  EXPECT_EQ(module->log(), (Log{"0A 1 0000 0000 4096", "0A 1 1000 0000 4096"}));
}

struct SpecialCase {
  std::uint32_t command;
  std::uint32_t length;
  std::string line;
  friend void PrintTo(const SpecialCase& c, std::ostream* os) { *os << c.line; }
};

class SpecialTest : public UsbTest, public ::testing::WithParamInterface<SpecialCase> {};

// One request; with data it always reads from the module. The number is the
// firmware's business: the low 16 bits go out unchecked.
TEST_P(SpecialTest, CommandGoesOutInTheIndex) {
  openModule();
  const SpecialCase& c = GetParam();
  std::uint8_t data[8] = {};
  EXPECT_EQ(VKM470F_SpecialDSPFlashCommand(&dev, c.command, data, c.length), VKM470F_SUCCESS);
  EXPECT_EQ(module->log(), (Log{c.line}));
  for (std::uint32_t i = 0; i < c.length; ++i) {
    EXPECT_EQ(data[i], FakeUsb::pattern((c.command & 0xFFFF) << 16 | i));
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, SpecialTest,
                         ::testing::Values(SpecialCase{1, 0, "08 0 0000 0001 0"},
                                           SpecialCase{2, 8, "08 1 0000 0002 8"},
                                           SpecialCase{0x00010001, 0, "08 0 0000 0001 0"},
                                           SpecialCase{0x7777, 8, "08 1 0000 7777 8"}));

// --- time-outs ---

struct WaitCase {
  const char* name;
  std::function<bool(const Sent&)> stalls;  // the request that never completes
  Call call;
  std::int32_t status;
  std::string line;
  Dword waitedMs;
  friend void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }
};

bool control(const Sent& s, std::uint16_t request) {
  return s.kind == RequestKind::IoControl && s.setup.request == request;
}

class WaitTest : public UsbTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTest, RequestIsGivenUpAfterItsTimeout) {
  openModule();
  const WaitCase& c = GetParam();
  module->script = [stalls = c.stalls](const Sent& s) {
    return stalls(s) ? Reply::pending() : Reply::full();
  };
  EXPECT_EQ(c.call(&dev), c.status);
  ASSERT_FALSE(module->sent.empty());
  const Sent& last = module->sent.back();
  EXPECT_EQ(describe(last), c.line);
  EXPECT_TRUE(last.cancelled);
  EXPECT_EQ(last.waitedMs, c.waitedMs);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WaitTest,
    ::testing::Values(
        WaitCase{"Name", [](const Sent& s) { return control(s, 0x0B); }, name,
                 VKM470F_ERR_RESULT_FAILED, kName, 200},
        WaitCase{"Descriptor", [](const Sent& s) { return control(s, 0x0E); }, descriptor,
                 VKM470F_ERR_RESULT_FAILED, kDescriptor, 2000},
        WaitCase{"CallApplication", [](const Sent& s) { return control(s, 0x0F); }, call(0x1234),
                 VKM470F_ERR_RESULT_FAILED, "0F 0 1234 0000 0", 1000},
        WaitCase{"Reset", [](const Sent& s) { return control(s, 0x0C); }, reset,
                 VKM470F_ERR_RESULT_FAILED, "0C 0 0000 0000 0", 1000},
        WaitCase{"Special", [](const Sent& s) { return control(s, 0x08); },
                 [](VKM470F_DEVICE* d) { return VKM470F_SpecialDSPFlashCommand(d, 1, nullptr, 0); },
                 VKM470F_ERR_RESULT_FAILED, "08 0 0000 0001 0", 500},
        WaitCase{"DspCommand", [](const Sent& s) { return control(s, 0x05); },
                 [](VKM470F_DEVICE* d) {
                   std::uint8_t data[2];
                   return VKM470F_DSP_Read_Command(d, 0, 0, data, 2, 1234);
                 },
                 VKM470F_ERR_RESULT_FAILED, "05 1 0000 0000 2", 1234},
        WaitCase{"FlashWrite", [](const Sent& s) { return control(s, 0x09); },
                 [](VKM470F_DEVICE* d) {
                   std::uint8_t data[16] = {};
                   return VKM470F_ProgrammDSPFlash(d, 0, data, 16, 777);
                 },
                 VKM470F_ERR_RESULT_FAILED, "09 0 0000 0000 16", 777},
        WaitCase{"FlashRead", [](const Sent& s) { return control(s, 0x0A); },
                 [](VKM470F_DEVICE* d) {
                   std::uint8_t data[16];
                   return VKM470F_ReadDSPFlash(d, 0, data, 16, 778);
                 },
                 VKM470F_ERR_RESULT_FAILED, "0A 1 0000 0000 16", 778},
        WaitCase{"OwnRequest", [](const Sent& s) { return control(s, 0x42); },
                 [](VKM470F_DEVICE* d) {
                   QUSB_REQUEST request{1, 0x42, 1, 2};
                   std::uint8_t data[4];
                   return VKM470F_SimpleControlQDevice(d, &request, data, 4, 321);
                 },
                 VKM470F_ERR_RESULT_FAILED, "42 1 0001 0002 4", 321},
        // A bulk transfer that moved nothing reports the count mismatch.
        WaitCase{"BulkRead", [](const Sent& s) { return s.kind == RequestKind::Read; },
                 [](VKM470F_DEVICE* d) {
                   std::uint8_t data[4];
                   std::uint32_t count = 0;
                   return VKM470F_SimpleReadBulk(d, data, 4, &count, 55);
                 },
                 VKM470F_ERR_LENGTH_MISMATCH, "read 4", 55}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

TEST_F(UsbTest, BulkReadThatTimesOutReportsTheBytesReceived) {
  openModule();
  module->onBulk(RequestKind::Read, Reply::pendingThenDone(6));
  Bytes data(16);
  std::uint32_t count = 0;
  EXPECT_EQ(VKM470F_SimpleReadBulk(&dev, data.data(), 16, &count, 100),
            VKM470F_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(count, 6u);
}

// --- buffers that are not there ---

struct NullCase {
  const char* name;
  Call call;
  friend void PrintTo(const NullCase& c, std::ostream* os) { *os << c.name; }
};

class NullBufferTest : public UsbTest, public ::testing::WithParamInterface<NullCase> {};

// Refused before anything is sent, state steps included, whichever program
// the record believes runs.
TEST_P(NullBufferTest, MissingBufferIsRefusedAndNothingIsSent) {
  for (const bool application : {true, false}) {
    module->script = nullptr;
    if (!application) module->onRequest(0x0F, Reply::fail());
    ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
    ASSERT_EQ(dev.applicationRunning, application ? 1 : 0);
    module->script = nullptr;
    module->sent.clear();
    EXPECT_EQ(GetParam().call(&dev), VKM470F_ERR_NO_OBJECT) << "application " << application;
    EXPECT_EQ(module->log(), Log{}) << "application " << application;
    EXPECT_EQ(dev.applicationRunning, application ? 1 : 0);
  }
}

std::uint8_t scratch[16];
std::uint32_t count;
QUSB_REQUEST ownRequest{1, 0x42, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Exports, NullBufferTest,
    ::testing::Values(
        NullCase{
            "DspRead",
            [](VKM470F_DEVICE* d) { return VKM470F_DSP_Read_Command(d, 0, 0, nullptr, 8, 100); }},
        NullCase{
            "DspWrite",
            [](VKM470F_DEVICE* d) { return VKM470F_DSP_Write_Command(d, 0, 0, nullptr, 8, 100); }},
        NullCase{"Descriptor",
                 [](VKM470F_DEVICE* d) { return VKM470F_GetDeviceDescr(d, nullptr); }},
        NullCase{"Name", [](VKM470F_DEVICE* d) { return VKM470F_GetDeviceName(d, nullptr, 16); }},
        NullCase{
            "FlashWrite",
            [](VKM470F_DEVICE* d) { return VKM470F_ProgrammDSPFlash(d, 0, nullptr, 16, 100); }},
        NullCase{"FlashRead",
                 [](VKM470F_DEVICE* d) { return VKM470F_ReadDSPFlash(d, 0, nullptr, 16, 100); }},
        NullCase{
            "Special",
            [](VKM470F_DEVICE* d) { return VKM470F_SpecialDSPFlashCommand(d, 2, nullptr, 8); }},
        NullCase{"OwnRequestData",
                 [](VKM470F_DEVICE* d) {
                   return VKM470F_SimpleControlQDevice(d, &ownRequest, nullptr, 8, 100);
                 }},
        NullCase{"OwnRequestRecord",
                 [](VKM470F_DEVICE* d) {
                   return VKM470F_SimpleControlQDevice(d, nullptr, scratch, 0, 100);
                 }},
        NullCase{
            "BulkReadData",
            [](VKM470F_DEVICE* d) { return VKM470F_SimpleReadBulk(d, nullptr, 8, &count, 100); }},
        NullCase{
            "BulkReadCount",
            [](VKM470F_DEVICE* d) { return VKM470F_SimpleReadBulk(d, scratch, 8, nullptr, 100); }},
        NullCase{
            "BulkWriteData",
            [](VKM470F_DEVICE* d) { return VKM470F_SimpleWriteBulk(d, nullptr, 8, &count, 100); }},
        NullCase{
            "BulkWriteCount",
            [](VKM470F_DEVICE* d) { return VKM470F_SimpleWriteBulk(d, scratch, 8, nullptr, 100); }},
        NullCase{"SearchList",
                 [](VKM470F_DEVICE* d) { return VKM470F_SearchDevices(d, nullptr, 3); }}),
    [](const ::testing::TestParamInfo<NullCase>& info) { return info.param.name; });

TEST_F(UsbTest, ZeroLengthNeedsNoBuffer) {
  openModule();
  EXPECT_EQ(VKM470F_DSP_Write_Command(&dev, 0, 0, nullptr, 0, 100), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_SimpleControlQDevice(&dev, &ownRequest, nullptr, 0, 100), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, nullptr, 0, 100), VKM470F_SUCCESS);
  EXPECT_EQ(module->log(), (Log{kDsp, "42 1 0000 0000 0"}));
}

}  // namespace
}  // namespace usbtest
