// SPDX-License-Identifier: MIT
// The USB module as the library reaches it: every case goes through the hosted
// seam (CreateFile on "\\.\QDev0", I/O control and overlapped reads and
// writes), with the seam's clock virtual so that the chip's busy times cost no
// real time. No wait below is timed: the threaded cases wait on events only.
#include "usb_module.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dataflash.h"
#include "hosted.h"

namespace vkm470::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using os::Dword;
using Fault = UsbModule::Fault;

constexpr char kPath[] = "\\\\.\\QDev0";

os::Handle openModule() {
  return os::CreateFile(kPath, os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting,
                        os::kFileFlagOverlapped);
}

struct Transfer {
  bool ok;
  bool pending;  // left pending by the module: then cancelled, and error is the outcome
  Dword error;
  Dword bytes;
  Bytes stage;
};

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

// One overlapped read or write, as the streaming workers issue them.
struct Bulk {
  explicit Bulk(std::size_t size) : buffer(size) { record.hEvent = os::CreateEvent(false, false); }
  Bulk(const Bulk&) = delete;
  Bulk& operator=(const Bulk&) = delete;
  ~Bulk() { os::CloseHandle(record.hEvent); }
  bool pending() const { return record.Internal == 0x103; }
  // Waits for the end and fetches the result; returns the error, 0 on success.
  Dword finish(os::Handle handle) {
    EXPECT_EQ(os::WaitForSingleObject(record.hEvent, os::kInfinite), os::kWaitObject0);
    return os::GetOverlappedResult(handle, &record, &bytes, false) ? 0 : os::GetLastError();
  }
  Bytes data() const { return Bytes(buffer.begin(), buffer.begin() + bytes); }

  Bytes buffer;
  os::Overlapped record{};
  Dword bytes = 0;
};

// A transfer that has started: done at once, or pending.
bool issued(bool doneAtOnce) { return doneAtOnce || os::GetLastError() == os::kErrorIoPending; }

class UsbModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::hosted::setVirtualClock(true);
    chip = std::make_shared<DataFlash>();
    install(std::make_shared<UsbModule>(chip));
    event = os::CreateEvent(false, false);
  }
  void TearDown() override {
    closeModule();
    os::CloseHandle(event);
    os::hosted::unregisterDevice("QDev0");
    os::hosted::setVirtualClock(false);
  }

  // Registers module as QDev0 and opens it.
  void install(std::shared_ptr<UsbModule> replacement) {
    closeModule();
    module = std::move(replacement);
    os::hosted::registerDevice("QDev0", module);
    handle = openModule();
    ASSERT_NE(handle, os::invalidHandle());
  }
  void closeModule() {
    if (handle != os::invalidHandle()) os::CloseHandle(handle);
    handle = os::invalidHandle();
  }

  Transfer control(std::uint16_t direction, std::uint16_t request, std::uint16_t value,
                   std::uint16_t index, Bytes stage) {
    const std::uint8_t setup[8] = {std::uint8_t(direction), std::uint8_t(direction >> 8),
                                   std::uint8_t(request),   std::uint8_t(request >> 8),
                                   std::uint8_t(value),     std::uint8_t(value >> 8),
                                   std::uint8_t(index),     std::uint8_t(index >> 8)};
    os::Overlapped record{};
    record.hEvent = event;
    Transfer t{};
    t.ok = os::DeviceIoControl(handle, UsbModule::kControl, setup, sizeof(setup), stage.data(),
                               Dword(stage.size()), &t.bytes, &record);
    t.error = t.ok ? 0 : os::GetLastError();
    if (t.error == os::kErrorIoPending) {
      t.pending = true;
      EXPECT_EQ(os::WaitForSingleObject(event, 0), os::kWaitTimeout);
      EXPECT_TRUE(os::CancelIo(handle));
      t.ok = os::GetOverlappedResult(handle, &record, &t.bytes, true);
      t.error = t.ok ? 0 : os::GetLastError();
    }
    t.stage = std::move(stage);
    return t;
  }
  Transfer in(std::uint16_t request, std::uint16_t value, std::uint16_t index, std::size_t n) {
    return control(1, request, value, index, Bytes(n, 0xEE));
  }
  Transfer out(std::uint16_t request, std::uint16_t value, std::uint16_t index, Bytes data) {
    return control(0, request, value, index, std::move(data));
  }
  bool startApplication() { return out(UsbModule::kCallApplication, 0, 0, {}).ok; }
  Transfer flashWrite(std::uint32_t address, Bytes data) {
    return out(UsbModule::kFlashWrite, std::uint16_t(address), std::uint16_t(address >> 16),
               std::move(data));
  }
  Transfer flashRead(std::uint32_t address, std::size_t n) {
    return in(UsbModule::kFlashRead, std::uint16_t(address), std::uint16_t(address >> 16), n);
  }

  bool read(Bulk& bulk) {
    return os::ReadFile(handle, bulk.buffer.data(), Dword(bulk.buffer.size()), &bulk.bytes,
                        &bulk.record);
  }
  bool write(Bulk& bulk) {
    return os::WriteFile(handle, bulk.buffer.data(), Dword(bulk.buffer.size()), &bulk.bytes,
                         &bulk.record);
  }

  std::shared_ptr<DataFlash> chip;
  std::shared_ptr<UsbModule> module;
  os::Handle handle = os::invalidHandle();
  os::Handle event = nullptr;
};

