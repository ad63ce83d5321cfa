// SPDX-License-Identifier: MIT
// The nine bulk FIFO exports on a fake module opened as QDev0: the state
// table, the stream request around the workers, every refusal and code, and
// the word and time-out rules of reads and writes.
#include "stream/bulk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "fake_module.h"
#include "hosted.h"
#include "vkm470fapi.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

// The memory refusal asks for more than any allocator gives; under the
// sanitizers that must come back as a failure, not end the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace streamtest {
namespace {

constexpr std::uint16_t kStream = 0x04;
constexpr std::uint16_t kCallApplication = 0x0F;
constexpr std::uint32_t kForever = 0xFFFFFFFFu;

class BulkFifo : public ::testing::Test {
 protected:
  void SetUp() override {
    hosted::registerDevice("QDev0", module);
    dev.interfaceType = VKM470F_INTERFACE_USB;
    ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
    clearControl();
  }
  void TearDown() override {
    VKM470F_CloseFullDevice(&dev);
    hosted::unregisterDevice("QDev0");
  }

  int32_t create(std::uint32_t fifoSize = 65536, std::uint32_t blockCount = 4,
                 std::uint32_t blockSize = 4096) {
    return VKM470F_CreateBulkFIFO(&dev, fifoSize, fifoSize, blockCount, blockCount, blockSize,
                                  blockSize);
  }
  void clearControl() {
    module->set([](ModuleState& s) {
      s.control.clear();
      s.inFlightAtControl.clear();
    });
  }
  std::vector<std::uint16_t> control() {
    return module->get<std::vector<std::uint16_t>>([](ModuleState& s) { return s.control; });
  }
  bool readsHeld(std::size_t n) {
    return module->waitUntil([n](ModuleState& s) { return s.heldReads.size() == n; });
  }
  // Words waiting in the read FIFO, once they are count.
  bool readyWords(std::uint32_t count) {
    return module->waitUntil([&](ModuleState&) {
      std::uint32_t words = 0;
      VKM470F_GetBulkFIFOReadReady(&dev, &words);
      return words == count;
    });
  }
  int32_t readReady(std::uint32_t* words) { return VKM470F_GetBulkFIFOReadReady(&dev, words); }
  int32_t writeFree(std::uint32_t* words) { return VKM470F_GetBulkFIFOWriteFree(&dev, words); }

