// SPDX-License-Identifier: MIT
// The driver channel on its own: overlapped transfers and their codes, long
// control transfers in pieces, the name and the information query, opening,
// and the transfer mutexes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <thread>
#include <vector>

#include "fake_usb.h"
#include "usb/qusb.h"
#include "usb_fixture.h"

namespace usbtest {
namespace {

namespace os = vkm470::os;
using vkm470::usb::TQUSB_BASE;
using Bytes = std::vector<std::uint8_t>;

class ChannelTest : public UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    ASSERT_TRUE(channel.Open(0));
  }

  TQUSB_BASE channel;
};

// --- time-outs ---

struct TimeoutCase {
  const char* name;
  Reply reply;
  std::int32_t status;
  friend void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }
};

class ControlTimeoutTest : public ChannelTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ControlTimeoutTest, WaitEndsAfterTheTimeoutAndCancels) {
  module->script = [reply = GetParam().reply](const Sent&) { return reply; };
  QUSB_REQUEST request{1, 0x33, 0, 0};
  Bytes data(16);
  EXPECT_FALSE(channel.ControlRequest(&request, data.data(), 16, 300));
  EXPECT_EQ(channel.lastError, GetParam().status);
  ASSERT_EQ(module->sent.size(), 1u);
  EXPECT_TRUE(module->sent[0].cancelled);
  EXPECT_EQ(module->sent[0].waitedMs, 300u);
}

INSTANTIATE_TEST_SUITE_P(
    Cancel, ControlTimeoutTest,
    ::testing::Values(
        TimeoutCase{"ResultCannotBeCollected", Reply::pending(), VKM470F_ERR_RESULT_FAILED},
        TimeoutCase{"CancelledRequestEndsWithAllItsBytes", Reply::pendingThenDone(16),
                    VKM470F_ERR_TIMEOUT},
        // A short count after a time-out does not replace the time-out.
        TimeoutCase{"CancelledRequestEndsShort", Reply::pendingThenDone(5), VKM470F_ERR_TIMEOUT}),
    [](const ::testing::TestParamInfo<TimeoutCase>& info) { return info.param.name; });

// --- the three kinds of transfer ---

struct Transfer {
  const char* name;
  RequestKind kind;
  std::int32_t rejected;  // the code of a request the driver refuses at once
  std::function<bool(TQUSB_BASE&, std::uint8_t*, std::uint32_t, std::uint32_t*)> run;
  friend void PrintTo(const Transfer& c, std::ostream* os) { *os << c.name; }
};

const Transfer kTransfers[] = {
    {"Control", RequestKind::IoControl, VKM470F_ERR_REQUEST_REJECTED,
     [](TQUSB_BASE& c, std::uint8_t* data, std::uint32_t length, std::uint32_t*) {
       QUSB_REQUEST request{1, 0x33, 0, 0};
       return c.ControlRequest(&request, data, length, 100);
     }},
    // A bulk count that differs from the length replaces any other code.
    {"WriteBulk", RequestKind::Write, VKM470F_ERR_LENGTH_MISMATCH,
     [](TQUSB_BASE& c, std::uint8_t* data, std::uint32_t length, std::uint32_t* count) {
       return c.WriteBulk(data, length, count, 100);
     }},
    {"ReadBulk", RequestKind::Read, VKM470F_ERR_LENGTH_MISMATCH,
     [](TQUSB_BASE& c, std::uint8_t* data, std::uint32_t length, std::uint32_t* count) {
       return c.ReadBulk(data, length, count, 100);
     }},
};

class TransferTest : public ChannelTest, public ::testing::WithParamInterface<Transfer> {
 protected:
  bool run(std::uint32_t* count = nullptr) {
    std::uint32_t ignored = 0;
    return GetParam().run(channel, data.data(), std::uint32_t(data.size()),
                          count != nullptr ? count : &ignored);
  }
  Bytes data = Bytes(16);
};

TEST_P(TransferTest, RequestRejectedAtOnce) {
  module->script = [](const Sent&) { return Reply::fail(os::kErrorGenFailure); };
  std::uint32_t count = 99;
  EXPECT_FALSE(run(&count));
  EXPECT_EQ(channel.lastError, GetParam().rejected);
  if (GetParam().kind != RequestKind::IoControl) {
    EXPECT_EQ(count, 0u);
  }
  EXPECT_EQ(module->sent.size(), 1u);
}

TEST_P(TransferTest, ClosedChannelSendsNothing) {
  ASSERT_TRUE(channel.Close());
  EXPECT_FALSE(run());
  EXPECT_EQ(channel.lastError, VKM470F_ERR_NOT_OPEN);
  EXPECT_TRUE(module->sent.empty());
}

