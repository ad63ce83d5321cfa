// SPDX-License-Identifier: MIT
// The streaming workers on a fake module: slot set-up, transfers in flight,
// strict slot order, whole 512-byte units, stops on failures, and a shutdown
// that outwaits every cancelled transfer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "fake_module.h"
#include "hosted.h"
#include "stream/threads.h"

namespace streamtest {
namespace {

using vkm470::stream::TFIFO_BASE_BYTE;
using vkm470::stream::TFIFOThread;
using vkm470::stream::TReadFIFOThread;
using vkm470::stream::TThread;
using vkm470::stream::TWriteFIFOThread;

// The application's side of a worker's ring, as the bulk FIFO is: each move
// wakes the worker if it waits for it.
std::string drain(TFIFOThread& worker) {
  std::string out(worker.ring().GetReadReady(), '\0');
  EXPECT_TRUE(worker.ring().Read(out.data(), std::uint32_t(out.size())));
  worker.roomWait.notify();
  return out;
}

void queue(TFIFOThread& worker, std::size_t bytes, char fill = 'q') {
  const std::string data(bytes, fill);
  ASSERT_TRUE(worker.ring().Write(data.data(), std::uint32_t(bytes)));
  worker.dataWait.notify();
}

bool ended(TThread& worker) {
  return worker.handle == vkm470::os::invalidHandle() ||
         vkm470::os::WaitForSingleObject(worker.handle, 10000) == vkm470::os::kWaitObject0;
}

class Workers : public ::testing::Test {
 protected:
  void SetUp() override {
    hosted::registerDevice("QDev7", module);
    device = os::CreateFile("\\\\.\\QDev7", os::kGenericRead | os::kGenericWrite, 0,
                            os::kOpenExisting, os::kFileFlagOverlapped);
    ASSERT_NE(device, os::invalidHandle());
  }
  void TearDown() override {
    os::CloseHandle(device);
    hosted::unregisterDevice("QDev7");
  }

  std::shared_ptr<FakeModule> module = std::make_shared<FakeModule>();
  os::Handle device = os::invalidHandle();
};

TEST_F(Workers, BlockSizesAndRingCapacities) {
  struct Case {
    bool read;
    std::uint32_t blockSize, fifoSize;
    std::uint32_t expectBlock, expectRing;
  };
  const Case cases[] = {
      {true, 1000, 100, 512, 512},       {true, 511, 100, 0, 100},
      {true, 4096, 65536, 4096, 65536},  {false, 1000, 100, 1000, 1000},
      {false, 700, 0x10000, 700, 65536},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.read ? "read " : "write ") << c.blockSize);
    if (c.read) {
      TReadFIFOThread worker(device, 1, c.blockSize, c.fifoSize);
      EXPECT_EQ(worker.blockSize, c.expectBlock);
      EXPECT_EQ(worker.ring().GetSize(), c.expectRing);
      EXPECT_FALSE(worker.running());
    } else {
      TWriteFIFOThread worker(device, 1, c.blockSize, c.fifoSize);
      EXPECT_EQ(worker.blockSize, c.expectBlock);
      EXPECT_EQ(worker.ring().GetSize(), c.expectRing);
    }
  }
}

TEST_F(Workers, ReaderKeepsEverySlotInFlightAndStoresCompletionsInSlotOrder) {
  TReadFIFOThread reader(device, 3, 1024, 8192);
  reader.Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldReads.size() == 3; }));
  for (hosted::Request* read :
       module->get<std::deque<hosted::Request*>>([](ModuleState& s) { return s.heldReads; })) {
    EXPECT_EQ(read->outputSize(), 1024u);
  }
  // Slot 1 finishes before slot 0: its bytes wait for slot 0's.
  module->completeRead(1, "second|");
  module->completeRead(0, "first|");
  // Each completion taken re-arms its slot.
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.readsSubmitted == 5; }));
  EXPECT_EQ(drain(reader), "first|second|");
  module->completeRead(0, "third");
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.readsSubmitted == 6; }));
  EXPECT_EQ(drain(reader), "third");
  EXPECT_TRUE(reader.running());
}