  std::shared_ptr<FakeModule> module = std::make_shared<FakeModule>();
  VKM470F_DEVICE dev{};
};

TEST_F(BulkFifo, ExportsNeedAChannelAndAFifo) {
  using Call = std::function<int32_t(VKM470F_DEVICE*)>;
  std::uint16_t words[4];
  std::uint32_t count;
  const std::vector<std::pair<const char*, Call>> exports = {
      {"Dispose", [](VKM470F_DEVICE* d) { return VKM470F_DisposeBulkFIFO(d); }},
      {"Start", [](VKM470F_DEVICE* d) { return VKM470F_StartBulkFIFO(d); }},
      {"Stop", [](VKM470F_DEVICE* d) { return VKM470F_StopBulkFIFO(d); }},
      {"Flush", [](VKM470F_DEVICE* d) { return VKM470F_FlushBulkFIFO(d); }},
      {"Read", [&](VKM470F_DEVICE* d) { return VKM470F_ReadBulkFIFO(d, words, 4, &count, 0); }},
      {"Write", [&](VKM470F_DEVICE* d) { return VKM470F_WriteBulkFIFO(d, words, 4, &count, 0); }},
      {"ReadReady", [&](VKM470F_DEVICE* d) { return VKM470F_GetBulkFIFOReadReady(d, &count); }},
      {"WriteFree", [&](VKM470F_DEVICE* d) { return VKM470F_GetBulkFIFOWriteFree(d, &count); }},
  };
  VKM470F_DEVICE closed{};
  closed.interfaceType = VKM470F_INTERFACE_USB;
  EXPECT_EQ(VKM470F_CreateBulkFIFO(&closed, 4096, 4096, 1, 1, 512, 512), VKM470F_ERR_NO_OBJECT);
  for (const auto& [name, call] : exports) {
    EXPECT_EQ(call(&closed), VKM470F_ERR_NO_OBJECT) << name << " without a channel";
    EXPECT_EQ(call(&dev), VKM470F_ERR_NO_OBJECT) << name << " without a FIFO";
  }
  EXPECT_TRUE(control().empty());
}

TEST_F(BulkFifo, CreateRefusesWhatCannotStreamAndKeepsTheFifoItHad) {
  struct Case {
    const char* what;
    std::uint32_t readCount, writeCount, readBlock, writeBlock;
  };
  const Case cases[] = {
      {"no read slot", 0, 4, 4096, 4096},
      {"no write slot", 4, 0, 4096, 4096},
      {"read count above 0x7FFFFFFF", 0x80000000u, 4, 4096, 4096},
      {"read block rounding to nothing", 4, 4, 511, 4096},
      {"empty write transfers", 4, 4, 4096, 511},
      {"memory that cannot be obtained", 0x7FFFFFFF, 4, 0xFFFFFE00u, 4096},
      {"write memory that cannot be obtained", 4, 0x7FFFFFFF, 4096, 0xFFFFFE00u},
  };
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  void* const streaming = dev.bulkFifo;
  clearControl();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(VKM470F_CreateBulkFIFO(&dev, 65536, 65536, c.readCount, c.writeCount, c.readBlock,
                                     c.writeBlock),
              VKM470F_ERR_NO_OBJECT);
    EXPECT_EQ(dev.bulkFifo, streaming);
    std::uint32_t words;
    EXPECT_EQ(readReady(&words), VKM470F_SUCCESS) << "still streaming";
  }
  EXPECT_TRUE(control().empty());
}

TEST_F(BulkFifo, CreateThatCannotStartTheApplicationKeepsTheFifoItHad) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  void* const before = dev.bulkFifo;
  ASSERT_EQ(VKM470F_CallApplication(&dev, 0x3C00), VKM470F_SUCCESS);
  module->set([](ModuleState& s) { s.failing.insert(kCallApplication); });
  EXPECT_EQ(create(), VKM470F_ERR_REQUEST_REJECTED);
  EXPECT_EQ(dev.bulkFifo, before);
  EXPECT_EQ(dev.applicationRunning, 0);
}

TEST_F(BulkFifo, StreamRequestGoesBeforeTheWorkersStartAndAfterTheyEnd) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  EXPECT_TRUE(control().empty()) << "the application already runs; create sends nothing";
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(control(), (std::vector<std::uint16_t>{kStream, kStream}));
  EXPECT_EQ(
      module->get<std::vector<std::size_t>>([](ModuleState& s) { return s.inFlightAtControl; }),
      (std::vector<std::size_t>{0, 0}));
  std::uint32_t words;
  EXPECT_EQ(readReady(&words), VKM470F_ERR_WORKER_STOPPED);
}

TEST_F(BulkFifo, StartThatTheModuleRefusesStartsNoWorker) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  module->set([](ModuleState& s) { s.failing.insert(kStream); });
  EXPECT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_ERR_REQUEST_REJECTED);
  std::uint32_t words;
  EXPECT_EQ(readReady(&words), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(writeFree(&words), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(module->get<std::uint64_t>([](ModuleState& s) { return s.readsSubmitted; }), 0u);
  // Stop of a FIFO never started still sends the request, and returns its status.
  EXPECT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_ERR_REQUEST_REJECTED);
  module->set([](ModuleState& s) { s.failing.clear(); });
  EXPECT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(control(), (std::vector<std::uint16_t>{kStream, kStream, kStream}));
}

TEST_F(BulkFifo, StreamRequestStartsTheApplicationFirst) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_CallApplication(&dev, 0x3C00), VKM470F_SUCCESS);
  clearControl();
  ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(control(), (std::vector<std::uint16_t>{kCallApplication, kStream}));
  EXPECT_EQ(dev.applicationRunning, 1);
}