// A wait that ends abandoned reports it, and hands the mutex back: otherwise
// every later transfer of that kind from another thread would hang.
TEST_P(TransferTest, AbandonedMutexIsReportedAndReleased) {
  const os::Handle mutex = GetParam().kind == RequestKind::IoControl ? channel.controlMutex
                           : GetParam().kind == RequestKind::Write   ? channel.writeMutex
                                                                     : channel.readMutex;
  std::thread([mutex] {
    EXPECT_EQ(os::WaitForSingleObject(mutex, os::kInfinite), os::kWaitObject0);
  }).join();

  EXPECT_FALSE(run());
  EXPECT_EQ(channel.lastError, VKM470F_ERR_MUTEX_FAILED);
  EXPECT_TRUE(module->sent.empty());

  os::Dword elsewhere = os::kWaitFailed;
  std::thread([&] {
    elsewhere = os::WaitForSingleObject(mutex, 0);
    if (elsewhere == os::kWaitObject0) os::ReleaseMutex(mutex);
  }).join();
  EXPECT_EQ(elsewhere, os::kWaitObject0);
  EXPECT_TRUE(run());
}

INSTANTIATE_TEST_SUITE_P(Kinds, TransferTest, ::testing::ValuesIn(kTransfers),
                         [](const ::testing::TestParamInfo<Transfer>& info) {
                           return info.param.name;
                         });

// --- bulk transfers that end short ---

struct ShortCase {
  const char* name;
  RequestKind kind;
  Reply reply;
  std::uint32_t count;
  friend void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }
};

class BulkShortTest : public ChannelTest, public ::testing::WithParamInterface<ShortCase> {};

// Whatever ended the transfer, a bulk count that differs from the length
// reports -1008, and the caller learns how many bytes moved.
TEST_P(BulkShortTest, ReportsLengthMismatchWithTheBytesMoved) {
  const ShortCase& c = GetParam();
  module->onBulk(c.kind, c.reply);
  Bytes data(16);
  std::uint32_t count = 99;
  const bool ok = c.kind == RequestKind::Read ? channel.ReadBulk(data.data(), 16, &count, 50)
                                              : channel.WriteBulk(data.data(), 16, &count, 50);
  EXPECT_FALSE(ok);
  EXPECT_EQ(channel.lastError, VKM470F_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(count, c.count);
  if (c.kind == RequestKind::Read) {
    for (std::uint32_t i = 0; i < c.count; ++i) EXPECT_EQ(data[i], FakeUsb::pattern(i));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, BulkShortTest,
    ::testing::Values(
        ShortCase{"ReadShortAtOnce", RequestKind::Read, Reply::count(12), 12},
        ShortCase{"ReadTimedOutAfterPart", RequestKind::Read, Reply::pendingThenDone(5), 5},
        ShortCase{"ReadTimedOutUncollected", RequestKind::Read, Reply::pending(), 0},
        ShortCase{"WriteShortAtOnce", RequestKind::Write, Reply::count(3), 3},
        ShortCase{"WriteTimedOutAfterPart", RequestKind::Write, Reply::pendingThenDone(7), 7}),
    [](const ::testing::TestParamInfo<ShortCase>& info) { return info.param.name; });

TEST_F(ChannelTest, BulkTransfersMoveTheWholeBufferInOneRequest) {
  Bytes out(10000, 0x5A);
  std::uint32_t count = 0;
  EXPECT_TRUE(channel.WriteBulk(out.data(), 10000, &count, 100));
  EXPECT_EQ(count, 10000u);
  Bytes in(10000);
  EXPECT_TRUE(channel.ReadBulk(in.data(), 10000, &count, 100));
  EXPECT_EQ(count, 10000u);
  EXPECT_EQ(module->log(), (Log{"write 10000", "read 10000"}));
  EXPECT_EQ(module->sent[0].data, out);
}

// --- long control transfers ---

TEST_F(ChannelTest, ReadLongCutsTheDataStageIntoPiecesWithOneRequestRecord) {
  QUSB_REQUEST request{0, 0x33, 0x1234, 0x0005};
  Bytes data(10000);
  EXPECT_TRUE(channel.ControlReadLong(&request, data.data(), 10000, 100));
  EXPECT_EQ(request.direction, 1);
  EXPECT_EQ(module->log(),
            (Log{"33 1 1234 0005 4096", "33 1 1234 0005 4096", "33 1 1234 0005 1808"}));
  // Each piece lands after the one before it.
  for (std::uint32_t i = 0; i < 10000; ++i) {
    ASSERT_EQ(data[i], FakeUsb::pattern(0x00051234 + i % 4096)) << "byte " << i;
  }
}

TEST_F(ChannelTest, WriteLongSendsThePiecesInOrder) {
  QUSB_REQUEST request{1, 0x33, 0, 0};
  Bytes data(10000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = FakeUsb::pattern(std::uint32_t(i));
  EXPECT_TRUE(channel.ControlWriteLong(&request, data.data(), 10000, 100));
  EXPECT_EQ(request.direction, 0);
  ASSERT_EQ(module->log(),
            (Log{"33 0 0000 0000 4096", "33 0 0000 0000 4096", "33 0 0000 0000 1808"}));
  Bytes received;
  for (const Sent& s : module->sent) received.insert(received.end(), s.data.begin(), s.data.end());
  EXPECT_EQ(received, data);
}

TEST_F(ChannelTest, LongTransferWithoutDataIsRefusedButSetsTheDirection) {
  QUSB_REQUEST request{1, 0x33, 0, 0};
  EXPECT_FALSE(channel.ControlWriteLong(&request, nullptr, 16, 100));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(request.direction, 0);

  std::uint8_t data[4];
  request.direction = 0;
  EXPECT_FALSE(channel.ControlReadLong(&request, data, 0, 100));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(request.direction, 1);
  EXPECT_TRUE(module->sent.empty());
}

TEST_F(ChannelTest, LongTransferStopsAtTheFirstFailingPiece) {
  module->script = [this](const Sent&) {
    return module->sent.size() == 2 ? Reply::fail() : Reply::full();
  };
  QUSB_REQUEST request{0, 0x33, 0, 0};
  Bytes data(10000);
  EXPECT_FALSE(channel.ControlReadLong(&request, data.data(), 10000, 100));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_REQUEST_REJECTED);
  EXPECT_EQ(module->sent.size(), 2u);
}

TEST_F(ChannelTest, CommandSendsNoDataStage) {
  QUSB_REQUEST request{0, 0x0C, 0, 0};
  EXPECT_TRUE(channel.ControlCommand(&request));
  EXPECT_EQ(module->log(), (Log{"0C 0 0000 0000 0"}));
}

// --- name and information query ---

TEST_F(ChannelTest, NameAnsweredShortFailsAndTheBufferWasClearedFirst) {
  module->onRequest(0x0B, Reply::count(6));
  char name[8];
  std::memset(name, 0x55, sizeof name);
  EXPECT_FALSE(channel.GetName(name, 8));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(module->log(), (Log{"0B 1 0000 0000 8"}));
  EXPECT_EQ(std::memcmp(name, "VKM470\0\0", 8), 0);
}

TEST_F(ChannelTest, NameNeedsABufferAndAnOpenDevice) {
  EXPECT_FALSE(channel.GetName(nullptr, 8));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_INVALID_ARGUMENT);
  ASSERT_TRUE(channel.Close());
  char name[8];
  EXPECT_FALSE(channel.GetName(name, 8));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_NOT_OPEN);
  EXPECT_TRUE(module->sent.empty());
}

