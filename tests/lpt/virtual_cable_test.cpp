// SPDX-License-Identifier: MIT
// Both write sequences over the virtual module's cable, on the virtual clock:
// the bytes that land in the flash for each range, and the fast sequence on
// chips whose programs end sooner or later than the next buffer's fill, or
// never. The chip ignores what a busy chip ignores, so a command sent too
// soon shows up as a page that is not what was written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "cable.h"
#include "dataflash.h"
#include "hosted.h"
#include "vkm470fapi.h"

namespace lpttest {
namespace {

namespace os = vkm470::os;
namespace hosted = vkm470::os::hosted;
using vkm470::sim::Cable;
using vkm470::sim::DataFlash;
using vkm470::sim::PageMode;
using Bytes = std::vector<std::uint8_t>;

// The cable takes the time a real port takes, about a microsecond a line
// change or sample, so a 512-byte buffer fill lasts 8 ms of the clock the
// chip programs on.
class TimedPort : public hosted::Device {
 public:
  explicit TimedPort(std::unique_ptr<hosted::Device> port) : port_(std::move(port)) {}
  void submit(hosted::Request& request) override {
    port_->submit(request);
    if (request.code() == Cable::kBatch) os::Sleep(request.inputSize() / 4 / 1000);
  }

 private:
  std::unique_ptr<hosted::Device> port_;
};

class TimedCable : public hosted::Driver {
 public:
  explicit TimedCable(std::shared_ptr<DataFlash> chip) : cable_(std::move(chip)) {}
  std::unique_ptr<hosted::Device> open(os::Dword access, os::Dword share,
                                       os::Dword* error) override {
    auto port = cable_.open(access, share, error);
    return port ? std::make_unique<TimedPort>(std::move(port)) : nullptr;
  }

 private:
  Cable cable_;
};

constexpr std::uint32_t kFillMs = 8;  // a whole page's buffer write on the timed cable

class VirtualCableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosted::setVirtualClock(true);
    chip->forcePageMode(PageMode::Binary);
    for (std::uint32_t page = 0; page < kPages; ++page)
      for (std::uint32_t offset = 0; offset < 512; ++offset)
        chip->poke(page, offset, background(page * 512 + offset));
    hosted::registerDevice("ALTLPT1", std::make_shared<TimedCable>(chip));
    dev.interfaceType = VKM470F_INTERFACE_LPT1;
  }

  void TearDown() override {
    unsetenv("VKM470_LPT_FAST");
    hosted::unregisterDevice("ALTLPT1");
    hosted::setVirtualClock(false);
  }

  static void fastWrites(bool fast) {
    if (fast)
      setenv("VKM470_LPT_FAST", "1", 1);
    else
      unsetenv("VKM470_LPT_FAST");
  }

  static std::uint8_t background(std::uint32_t address) {
    return std::uint8_t(address * 5 + address / 512 + 1);
  }
  static Bytes data(std::uint32_t length) {
    Bytes bytes(length);
    for (std::uint32_t i = 0; i < length; ++i) bytes[i] = std::uint8_t(i * 13 + 7 + i / 509);
    return bytes;
  }
  // The first kPages pages as the chip holds them.
  Bytes flash() {
    Bytes bytes(kPages * 512);
    for (std::uint32_t a = 0; a < bytes.size(); ++a) bytes[a] = chip->peek(a / 512, a % 512);
    return bytes;
  }
  // The background with bytes written over it from address on.
  static Bytes expected(std::uint32_t address, const Bytes& written) {
    Bytes bytes(kPages * 512);
    for (std::uint32_t a = 0; a < bytes.size(); ++a) bytes[a] = background(a);
    std::copy(written.begin(), written.end(), bytes.begin() + address);
    return bytes;
  }

  static constexpr std::uint32_t kPages = 20;
  std::shared_ptr<DataFlash> chip = std::make_shared<DataFlash>();
  VKM470F_DEVICE dev{};
};

struct Range {
  const char* name;
  std::uint32_t address;
  std::uint32_t length;
};

class RangeTest : public VirtualCableTest,
                  public ::testing::WithParamInterface<std::tuple<bool, Range>> {};