TEST_F(BulkFifo, CreateOnAStreamingDeviceReplacesTheFifoWithoutARequest) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  clearControl();
  ASSERT_EQ(create(8192, 2, 1024), VKM470F_SUCCESS);
  EXPECT_TRUE(control().empty());
  EXPECT_TRUE(readsHeld(0)) << "the old workers ended";
  std::uint32_t words = 7;
  EXPECT_EQ(readReady(&words), VKM470F_ERR_WORKER_STOPPED) << "the new one is not started";
  EXPECT_EQ(words, 0u);
  EXPECT_EQ(writeFree(&words), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(words, 4096u);
}

TEST_F(BulkFifo, StartOnAStreamingDeviceRestartsBothWorkersEmpty) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  module->completeRead(0, "abcd");
  ASSERT_TRUE(readyWords(2));
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(control(), (std::vector<std::uint16_t>{kStream, kStream}));
  ASSERT_TRUE(module->waitUntil(
      [](ModuleState& s) { return s.readsSubmitted == 9 && s.heldReads.size() == 4; }));
  std::uint32_t words = 7;
  EXPECT_EQ(readReady(&words), VKM470F_SUCCESS);
  EXPECT_EQ(words, 0u);
}

TEST_F(BulkFifo, WordsLoopBackInOrder) {
  module->set([](ModuleState& s) {
    s.reads = Reads::LoopBack;
    s.writes = Writes::LoopBack;
  });
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  constexpr std::uint32_t kWords = 1 << 20;
  std::vector<std::uint16_t> out(kWords), in(kWords);
  std::iota(out.begin(), out.end(), std::uint16_t{0});
  std::uint32_t sent = 0, received = 0;
  while (received < kWords) {
    std::uint32_t done = 0;
    if (sent < kWords) {
      ASSERT_EQ(VKM470F_WriteBulkFIFO(&dev, &out[sent], kWords - sent, &done, 1), 0);
      sent += done;
    }
    ASSERT_EQ(VKM470F_ReadBulkFIFO(&dev, &in[received], kWords - received, &done, 1), 0);
    received += done;
  }
  EXPECT_EQ(in, out);
}

TEST_F(BulkFifo, ReadTakesWhatIsThereInWholeWords) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  std::string bytes(300, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i);
  module->completeRead(0, bytes);
  ASSERT_TRUE(readyWords(150));
  std::vector<std::uint16_t> words(100);
  std::uint32_t done = 99;
  // Nothing moves with a time-out of 0, ready or not.
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 100, &done, 0), VKM470F_SUCCESS);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 0, &done, kForever), VKM470F_SUCCESS);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 100, &done, kForever), VKM470F_SUCCESS);
  EXPECT_EQ(done, 100u);
  EXPECT_EQ(words[1], 0x0302);
  ASSERT_TRUE(readyWords(50));

  // 151 bytes and no more: the call waits out its time-out and counts 75
  // words; the odd byte stays for the word it begins.
  module->completeRead(0, std::string(51, 'z'));
  ASSERT_TRUE(readyWords(75));
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 100, &done, 30), VKM470F_SUCCESS);
  EXPECT_EQ(done, 75u);
  EXPECT_EQ(VKM470F_GetBulkFIFOReadReady(&dev, &done), VKM470F_SUCCESS);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  // Stopped and empty: at once, whatever the time-out, but a count of 0 still passes.
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 100, &done, kForever),
            VKM470F_ERR_READER_STOPPED);
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 0, &done, kForever), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_WriteBulkFIFO(&dev, words.data(), 0, &done, kForever), VKM470F_SUCCESS);
}