struct TypeCase {
  const char* name;
  Reply reply;
  bool ok;
  std::int32_t status;
  friend void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }
};

class ModuleTypeTest : public ChannelTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(ModuleTypeTest, StoresTheTypeOnlyFromAWholeBlock) {
  module->moduleType = 0x01020304;
  module->script = [reply = GetParam().reply](const Sent&) { return reply; };
  std::uint32_t type = 7;
  EXPECT_EQ(channel.GetModuleType(&type), GetParam().ok);
  EXPECT_EQ(module->log(), (Log{"info 80"}));
  if (GetParam().ok) {
    EXPECT_EQ(type, 0x01020304u);
  } else {
    EXPECT_EQ(channel.lastError, GetParam().status);
    EXPECT_EQ(type, 7u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ModuleTypeTest,
    ::testing::Values(TypeCase{"Whole", Reply::full(), true, 0},
                      TypeCase{"Short", Reply::count(79), false, VKM470F_ERR_LENGTH_MISMATCH},
                      TypeCase{"Refused", Reply::fail(), false, VKM470F_ERR_REQUEST_REJECTED}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return info.param.name; });

TEST_F(ChannelTest, ModuleTypeOnAClosedChannelStoresNothing) {
  ASSERT_TRUE(channel.Close());
  std::uint32_t type = 7;
  EXPECT_FALSE(channel.GetModuleType(&type));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_NOT_OPEN);
  EXPECT_EQ(type, 7u);
  EXPECT_TRUE(module->sent.empty());
}

// --- opening ---

TEST_F(ChannelTest, OpenTakesTheNumberedDeviceExclusivelyForReadAndWrite) {
  auto third = addModule(3);
  TQUSB_BASE other;
  EXPECT_TRUE(other.Open(3));
  EXPECT_EQ(third->opens, 1);
  EXPECT_EQ(third->lastAccess, os::kGenericRead | os::kGenericWrite);
  EXPECT_EQ(third->lastShare, 0u);
  EXPECT_NE(other.GetHandle(), os::invalidHandle());
}

TEST_F(ChannelTest, OpenOnAnOpenChannelClosesTheOldHandleFirst) {
  // The module serves one handle at a time: the reopen works only if the
  // channel let go of the first.
  EXPECT_TRUE(channel.Open(0));
  EXPECT_EQ(module->opens, 2);
  EXPECT_EQ(module->openHandles, 1);
}

TEST_F(ChannelTest, OpenFailuresLeaveTheChannelClosed) {
  EXPECT_FALSE(channel.Open(5));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_OPEN_FAILED);
  EXPECT_EQ(channel.GetHandle(), os::invalidHandle());
  EXPECT_EQ(module->openHandles, 0);
  EXPECT_FALSE(channel.OpenByName(nullptr));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_INVALID_ARGUMENT);
  EXPECT_FALSE(channel.OpenByName(""));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace usbtest