TEST_F(Workers, ReaderStoresACompletionWholeOnceTheRingHasRoomForIt) {
  TReadFIFOThread reader(device, 2, 512, 512);
  reader.Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldReads.size() == 2; }));
  module->completeRead(0, std::string(512, 'x'));
  module->completeRead(0, std::string(512, 'y'));
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.readsSubmitted == 3; }));
  std::string first(100, '\0');
  ASSERT_TRUE(module->waitUntil([&](ModuleState&) { return reader.ring().GetReadReady() == 512; }));
  ASSERT_TRUE(reader.ring().Read(first.data(), 100));
  reader.roomWait.notify();
  // 100 bytes of room are not enough for 512: nothing of them goes in.
  EXPECT_EQ(reader.ring().GetReadReady(), 412u);
  EXPECT_EQ(drain(reader), std::string(412, 'x'));
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.readsSubmitted == 4; }));
  EXPECT_EQ(drain(reader), std::string(512, 'y'));
}

TEST_F(Workers, ReaderStopsOnAFailedTransferAndKeepsWhatItHad) {
  for (bool refusedAtOnce : {false, true}) {
    SCOPED_TRACE(refusedAtOnce ? "read refused at once" : "read completes failed");
    module->set([](ModuleState& s) { s.reads = Reads::Hold; });
    TReadFIFOThread reader(device, 2, 512, 4096);
    reader.Start();
    ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldReads.size() == 2; }));
    if (refusedAtOnce) module->set([](ModuleState& s) { s.reads = Reads::Refuse; });
    module->completeRead(0, "kept");
    if (!refusedAtOnce) {
      // Once slot 0 is re-armed, slot 1's read call has long returned pending.
      ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.readsSubmitted == 3; }));
      module->failRead(0, os::kErrorGenFailure);
    }
    ASSERT_TRUE(ended(reader));
    EXPECT_FALSE(reader.running());
    EXPECT_EQ(drain(reader), "kept");
    reader.WaitFor();
    EXPECT_EQ(module->get<std::size_t>([](ModuleState& s) { return s.heldReads.size(); }), 0u)
        << "its transfers in flight were cancelled";
  }
}

TEST_F(Workers, StopCancelsTheTransfersInFlight) {
  TReadFIFOThread reader(device, 4, 512, 4096);
  reader.Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldReads.size() == 4; }));
  reader.Stop();
  reader.WaitFor();
  EXPECT_EQ(module->get<std::uint64_t>([](ModuleState& s) { return s.cancels; }), 4u);
  EXPECT_TRUE(module->get<bool>([](ModuleState& s) { return s.heldReads.empty(); }));
  EXPECT_EQ(reader.handle, os::invalidHandle());
}

// The driver ends cancelled transfers only when the test says: until then the
// worker must not end (its events closed, its slots reused or its buffers
// freed under the driver).
TEST_F(Workers, ShutdownOutwaitsEveryCancelledTransfer) {
  module->set([](ModuleState& s) { s.completesCancels = true; });
  os::CloseHandle(device);
  device = os::CreateFile("\\\\.\\QDev7", os::kGenericRead | os::kGenericWrite, 0,
                          os::kOpenExisting, os::kFileFlagOverlapped);
  auto reader = std::make_unique<TReadFIFOThread>(device, 3, 512, 4096);
  reader->Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldReads.size() == 3; }));
  const os::Handle thread = reader->handle;
  reader->Stop();
  std::thread owner([&] { reader.reset(); });
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.cancelled.size() == 3; }));
  // No event to wait for here: the point is that the thread does not end.
  EXPECT_EQ(os::WaitForSingleObject(thread, 200), os::kWaitTimeout);
  // Completing now writes into the buffers: they must still be the worker's.
  module->set([](ModuleState& s) {
    for (hosted::Request* r : s.cancelled) std::memset(r->output(), 0xAB, r->outputSize());
  });
  module->releaseCancelled();
  owner.join();
}