// A write FIFO of an odd size (given, or raised to an odd write block) has an
// odd number of bytes free; the caller resends from the words reported.
TEST_F(BulkFifo, OddWriteFifoSizesMoveWholeWordsOnly) {
  struct Case {
    std::uint32_t writeFifoSize, writeBlockSize;
  };
  const Case cases[] = {{1025, 512}, {0, 1025}, {4097, 1536}};
  module->set([](ModuleState& s) {
    s.reads = Reads::LoopBack;
    s.writes = Writes::LoopBack;
  });
  constexpr std::uint32_t kWords = 4096;
  std::vector<std::uint16_t> out(kWords);
  std::iota(out.begin(), out.end(), std::uint16_t{0x1200});
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "write FIFO " << c.writeFifoSize << ", block " << c.writeBlockSize);
    ASSERT_EQ(VKM470F_CreateBulkFIFO(&dev, 65536, c.writeFifoSize, 4, 4, 4096, c.writeBlockSize),
              VKM470F_SUCCESS);
    ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
    std::vector<std::uint16_t> in(kWords);
    std::uint32_t sent = 0, received = 0;
    for (int pass = 0; received < kWords && pass < 100000; ++pass) {
      std::uint32_t done = 0;
      if (sent < kWords) {
        ASSERT_EQ(VKM470F_WriteBulkFIFO(&dev, &out[sent], kWords - sent, &done, 1), 0);
        sent += done;
      }
      ASSERT_EQ(VKM470F_ReadBulkFIFO(&dev, &in[received], kWords - received, &done, 1), 0);
      received += done;
    }
    EXPECT_EQ(in, out);
    ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  }
}

// The module may complete a read with an odd number of bytes: the odd byte
// waits for the next one to make a word, rather than being taken and lost.
TEST_F(BulkFifo, AnOddReadCompletionLeavesItsLastByteForTheNextWord) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  module->completeRead(0, "abc");
  std::uint16_t words[2] = {};
  std::uint32_t done = 0;
  ASSERT_TRUE(readyWords(1));
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words, 2, &done, 20), VKM470F_SUCCESS);
  ASSERT_EQ(done, 1u);
  EXPECT_EQ(words[0], 'a' | 'b' << 8);
  module->completeRead(0, "d");
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words, 1, &done, 10000), VKM470F_SUCCESS);
  ASSERT_EQ(done, 1u);
  EXPECT_EQ(words[0], 'c' | 'd' << 8);
}

TEST_F(BulkFifo, ReadAndWriteRefuseCountsAndPointersTheyCannotServe) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  std::uint16_t words[2];
  std::uint32_t done = 5;
  for (auto call :
       {VKM470F_ReadBulkFIFO, +[](VKM470F_DEVICE*d, std::uint16_t*b, uint32_t n, uint32_t*c,
                                  uint32_t t) { return VKM470F_WriteBulkFIFO(d, b, n, c, t); }}) {
    // Twice 0x80000000 words would wrap to 0 bytes.
    EXPECT_EQ(call(&dev, words, 0x80000000u, &done, 0), VKM470F_ERR_NO_OBJECT);
    EXPECT_EQ(call(&dev, words, 0xFFFFFFFFu, &done, 0), VKM470F_ERR_NO_OBJECT);
    EXPECT_EQ(call(&dev, nullptr, 2, &done, 0), VKM470F_ERR_NO_OBJECT);
    EXPECT_EQ(call(&dev, words, 2, nullptr, 0), VKM470F_ERR_NO_OBJECT);
  }
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(VKM470F_GetBulkFIFOReadReady(&dev, nullptr), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_GetBulkFIFOWriteFree(&dev, nullptr), VKM470F_ERR_NO_OBJECT);
}