TEST_P(RangeTest, FlashHoldsTheRangeAndKeepsTheRestOfItsPages) {
  const auto& [fast, range] = GetParam();
  fastWrites(fast);
  const Bytes bytes = data(range.length);
  ASSERT_EQ(VKM470F_ProgrammDSPFlash(&dev, range.address, bytes.data(), range.length, 1000),
            VKM470F_SUCCESS);
  EXPECT_EQ(flash(), expected(range.address, bytes));

  Bytes back(range.length);
  ASSERT_EQ(VKM470F_ReadDSPFlash(&dev, range.address, back.data(), range.length, 1000),
            VKM470F_SUCCESS);
  EXPECT_EQ(back, bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RangeTest,
    ::testing::Combine(::testing::Bool(),
                       ::testing::Values(Range{"WholePages", 0x400, 5 * 512},
                                         Range{"PartialFirst", 0x3F0, 16 + 3 * 512},
                                         Range{"PartialLast", 0x400, 3 * 512 + 100},
                                         Range{"PartialFirstAndLast", 0x3F0, 16 + 4 * 512 + 60},
                                         Range{"PartialLastInBuffer2", 0x400, 512 + 300},
                                         Range{"InsideOnePage", 0x610, 40},
                                         Range{"LastByteOfAPage", 0x5FF, 1},
                                         Range{"EmptyInsideAPage", 0x610, 0})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) ? "Fast" : "Documented") +
             std::get<1>(info.param).name;
    });

struct Timing {
  const char* name;
  std::uint32_t address;
  std::uint32_t length;
  std::vector<std::uint32_t> programUs;  // one page after another, round and round
  friend void PrintTo(const Timing& t, std::ostream* os) { *os << t.name; }
};

class ProgramTimeTest : public VirtualCableTest, public ::testing::WithParamInterface<Timing> {};

// Programs of 0.5 and 2 ms end while the next page's 8 ms fill goes on;
// those of 12 to 30 ms outlast it, so the next program must wait for them.
TEST_P(ProgramTimeTest, FastWritesLandWhateverEachProgramTakes) {
  const Timing& t = GetParam();
  fastWrites(true);
  std::size_t programs = 0;
  std::uint64_t programUs = 0;
  chip->setProgramTime([&] {
    const std::uint32_t us = t.programUs[programs++ % t.programUs.size()];
    programUs += us;
    return us;
  });
  const Bytes bytes = data(t.length);
  const os::Dword start = os::GetTickCount();
  ASSERT_EQ(VKM470F_ProgrammDSPFlash(&dev, t.address, bytes.data(), t.length, 1000),
            VKM470F_SUCCESS);
  const os::Dword elapsed = os::GetTickCount() - start;
  EXPECT_EQ(flash(), expected(t.address, bytes));

  // One after the other the fills and programs would take their sum; the
  // fills of whole pages after the first overlap the programs before them.
  const std::uint32_t wholePages = t.length / 512;
  EXPECT_LT(elapsed * 1000ull, programUs + wholePages * kFillMs * 1000ull);
}

INSTANTIATE_TEST_SUITE_P(
    Chips, ProgramTimeTest,
    ::testing::Values(Timing{"Aligned", 0x400, 12 * 512, {500, 30000, 2000, 17000, 12000}},
                      Timing{"Unaligned", 0x4F0, 12 * 512, {30000, 500, 17000, 2000, 12000}},
                      Timing{"AllShort", 0x400, 8 * 512, {500}},
                      Timing{"AllLong", 0x400, 8 * 512, {25000}}),
    [](const auto& info) { return std::string(info.param.name); });

struct Hang {
  const char* name;
  bool stuck;                            // busy from the start
  std::vector<std::uint32_t> programUs;  // else: programs' times, the last one never ending
  std::uint32_t pagesWritten;
  friend void PrintTo(const Hang& h, std::ostream* os) { *os << h.name; }
};

class BusyTest : public VirtualCableTest, public ::testing::WithParamInterface<Hang> {};

// A chip that never gets ready ends the fast write after the 5000 ms ready
// time-out with the export's flash error; the pages programmed before it stay.
TEST_P(BusyTest, FastWriteEndsAtTheReadyTimeOut) {
  const Hang& h = GetParam();
  fastWrites(true);
  chip->setStuckBusy(h.stuck);
  std::size_t programs = 0;
  chip->setProgramTime([&] { return h.programUs[std::min(programs++, h.programUs.size() - 1)]; });
  const Bytes bytes = data(6 * 512);
  const os::Dword start = os::GetTickCount();
  EXPECT_EQ(VKM470F_ProgrammDSPFlash(&dev, 0x400, bytes.data(), 6 * 512, 1000),
            VKM470F_ERR_FLASH_FAILED);
  const os::Dword elapsed = os::GetTickCount() - start;
  EXPECT_GT(elapsed, 5000u);
  EXPECT_LT(elapsed, 5000u + 200);
  EXPECT_EQ(flash(), expected(0x400, Bytes(bytes.begin(), bytes.begin() + h.pagesWritten * 512)));
}

INSTANTIATE_TEST_SUITE_P(
    Chips, BusyTest,
    ::testing::Values(Hang{"StuckFromTheStart", true, {17000}, 0},
                      Hang{"ThirdProgramNeverEnds", false, {17000, 17000, 60'000'000}, 3}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lpttest