TEST_F(Workers, StartAgainLeavesOneThreadRunning) {
  TReadFIFOThread reader(device, 2, 512, 4096);
  reader.Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldReads.size() == 2; }));
  reader.Start();
  ASSERT_TRUE(module->waitUntil(
      [](ModuleState& s) { return s.readsSubmitted == 4 && s.heldReads.size() == 2; }));
  // Stopped but not waited for: the next start still waits for that thread.
  reader.Stop();
  reader.Start();
  ASSERT_TRUE(module->waitUntil(
      [](ModuleState& s) { return s.readsSubmitted == 6 && s.heldReads.size() == 2; }));
  EXPECT_EQ(module->get<std::uint64_t>([](ModuleState& s) { return s.cancels; }), 4u);
}

TEST_F(Workers, WorkerThatCannotStartReportsNotRunning) {
  struct Case {
    const char* what;
    hosted::Creation creation;
  };
  for (const Case& c : {Case{"no thread", hosted::Creation::Thread},
                        Case{"no slot event", hosted::Creation::Event}}) {
    SCOPED_TRACE(c.what);
    TReadFIFOThread reader(device, 2, 512, 4096);
    hosted::failCreations(c.creation, 1);
    reader.Start();
    ASSERT_TRUE(ended(reader));
    EXPECT_FALSE(reader.running());
    reader.WaitFor();
    hosted::failCreations(c.creation, 0);
  }
  EXPECT_EQ(module->get<std::uint64_t>([](ModuleState& s) { return s.readsSubmitted; }), 0u);
  TThread never;
  never.WaitFor();
  EXPECT_FALSE(never.running());
}

TEST_F(Workers, WriterSendsWholeUnitsUpToItsBlockSize) {
  TWriteFIFOThread writer(device, 4, 4096, 65536);
  queue(writer, 10000);
  writer.Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.writeSizes.size() == 3; }));
  EXPECT_EQ(module->get<std::vector<os::Dword>>([](ModuleState& s) { return s.writeSizes; }),
            (std::vector<os::Dword>{4096, 4096, 1536}));
  EXPECT_EQ(writer.ring().GetReadReady(), 10000u - 9728u);
  // 272 + 240 = 512: one more unit.
  queue(writer, 240);
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.writeSizes.size() == 4; }));
  EXPECT_EQ(module->get<os::Dword>([](ModuleState& s) { return s.writeSizes.back(); }), 512u);
  EXPECT_EQ(writer.ring().GetReadReady(), 0u);
}

TEST_F(Workers, WriterLeavesLessThanAUnitQueued) {
  TWriteFIFOThread writer(device, 2, 4096, 65536);
  queue(writer, 700, 'a');
  writer.Start();
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.writeSizes.size() == 1; }));
  EXPECT_EQ(module->get<std::string>([](ModuleState& s) { return s.taken; }),
            std::string(512, 'a'));
  EXPECT_EQ(writer.ring().GetReadReady(), 188u);
  queue(writer, 100, 'b');
  queue(writer, 300, 'c');
  ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.writeSizes.size() == 2; }));
  EXPECT_EQ(module->get<std::string>([](ModuleState& s) { return s.taken; }).substr(512),
            std::string(188, 'a') + std::string(100, 'b') + std::string(224, 'c'));
}

TEST_F(Workers, WriterStopsOnAFailedOrShortTransfer) {
  struct Case {
    const char* what;
    Writes mode;
    bool failLater;
  };
  const Case cases[] = {
      {"refused at once", Writes::Refuse, false},
      {"completes failed", Writes::Hold, true},
      {"completes short", Writes::Short, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    module->set([&](ModuleState& s) {
      s.writes = c.mode;
      s.taken.clear();
    });
    TWriteFIFOThread writer(device, 1, 2048, 8192);
    queue(writer, 2048);
    writer.Start();
    if (c.failLater) {
      ASSERT_TRUE(module->waitUntil([](ModuleState& s) { return s.heldWrites.size() == 1; }));
      module->failWrite(0, os::kErrorGenFailure);
    }
    ASSERT_TRUE(ended(writer));
    EXPECT_FALSE(writer.running());
    writer.WaitFor();
  }
  EXPECT_EQ(module->get<std::string>([](ModuleState& s) { return s.taken; }).size(), 1536u);
}

}  // namespace
}  // namespace streamtest