TEST_F(BulkFifo, BeforeTheStartWritesQueueUntilFullAndTheStartDiscardsThem) {
  ASSERT_EQ(create(4096, 2, 1024), VKM470F_SUCCESS);
  std::uint32_t count = 7;
  EXPECT_EQ(readReady(&count), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(writeFree(&count), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(count, 2048u);
  std::vector<std::uint16_t> words(3000, 0x5A5A);
  std::uint32_t done = 0;
  EXPECT_EQ(VKM470F_WriteBulkFIFO(&dev, words.data(), 3000, &done, kForever),
            VKM470F_ERR_WRITER_STOPPED);
  EXPECT_EQ(done, 2048u);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(writeFree(&count), VKM470F_SUCCESS);
  EXPECT_EQ(count, 2048u);
  ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_TRUE(module->get<std::string>([](ModuleState& s) { return s.taken; }).empty());
}

TEST_F(BulkFifo, DisposeCloseAndReopenDestroyTheFifo) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_DisposeBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(dev.bulkFifo, nullptr);
  EXPECT_EQ(VKM470F_DisposeBulkFIFO(&dev), VKM470F_ERR_NO_OBJECT);
  for (bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "open again" : "close");
    ASSERT_EQ(create(), VKM470F_SUCCESS);
    ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
    ASSERT_TRUE(readsHeld(4));
    clearControl();
    if (reopen) {
      ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
    } else {
      ASSERT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
    }
    EXPECT_EQ(dev.bulkFifo, nullptr);
    EXPECT_TRUE(readsHeld(0));
    for (std::uint16_t code : control()) {
      EXPECT_NE(code, kStream);
    }
    if (!reopen) {
      ASSERT_EQ(VKM470F_OpenDevice(&dev, 0), VKM470F_SUCCESS);
    }
  }
}

TEST_F(BulkFifo, AFailedReadLeavesTheReadSideStoppedUntilTheNextStart) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  module->completeRead(0, std::string(20, 'r'));
  module->failRead(0, os::kErrorGenFailure);
  std::uint32_t count = 0;
  ASSERT_TRUE(module->waitUntil([&](ModuleState&) { return readReady(&count) != 0; }));
  EXPECT_EQ(readReady(&count), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(writeFree(&count), VKM470F_SUCCESS);
  // Flush empties the stopped side but does not restart it.
  ASSERT_EQ(VKM470F_FlushBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(readReady(&count), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(readReady(&count), VKM470F_SUCCESS);
}

TEST_F(BulkFifo, TheWordsAlreadyReadAreReportedWhenTheReaderTurnsOutStopped) {
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  module->completeRead(0, std::string(20, 'r'));
  module->failRead(0, os::kErrorGenFailure);
  std::uint32_t count = 0;
  ASSERT_TRUE(module->waitUntil([&](ModuleState&) { return readReady(&count) != 0; }));
  std::vector<std::uint16_t> words(100);
  std::uint32_t done = 0;
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 100, &done, kForever),
            VKM470F_ERR_READER_STOPPED);
  EXPECT_EQ(done, 10u);
}