TEST_F(UsbModuleTest, InformationBlockCarriesTheModuleType) {
  for (std::uint32_t type : {UsbModule::kModuleType, 7u}) {
    SCOPED_TRACE(type);
    install(std::make_shared<UsbModule>(chip, type));
    // Without a record, as the library asks it.
    Bytes block(100, 0xEE);
    Dword bytes = 0;
    ASSERT_TRUE(os::DeviceIoControl(handle, UsbModule::kInformation, nullptr, 0, block.data(),
                                    Dword(block.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 80u);
    EXPECT_EQ(Bytes(block.begin() + 36, block.begin() + 40), (Bytes{std::uint8_t(type), 0, 0, 0}));
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{80, 0, 0, 0}));
    EXPECT_FALSE(os::DeviceIoControl(handle, UsbModule::kInformation, nullptr, 0, block.data(), 79,
                                     &bytes, nullptr));
    EXPECT_EQ(os::GetLastError(), os::kErrorInsufficientBuffer);
  }
}

TEST_F(UsbModuleTest, NameIsPaddedToTheStageLengthInEitherProgram) {
  const Bytes name{'V', 'K', 'M', '4', '7', '0', 0};
  for (bool application : {false, true}) {
    SCOPED_TRACE(application ? "application" : "program at 0x3C00");
    if (application) {
      ASSERT_TRUE(startApplication());
    }
    for (std::size_t n : {16, 8, 7, 3}) {
      const Transfer t = in(UsbModule::kName, 0, 0, n);
      ASSERT_TRUE(t.ok) << n;
      EXPECT_EQ(t.bytes, n);
      Bytes expected = name;
      expected.resize(n, 0);
      EXPECT_EQ(t.stage, expected);
    }
  }
  EXPECT_EQ(out(UsbModule::kName, 0, 0, Bytes(8)).error, os::kErrorGenFailure);
}

// Which requests each program serves; the module starts in the program at
// 0x3C00 on every open.
struct ProgramCase {
  const char* name;
  std::uint16_t direction, request, value, index;
  std::size_t stage;
  bool inApplication;
  bool inOtherProgram;
};