TEST_F(BulkFifo, AFailedWriteLeavesTheWriteSideStopped) {
  module->set([](ModuleState& s) { s.writes = Writes::Refuse; });
  ASSERT_EQ(create(4096, 2, 1024), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  std::vector<std::uint16_t> words(5000, 1);
  std::uint32_t done = 0;
  // The first unit goes to the module and fails; the FIFO then fills.
  EXPECT_EQ(VKM470F_WriteBulkFIFO(&dev, words.data(), 5000, &done, kForever),
            VKM470F_ERR_WRITER_STOPPED);
  EXPECT_GE(done, 2048u);
  EXPECT_LT(done, 5000u);
  std::uint32_t count = 0;
  EXPECT_EQ(writeFree(&count), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(readReady(&count), VKM470F_SUCCESS);
}

TEST_F(BulkFifo, FlushOnAStreamingDeviceEmptiesBothSidesAndRestartsThem) {
  module->set([](ModuleState& s) { s.writes = Writes::Hold; });
  ASSERT_EQ(create(8192, 2, 1024), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(2));
  module->completeRead(0, std::string(64, 'r'));
  std::vector<std::uint16_t> words(4096, 2);
  std::uint32_t done = 0;
  ASSERT_EQ(VKM470F_WriteBulkFIFO(&dev, words.data(), 4096, &done, 0xFFFF), VKM470F_SUCCESS);
  ASSERT_TRUE(readyWords(32));
  clearControl();
  ASSERT_EQ(VKM470F_FlushBulkFIFO(&dev), VKM470F_SUCCESS);
  std::uint32_t count = 0;
  EXPECT_EQ(readReady(&count), VKM470F_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(writeFree(&count), VKM470F_SUCCESS);
  EXPECT_EQ(count, 4096u);
  EXPECT_TRUE(control().empty());
}

TEST_F(BulkFifo, AWorkerWithoutAThreadIsReportedStopped) {
  ASSERT_EQ(create(4096, 2, 1024), VKM470F_SUCCESS);
  // The reader is created first: one failure leaves only it without a thread.
  hosted::failCreations(hosted::Creation::Thread, 1);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  std::uint32_t count = 0;
  EXPECT_EQ(readReady(&count), VKM470F_ERR_WORKER_STOPPED);
  EXPECT_EQ(writeFree(&count), VKM470F_SUCCESS);
  std::vector<std::uint16_t> words(4096);
  EXPECT_EQ(VKM470F_ReadBulkFIFO(&dev, words.data(), 4, &count, kForever),
            VKM470F_ERR_READER_STOPPED);

  hosted::failCreations(hosted::Creation::Thread, 2);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(writeFree(&count), VKM470F_ERR_WORKER_STOPPED);
  // Queued while there is room, then refused at once instead of waiting.
  EXPECT_EQ(VKM470F_WriteBulkFIFO(&dev, words.data(), 4096, &count, kForever),
            VKM470F_ERR_WRITER_STOPPED);
  EXPECT_EQ(count, 2048u);
}

// A write, then a blocking read of its echo: the read ends when the words
// come back, not on a polling period. Were a worker or the reader to sleep
// out its 5 ms, every trip would take at least that: the median must not.
TEST_F(BulkFifo, ABlockedReadEndsWhenTheEchoArrives) {
  module->set([](ModuleState& s) {
    s.reads = Reads::LoopBack;
    s.writes = Writes::LoopBack;
  });
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  constexpr int kTrips = 200;
  std::vector<std::chrono::steady_clock::duration> trips;
  std::uint16_t out[256], in[256];
  for (int trip = 0; trip < kTrips; ++trip) {
    std::iota(std::begin(out), std::end(out), std::uint16_t(trip * 256));
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t done = 0;
    ASSERT_EQ(VKM470F_WriteBulkFIFO(&dev, out, 256, &done, kForever), VKM470F_SUCCESS);
    ASSERT_EQ(done, 256u);
    for (std::uint32_t got = 0; got < 256; got += done) {
      ASSERT_EQ(VKM470F_ReadBulkFIFO(&dev, in + got, 256 - got, &done, 10000), VKM470F_SUCCESS);
      ASSERT_GT(done, 0u);
    }
    trips.push_back(std::chrono::steady_clock::now() - start);
    ASSERT_TRUE(std::equal(std::begin(in), std::end(in), std::begin(out))) << "trip " << trip;
  }
  std::nth_element(trips.begin(), trips.begin() + kTrips / 2, trips.end());
  EXPECT_LT(trips[kTrips / 2], std::chrono::milliseconds(5));
}

// A read of an empty FIFO and a write into a full one block; their time-out
// or the worker's stop (a failed transfer) ends them, and no later than that.
TEST_F(BulkFifo, ABlockedCallEndsAtItsDeadlineOrWhenTheWorkerStops) {
  struct Case {
    const char* what;
    bool write, stop;
  };
  const Case cases[] = {{"read, deadline", false, false},
                        {"read, the reader stops", false, true},
                        {"write, deadline", true, false},
                        {"write, the writer stops", true, true}};
  module->set([](ModuleState& s) { s.writes = Writes::Hold; });
  std::vector<std::uint16_t> words(8192, 0x3333);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(create(4096, 2, 1024), VKM470F_SUCCESS);
    ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
    ASSERT_TRUE(readsHeld(2));
    std::atomic<bool> failed{false};
    std::chrono::steady_clock::time_point failedAt;
    std::thread failer;
    if (c.stop) {
      failer = std::thread([&] {
        // The write worker holds two transfers once the FIFO has filled.
        if (c.write) {
          module->waitUntil([](ModuleState& s) { return s.heldWrites.size() == 2; });
          failedAt = std::chrono::steady_clock::now();
          module->failWrite(0, os::kErrorGenFailure);
        } else {
          failedAt = std::chrono::steady_clock::now();
          module->failRead(0, os::kErrorGenFailure);
        }
        failed = true;
      });
    }
    const std::uint32_t timeout = c.stop ? 10000 : 50;
    std::uint32_t done = 0;
    const auto start = std::chrono::steady_clock::now();
    const int32_t status = c.write ? VKM470F_WriteBulkFIFO(&dev, words.data(), 8192, &done, timeout)
                                   : VKM470F_ReadBulkFIFO(&dev, words.data(), 1, &done, timeout);
    const auto end = std::chrono::steady_clock::now();
    if (failer.joinable()) failer.join();
    if (c.stop) {
      EXPECT_EQ(status, c.write ? VKM470F_ERR_WRITER_STOPPED : VKM470F_ERR_READER_STOPPED);
      EXPECT_LT(end - failedAt, std::chrono::milliseconds(1000));
    } else {
      EXPECT_EQ(status, VKM470F_SUCCESS);
      // The tick counts whole milliseconds.
      EXPECT_GE(end - start, std::chrono::milliseconds(timeout - 1));
      EXPECT_LT(end - start, std::chrono::milliseconds(timeout + 1000));
    }
    EXPECT_LT(done, c.write ? 8192u : 1u);
    ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  }
}

// A reader blocked on an idle stream sleeps, and so do both workers: the
// whole process's CPU over a second of waiting stays far from a core (the
// benchmark measures the figure itself).
TEST_F(BulkFifo, AReaderBlockedOnAnIdleStreamUsesAlmostNoCpu) {
#if defined(_WIN32)
  GTEST_SKIP() << "process CPU time is read with getrusage";
#else
  const auto cpuSeconds = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  std::uint16_t word;
  std::uint32_t done = 0;
  const double before = cpuSeconds();
  ASSERT_EQ(VKM470F_ReadBulkFIFO(&dev, &word, 1, &done, 1000), VKM470F_SUCCESS);
  const double used = cpuSeconds() - before;
  EXPECT_EQ(done, 0u);
  RecordProperty("cpu_ms", int(used * 1000));
  EXPECT_LT(used, 0.1) << "a second of waiting";
#endif
}

// Closing a record while its stream is idle (the module holds every read,
// nothing is queued to send) ends both workers at once: each waits for its
// transfer or its stop, with no time limit of its own that the stop would
// have to outwait. On the virtual clock a bounded wait shows as time passing,
// so none may pass from the moment the stream is idle to the end of the close.
TEST_F(BulkFifo, CloseWithAnIdleStreamOutwaitsNoTimeLimit) {
  struct VirtualClock {
    VirtualClock() { hosted::setVirtualClock(true); }
    ~VirtualClock() { hosted::setVirtualClock(false); }
  } virtualClock;
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_TRUE(readsHeld(4));
  const os::Dword idle = os::GetTickCount();
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(os::GetTickCount() - idle, 0u);
}

// A read and a write on two threads at once, as the documents allow: each
// call's code is its own. After the stop every read of the empty FIFO must
// fail, while the writes beside it (time-out 0) succeed.
TEST_F(BulkFifo, AReadAndAWriteOnTwoThreadsEachGetTheirOwnCode) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kCalls = 100000;  // the sanitizer sees the overlap itself
#else
  constexpr int kCalls = 3000000;
#endif
  ASSERT_EQ(create(), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  std::atomic<bool> reading{true};
  int writesFailed = 0;
  std::thread writer([&] {
    std::uint16_t word = 1;
    std::uint32_t done = 0;
    while (reading.load(std::memory_order_relaxed)) {
      writesFailed += VKM470F_WriteBulkFIFO(&dev, &word, 1, &done, 0) != VKM470F_SUCCESS;
    }
  });
  int readsPassed = 0;
  std::uint16_t word;
  std::uint32_t done = 0;
  for (int i = 0; i < kCalls; ++i) {
    readsPassed += VKM470F_ReadBulkFIFO(&dev, &word, 1, &done, 1000) != VKM470F_ERR_READER_STOPPED;
  }
  reading = false;
  writer.join();
  EXPECT_EQ(readsPassed, 0);
  EXPECT_EQ(writesFailed, 0);
}

// Time-outs count the time elapsed since the call began, modulo 2^32, on the
// virtual clock; the read worker is marked running without a thread, and the
// test fills its FIFO.
TEST(BulkTimeouts, ElapsedTimeIsComparedAcrossTheTicksWrap) {
  struct Case {
    os::Dword tick, timeout;
    std::uint32_t ready, asked;
    std::uint32_t expectDone, expectElapsed;
  };
  const Case cases[] = {
      {0xFFFFFFF0u, 100, 300, 200, 200, 0},    // deadline past the wrap
      {5000, 0xFFFFFFFFu, 300, 200, 200, 0},   // the longest time-out
      {0xFFFFFFF0u, 100, 151, 200, 150, 100},  // waits out its time across the wrap
      {0xFFFFFF00u, 0, 300, 200, 0, 0},        // 0: at once
  };
  hosted::setVirtualClock(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "tick " << c.tick << " time-out " << c.timeout);
    vkm470::stream::TFIFO_BULK bulk(os::invalidHandle(), 4096, 4096, 1, 1, 512, 512);
    bulk.readThread->stopped = 0;
    std::vector<std::uint8_t> bytes(c.ready, 0x11), out(c.asked);
    ASSERT_TRUE(bulk.readThread->ring().Write(bytes.data(), c.ready));
    hosted::setVirtualTick(c.tick);
    std::uint32_t done = 0;
    EXPECT_EQ(bulk.Read(out.data(), c.asked, &done, c.timeout), VKM470F_SUCCESS);
    EXPECT_EQ(done, c.expectDone);
    const os::Dword elapsed = os::GetTickCount() - c.tick;
    EXPECT_GE(elapsed, c.expectElapsed);
    EXPECT_LT(elapsed, c.expectElapsed + 10);
    bulk.readThread->stopped = 1;
  }
  hosted::setVirtualClock(false);
}

// 0xFFFFFFFF waits without end: the read goes on past the moment when the
// elapsed time equals it, which another thread keeps making true, and ends
// only when the last bytes arrive.
TEST(BulkTimeouts, TheLongestTimeOutWaitsWithoutEnd) {
  hosted::setVirtualClock(true);
  vkm470::stream::TFIFO_BULK bulk(os::invalidHandle(), 4096, 4096, 1, 1, 512, 512);
  bulk.readThread->stopped = 0;
  std::vector<std::uint8_t> bytes(200, 0x22), out(200);
  ASSERT_TRUE(bulk.readThread->ring().Write(bytes.data(), 151));
  const os::Dword start = 1000;
  hosted::setVirtualTick(start);
  std::thread clock([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) hosted::setVirtualTick(start - 1);
    // As the worker does: the bytes, then the wake-up.
    bulk.readThread->ring().Write(bytes.data(), 49);
    bulk.readThread->dataWait.notify();
  });
  std::uint32_t done = 0;
  EXPECT_EQ(bulk.Read(out.data(), 200, &done, kForever), VKM470F_SUCCESS);
  clock.join();
  EXPECT_EQ(done, 200u);
  bulk.readThread->stopped = 1;
  hosted::setVirtualClock(false);
}

}  // namespace
}  // namespace streamtest