class ProgramTest : public UsbModuleTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramTest, RequestsAreServedOnlyByTheirProgram) {
  const ProgramCase& c = GetParam();
  struct Step {
    const char* name;
    int startAddress;  // -1: none since the open
    bool served;
  };
  const Step steps[] = {{"after the open", -1, c.inOtherProgram},
                        {"application", 0x0000, c.inApplication},
                        {"program at 0x3C00", 0x3C00, c.inOtherProgram},
                        {"another address", 0x1234, c.inOtherProgram},
                        {"application again", 0x0000, c.inApplication}};
  for (int reopen = 0; reopen < 2; ++reopen) {
    for (const Step& step : steps) {
      SCOPED_TRACE(step.name);
      if (step.startAddress >= 0) {
        ASSERT_TRUE(out(UsbModule::kCallApplication, std::uint16_t(step.startAddress), 0, {}).ok);
        EXPECT_EQ(module->startAddress(), step.startAddress);
      } else {
        EXPECT_EQ(module->startAddress(), UsbModule::kOtherProgram);
      }
      const Transfer t = control(c.direction, c.request, c.value, c.index, Bytes(c.stage));
      EXPECT_EQ(t.ok, step.served);
      EXPECT_EQ(t.error, step.served ? 0u : os::kErrorGenFailure);
      EXPECT_EQ(t.bytes, step.served ? c.stage : 0u);
    }
    // A new open finds the module back in the program at 0x3C00.
    install(module);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ProgramTest,
    ::testing::Values(ProgramCase{"Name", 1, 0x0B, 0, 0, 16, true, true},
                      ProgramCase{"Descriptor", 1, 0x0E, 0x2FF0, 0x8300, 208, false, true},
                      ProgramCase{"DspWrite", 0, 0x05, 1, 2, 4, true, false},
                      ProgramCase{"DspRead", 1, 0x05, 1, 2, 4, true, false},
                      ProgramCase{"ResetDsp", 0, 0x0C, 0, 0, 0, true, false},
                      ProgramCase{"Stream", 0, 0x04, 0, 0, 0, true, false},
                      ProgramCase{"FlashWrite", 0, 0x09, 0, 0, 16, true, false},
                      ProgramCase{"FlashRead", 1, 0x0A, 0, 0, 16, true, false},
                      ProgramCase{"SpecialInformation", 1, 0x08, 0, 2, 8, true, false},
                      ProgramCase{"SpecialBinaryPages", 0, 0x08, 0, 1, 0, true, false},
                      // Never served: unknown codes, a wrong direction or stage.
                      ProgramCase{"Unknown", 1, 0x07, 0, 0, 4, false, false},
                      ProgramCase{"SpecialUnknown", 1, 0x08, 0, 3, 8, false, false},
                      ProgramCase{"DescriptorElsewhere", 1, 0x0E, 0x2FF0, 0x8301, 208, false,
                                  false},
                      ProgramCase{"FlashReadAsWrite", 0, 0x0A, 0, 0, 16, false, false},
                      ProgramCase{"ResetWithData", 0, 0x0C, 0, 0, 2, false, false},
                      ProgramCase{"DspLongerThanAPiece", 0, 0x05, 1, 2, 4098, false, false},
                      ProgramCase{"FlashPastTheEnd", 1, 0x0A, 0xFF00, 0x001F, 512, false, false},
                      ProgramCase{"DirectionTwo", 2, 0x0B, 0, 0, 8, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbModuleTest, BulkTransfersNeedTheApplication) {
  Bulk write(512);
  Bulk read(512);
  EXPECT_FALSE(this->write(write));
  EXPECT_EQ(os::GetLastError(), os::kErrorGenFailure);
  EXPECT_FALSE(this->read(read));
  EXPECT_EQ(os::GetLastError(), os::kErrorGenFailure);
  ASSERT_TRUE(startApplication());
  EXPECT_TRUE(this->write(write));
  EXPECT_TRUE(this->read(read));
  EXPECT_EQ(read.bytes, 512u);
}

TEST_F(UsbModuleTest, DescriptorIsTheFirmwaresRecord) {
  const Transfer t = in(UsbModule::kDescriptor, 0x2FF0, 0x8300, 208);
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(t.bytes, 208u);
  EXPECT_EQ(t.stage,
            Bytes(UsbModule::kDescriptorRecord.begin(), UsbModule::kDescriptorRecord.end()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&t.stage[4])), "VKM470");
  EXPECT_EQ(t.stage[0], 208);
}

TEST_F(UsbModuleTest, DspCommandsAreAMailboxAndResetsAndStreamRequestsCount) {
  ASSERT_TRUE(startApplication());
  const Bytes data{1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(out(UsbModule::kDspCommand, 0x1234, 0x0005, data).ok);
  EXPECT_EQ(in(UsbModule::kDspCommand, 0x1234, 0x0005, 6).stage, data);
  Bytes longer = data;
  longer.resize(10, 0);
  const Transfer padded = in(UsbModule::kDspCommand, 0x1234, 0x0005, 10);
  EXPECT_EQ(padded.bytes, 10u);
  EXPECT_EQ(padded.stage, longer);
  EXPECT_EQ(in(UsbModule::kDspCommand, 0x1234, 0x0006, 4).stage, Bytes(4, 0));
  EXPECT_EQ(in(UsbModule::kDspCommand, 0x5, 0x1234, 4).stage, Bytes(4, 0));
  ASSERT_TRUE(out(UsbModule::kDspCommand, 0x1234, 0x0005, {}).ok);
  EXPECT_EQ(in(UsbModule::kDspCommand, 0x1234, 0x0005, 2).stage, Bytes(2, 0));

  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out(UsbModule::kResetDsp, 0, 0, {}).ok);
  ASSERT_TRUE(out(UsbModule::kStream, 0, 0, {}).ok);
  EXPECT_EQ(module->dspResets(), 3u);
  EXPECT_EQ(module->streamRequests(), 1u);
  // The reset leaves the application running.
  EXPECT_EQ(module->startAddress(), UsbModule::kApplication);
}

// Flash bytes land at page a / 512, offset a % 512 in either page mode; in
// standard mode the last 16 bytes of each page are never touched.
class FlashTest : public UsbModuleTest, public ::testing::WithParamInterface<PageMode> {};

TEST_P(FlashTest, PiecesLandAtPageAndOffsetAndKeepTheirNeighbours) {
  if (GetParam() == PageMode::Binary) {
    ASSERT_TRUE(startApplication());
    ASSERT_TRUE(out(UsbModule::kSpecial, 0, UsbModule::kSpecialBinaryPages, {}).ok);
    ASSERT_EQ(chip->pageMode(), PageMode::Binary);
  }
  struct Mark {
    std::uint32_t page, offset;
    std::uint8_t value;
  };
  std::vector<Mark> marks{{3, 499, 0x11}, {5, 76, 0x22}};
  if (GetParam() == PageMode::Standard) marks.insert(marks.end(), {{3, 512, 0x33}, {4, 527, 0x44}});
  for (const Mark& m : marks) chip->poke(m.page, m.offset, m.value);

  ASSERT_TRUE(startApplication());
  const std::uint32_t address = 3 * 512 + 500;
  const Bytes data = pattern(600, 9);
  const Transfer written = flashWrite(address, data);
  ASSERT_TRUE(written.ok) << written.error;
  EXPECT_EQ(written.bytes, 600u);
  for (std::uint32_t i = 0; i < data.size(); ++i) {
    const std::uint32_t a = address + i;
    ASSERT_EQ(chip->peek(a / 512, a % 512), data[i]) << i;
  }
  for (const Mark& m : marks) EXPECT_EQ(chip->peek(m.page, m.offset), m.value);

  const Transfer back = flashRead(address, data.size());
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.bytes, data.size());
  EXPECT_EQ(back.stage, data);
  EXPECT_EQ(flashRead(3 * 512 + 499, 1).stage, Bytes{0x11});
}

TEST_P(FlashTest, AFullPieceTakesTheChipsProgramTimes) {
  chip->forcePageMode(GetParam());
  ASSERT_TRUE(startApplication());
  const Bytes data = pattern(UsbModule::kMaxDataStage, 3);
  const std::uint64_t start = os::hosted::nowMicroseconds();
  ASSERT_TRUE(flashWrite(0x1000, data).ok);
  const std::uint64_t elapsed = os::hosted::nowMicroseconds() - start;
  // Eight pages, each programmed, in standard mode each copied into the buffer
  // first; the firmware polls every millisecond.
  const std::uint64_t busy =
      8 * (DataFlash::kProgramMicroseconds +
           (GetParam() == PageMode::Standard ? DataFlash::kTransferMicroseconds : 0));
  EXPECT_GE(elapsed, busy);
  EXPECT_LE(elapsed, busy + 8 * 2000);
  EXPECT_EQ(flashRead(0x1000, data.size()).stage, data);
  EXPECT_EQ(chip->peek(15, 511), data.back());
}

INSTANTIATE_TEST_SUITE_P(Modes, FlashTest, ::testing::Values(PageMode::Standard, PageMode::Binary),
                         [](const auto& info) {
                           return info.param == PageMode::Binary ? "Binary" : "Standard";
                         });

TEST_F(UsbModuleTest, SpecialCommandsSwitchPagesAndAnswerTheInformationBlock) {
  ASSERT_TRUE(startApplication());
  const Transfer before = in(UsbModule::kSpecial, 0, UsbModule::kSpecialInformation, 8);
  ASSERT_TRUE(before.ok);
  EXPECT_EQ(before.stage, (Bytes{0xAC, 0x00, 0x00, 0xFF, 0x1F, 0x26, 0x00, 0x00}));

  ASSERT_TRUE(out(UsbModule::kSpecial, 0, UsbModule::kSpecialBinaryPages, {}).ok);
  EXPECT_EQ(chip->pageMode(), PageMode::Binary);
  // Other stage lengths get the block cut or padded.
  EXPECT_EQ(in(UsbModule::kSpecial, 0, UsbModule::kSpecialInformation, 10).stage,
            (Bytes{0xAD, 0x00, 0x00, 0xFF, 0x1F, 0x26, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(in(UsbModule::kSpecial, 0, UsbModule::kSpecialInformation, 1).stage, Bytes{0xAD});
}

TEST_F(UsbModuleTest, ChipThatStaysBusyFailsTheRequestAfterFiveSeconds) {
  ASSERT_TRUE(startApplication());
  chip->setStuckBusy(true);
  const std::uint64_t start = os::hosted::nowMicroseconds();
  for (const Transfer& t : {flashWrite(0, {1, 2}), flashRead(0, 2),
                            in(UsbModule::kSpecial, 0, UsbModule::kSpecialInformation, 8)})
    EXPECT_EQ(t.error, os::kErrorGenFailure);
  EXPECT_GE(os::hosted::nowMicroseconds() - start, 3 * 5'000'000u);
  chip->setStuckBusy(false);
  EXPECT_EQ(chip->peek(0, 0), 0xFF);
  EXPECT_TRUE(flashWrite(0, {1, 2}).ok);
}

TEST_F(UsbModuleTest, OneHandleAtATime) {
  EXPECT_EQ(openModule(), os::invalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorSharingViolation);
  closeModule();
  handle = openModule();
  EXPECT_NE(handle, os::invalidHandle());
}

// ---- bulk loop-back

TEST_F(UsbModuleTest, ReadsInFlightTakeWrittenDataOldestFirst) {
  ASSERT_TRUE(startApplication());
  Bulk reads[3] = {Bulk(512), Bulk(512), Bulk(512)};
  for (Bulk& r : reads) {
    EXPECT_FALSE(read(r));
    EXPECT_EQ(os::GetLastError(), os::kErrorIoPending);
  }
  Bulk first(1000);
  first.buffer = pattern(1000, 1);
  ASSERT_TRUE(write(first));
  EXPECT_EQ(first.bytes, 1000u);
  EXPECT_EQ(reads[0].finish(handle), 0u);
  EXPECT_EQ(reads[0].data(), Bytes(first.buffer.begin(), first.buffer.begin() + 512));
  EXPECT_EQ(reads[1].finish(handle), 0u);
  EXPECT_EQ(reads[1].data(), Bytes(first.buffer.begin() + 512, first.buffer.end()));
  EXPECT_TRUE(reads[2].pending());

  Bulk second(100);
  second.buffer = pattern(100, 2);
  ASSERT_TRUE(write(second));
  EXPECT_EQ(reads[2].finish(handle), 0u);
  EXPECT_EQ(reads[2].data(), second.buffer);

  Bulk idle(512);
  EXPECT_FALSE(read(idle));
  ASSERT_TRUE(os::CancelIo(handle));
  EXPECT_EQ(idle.finish(handle), os::kErrorOperationAborted);
  EXPECT_EQ(idle.bytes, 0u);
}

TEST_F(UsbModuleTest, FullLoopBackHoldsTheWriteUntilReadsDrainIt) {
  install(std::make_shared<UsbModule>(chip, UsbModule::kModuleType, 1024));
  ASSERT_TRUE(startApplication());
  Bulk write(1500);
  write.buffer = pattern(1500, 5);
  EXPECT_FALSE(this->write(write));
  EXPECT_EQ(os::GetLastError(), os::kErrorIoPending);

  Bulk first(512);
  ASSERT_TRUE(read(first));
  EXPECT_EQ(first.data(), Bytes(write.buffer.begin(), write.buffer.begin() + 512));
  EXPECT_EQ(write.finish(handle), 0u);
  EXPECT_EQ(write.bytes, 1500u);

  Bulk rest(4096);
  ASSERT_TRUE(read(rest));
  EXPECT_EQ(rest.data(), Bytes(write.buffer.begin() + 512, write.buffer.end()));

  // A write still pending when it is cancelled reports what it moved.
  Bulk big(3000);
  EXPECT_FALSE(this->write(big));
  ASSERT_TRUE(os::CancelIo(handle));
  EXPECT_EQ(big.finish(handle), os::kErrorOperationAborted);
  EXPECT_EQ(big.bytes, 1024u);
}

TEST_F(UsbModuleTest, OneReadTakesWhatEveryQueuedWriteHolds) {
  install(std::make_shared<UsbModule>(chip, UsbModule::kModuleType, 1));
  ASSERT_TRUE(startApplication());
  std::vector<std::unique_ptr<Bulk>> writes;
  Bytes sent;
  for (int i = 0; i < 40; ++i) {
    writes.push_back(std::make_unique<Bulk>(100));
    writes.back()->buffer = pattern(100, std::uint8_t(i));
    sent.insert(sent.end(), writes.back()->buffer.begin(), writes.back()->buffer.end());
    EXPECT_FALSE(write(*writes.back()));
  }
  Bulk all(8192);
  ASSERT_TRUE(read(all));
  EXPECT_EQ(all.data(), sent);
  for (auto& w : writes) {
    ASSERT_FALSE(w->pending());
    EXPECT_EQ(w->finish(handle), 0u);
  }
}

TEST_F(UsbModuleTest, ClosingTheHandleEndsPendingTransfers) {
  ASSERT_TRUE(startApplication());
  Bulk r(512);
  EXPECT_FALSE(read(r));
  closeModule();
  EXPECT_EQ(r.finish(handle), os::kErrorOperationAborted);
}

// Bulk both ways on two threads with several transfers in flight each, and
// control requests on a third, as the streaming workers and the library use
// one handle; the loop-back buffer is small and not a multiple of 512, so
// writes wait and the buffer wraps.
TEST_F(UsbModuleTest, LoopBackStreamsAcrossThreadsInOrder) {
  install(std::make_shared<UsbModule>(chip, UsbModule::kModuleType, 100'000));
  ASSERT_TRUE(startApplication());
  constexpr std::size_t kBlock = 65536;
  constexpr std::size_t kInFlight = 4;
  constexpr std::size_t kTotal = 256 * kBlock;
  const Bytes source = pattern(kTotal, 11);

  std::thread writer([&] {
    std::vector<std::unique_ptr<Bulk>> slots;
    for (std::size_t i = 0; i < kInFlight; ++i) slots.push_back(std::make_unique<Bulk>(kBlock));
    for (std::size_t block = 0; block < kTotal / kBlock; ++block) {
      Bulk& slot = *slots[block % kInFlight];
      if (block >= kInFlight) {
        ASSERT_EQ(slot.finish(handle), 0u);
      }
      std::memcpy(slot.buffer.data(), &source[block * kBlock], kBlock);
      ASSERT_TRUE(issued(write(slot)));
    }
    for (auto& slot : slots) EXPECT_EQ(slot->finish(handle), 0u);
  });

  Bytes received;
  received.reserve(kTotal);
  std::thread reader([&] {
    std::vector<std::unique_ptr<Bulk>> slots;
    for (std::size_t i = 0; i < kInFlight; ++i) {
      slots.push_back(std::make_unique<Bulk>(kBlock));
      ASSERT_TRUE(issued(read(*slots.back())));
    }
    for (std::size_t i = 0; received.size() < kTotal; ++i) {
      Bulk& slot = *slots[i % kInFlight];
      ASSERT_EQ(slot.finish(handle), 0u);
      ASSERT_GT(slot.bytes, 0u);
      received.insert(received.end(), slot.buffer.begin(), slot.buffer.begin() + slot.bytes);
      ASSERT_TRUE(issued(read(slot)));
    }
    ASSERT_TRUE(os::CancelIo(handle));
    for (auto& slot : slots) EXPECT_EQ(slot->finish(handle), os::kErrorOperationAborted);
  });

  for (int names = 0; names < 200; ++names) EXPECT_TRUE(in(UsbModule::kName, 0, 0, 16).ok);
  reader.join();
  // A reader that gave up would leave the writer waiting: closing the handle
  // ends its transfers.
  const bool failed = HasFailure();
  if (failed) os::CloseHandle(handle);
  writer.join();
  if (failed) handle = os::invalidHandle();
  ASSERT_EQ(received.size(), kTotal);
  EXPECT_TRUE(received == source);
}

// Reads cancelled while a write on another thread may be completing them: a
// read ends either with its data or aborted with none, so no byte is lost.
TEST_F(UsbModuleTest, CancelledReadsLoseNoData) {
  install(std::make_shared<UsbModule>(chip, UsbModule::kModuleType, 8192));
  ASSERT_TRUE(startApplication());
  constexpr std::size_t kBlock = 4096;
  constexpr std::size_t kTotal = 1024 * kBlock;
  const Bytes source = pattern(kTotal, 13);

  std::thread writer([&] {
    Bulk slots[2] = {Bulk(kBlock), Bulk(kBlock)};
    for (std::size_t block = 0; block < kTotal / kBlock; ++block) {
      Bulk& slot = slots[block % 2];
      if (block >= 2) {
        ASSERT_EQ(slot.finish(handle), 0u);
      }
      std::memcpy(slot.buffer.data(), &source[block * kBlock], kBlock);
      ASSERT_TRUE(issued(write(slot)));
    }
    for (Bulk& slot : slots) EXPECT_EQ(slot.finish(handle), 0u);
  });

  Bytes received;
  received.reserve(kTotal);
  Bulk slots[2] = {Bulk(1536), Bulk(1536)};
  while (received.size() < kTotal && !HasFailure()) {
    for (Bulk& slot : slots) ASSERT_TRUE(issued(read(slot)));
    ASSERT_TRUE(os::CancelIo(handle));
    for (Bulk& slot : slots) {
      const Dword error = slot.finish(handle);
      if (error == os::kErrorOperationAborted) {
        EXPECT_EQ(slot.bytes, 0u);
      } else {
        ASSERT_EQ(error, 0u);
      }
      received.insert(received.end(), slot.buffer.begin(), slot.buffer.begin() + slot.bytes);
    }
  }
  if (HasFailure()) os::CloseHandle(handle);
  writer.join();
  if (HasFailure()) handle = os::invalidHandle();
  ASSERT_EQ(received.size(), kTotal);
  EXPECT_TRUE(received == source);
}

// ---- faults

struct FaultCase {
  const char* name;
  Fault fault;
  bool pending;
  Dword error;
  Dword bytes;
};

class FaultTest : public UsbModuleTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, ControlRequestsShowTheFaultAfterTheGivenCount) {
  const FaultCase& c = GetParam();
  ASSERT_TRUE(startApplication());
  module->setFault(c.fault, 2);
  EXPECT_TRUE(in(UsbModule::kName, 0, 0, 16).ok);
  EXPECT_TRUE(flashWrite(0, {0x01}).ok);
  const Transfer name = in(UsbModule::kName, 0, 0, 16);
  EXPECT_EQ(name.pending, c.pending);
  EXPECT_EQ(name.error, c.error);
  EXPECT_EQ(name.bytes, c.bytes);
  // Carried out only when it is answered at all.
  const bool answered = flashWrite(0, {0x02}).error == 0;
  EXPECT_EQ(chip->peek(0, 0), answered ? 0x02 : 0x01);
  // The information query belongs to the driver, not to the firmware.
  Bytes block(80);
  Dword bytes = 0;
  EXPECT_TRUE(os::DeviceIoControl(handle, UsbModule::kInformation, nullptr, 0, block.data(), 80,
                                  &bytes, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(FaultCase{"None", Fault::None, false, 0, 16},
                      FaultCase{"ShortAnswer", Fault::ShortAnswer, false, 0, 15},
                      FaultCase{"FailAtOnce", Fault::FailAtOnce, false, os::kErrorGenFailure, 0},
                      FaultCase{"TimeOut", Fault::TimeOut, true, os::kErrorOperationAborted, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbModuleTest, UnpluggedModuleFailsEverythingUntilPluggedBackIn) {
  ASSERT_TRUE(startApplication());
  Bulk pending(512);
  EXPECT_FALSE(read(pending));
  module->setFault(Fault::Unplugged);
  EXPECT_EQ(pending.finish(handle), UsbModule::kErrorDeviceNotConnected);

  EXPECT_EQ(in(UsbModule::kName, 0, 0, 16).error, UsbModule::kErrorDeviceNotConnected);
  Bulk later(512);
  EXPECT_FALSE(write(later));
  EXPECT_EQ(os::GetLastError(), UsbModule::kErrorDeviceNotConnected);
  Bytes block(80);
  Dword bytes = 0;
  EXPECT_FALSE(os::DeviceIoControl(handle, UsbModule::kInformation, nullptr, 0, block.data(), 80,
                                   &bytes, nullptr));
  EXPECT_EQ(openModule(), os::invalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);

  // Back, freshly powered up; the old handle stays dead.
  module->setFault(Fault::None);
  os::Handle fresh = openModule();
  ASSERT_NE(fresh, os::invalidHandle());
  EXPECT_EQ(module->startAddress(), UsbModule::kOtherProgram);
  EXPECT_EQ(in(UsbModule::kName, 0, 0, 8).error, UsbModule::kErrorDeviceNotConnected);
  closeModule();
  handle = fresh;
  EXPECT_TRUE(in(UsbModule::kName, 0, 0, 8).ok);
}

TEST_F(UsbModuleTest, ModuleCanVanishAfterSomeControlRequests) {
  ASSERT_TRUE(startApplication());
  module->setFault(Fault::Unplugged, 1);
  EXPECT_TRUE(flashWrite(0, {0x01}).ok);
  EXPECT_EQ(flashWrite(512, {0x02}).error, UsbModule::kErrorDeviceNotConnected);
  EXPECT_EQ(chip->peek(1, 0), 0xFF);
  EXPECT_EQ(openModule(), os::invalidHandle());
}

}  // namespace
}  // namespace vkm470::sim::test
