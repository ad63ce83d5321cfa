// SPDX-License-Identifier: MIT
// The parallel-port flash path of the library, two ways:
//   - its CPU cost apart from the fixed sleeps: a cable driver that completes
//     every request at once, on the virtual clock so the 10 ms select pauses
//     cost nothing;
//   - flash written and read over the virtual module's cable on the real
//     clock, where the pauses and the chip's busy times set the pace, beside
//     the least time those allow for the same transfer.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cable.h"
#include "dataflash.h"
#include "hosted.h"
#include "lpt/at45db161.h"
#include "vkm470fapi.h"

namespace {

namespace os = vkm470::os;

// Answers the port query, accepts register writes and returns batches as sent:
// a read entry's value 0 decodes as 1 bits, so the chip always reads ready.
class NullCable : public os::hosted::Device {
 public:
  void submit(os::hosted::Request& request) override {
    switch (request.code()) {
      case 0x00166A00: {
        const std::uint8_t present[4] = {2, 0, 0, 0};
        std::memcpy(request.output(), present, sizeof(present));
        request.complete(0, sizeof(present));
        return;
      }
      case 0x0016AA1C:
        if (request.output() != request.input()) {
          std::memcpy(request.output(), request.input(), request.inputSize());
        }
        request.complete(0, request.inputSize());
        return;
      default:
        request.complete(0, 0);
    }
  }
};

class NullCableDriver : public os::hosted::Driver {
 public:
  std::unique_ptr<os::hosted::Device> open(os::Dword, os::Dword, os::Dword*) override {
    return std::make_unique<NullCable>();
  }
};

constexpr std::uint32_t kPiece = 4096;

// The null cable is ALTLPT1. Each benchmark sets the clock it runs on, so
// they may run in any order or alone.
void useNullCable() {
  static const bool registered = [] {
    os::hosted::registerDevice("ALTLPT1", std::make_shared<NullCableDriver>());
    return true;
  }();
  (void)registered;
  os::hosted::setVirtualClock(true);
}

void reportPieces(benchmark::State& state, std::uint32_t bytes) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * bytes);
  state.counters["per_piece"] =
      benchmark::Counter(double(state.iterations()) * bytes / kPiece,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One whole page on an open cable: buffer write, page program, one status poll.
void BM_ProgramPage(benchmark::State& state) {
  useNullCable();
  const std::vector<std::uint8_t> data(vkm470::lpt::kPageSize, 0x5A);
  vkm470::lpt::CAT45DB161Flash flash;
  if (!flash.Open(1)) {
    state.SkipWithError("cable did not open");
    return;
  }
  flash.Deselect();
  for (auto _ : state) {
    benchmark::DoNotOptimize(flash.ProgramFlash(0, data.data(), std::uint32_t(data.size())));
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}
BENCHMARK(BM_ProgramPage);

// range(0) bytes through the export, which opens and closes the cable per
// call: one page, and a 4096-byte piece (the burner's chunk).
void BM_ProgramFlashExport(benchmark::State& state) {
  useNullCable();
  const auto bytes = std::uint32_t(state.range(0));
  const std::vector<std::uint8_t> data(bytes, 0x5A);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT1;
  for (auto _ : state) {
    if (VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("program failed");
      break;
    }
  }
  reportPieces(state, bytes);
}
BENCHMARK(BM_ProgramFlashExport)->ArgName("bytes")->Arg(vkm470::lpt::kPageSize)->Arg(kPiece);

// Read back: 96 bytes of batch per byte.
void BM_ReadFlashExport(benchmark::State& state) {
  useNullCable();
  const auto bytes = std::uint32_t(state.range(0));
  std::vector<std::uint8_t> data(bytes);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT1;
  for (auto _ : state) {
    if (VKM470F_ReadDSPFlash(&dev, 0, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  reportPieces(state, bytes);
}
BENCHMARK(BM_ReadFlashExport)->ArgName("bytes")->Arg(vkm470::lpt::kPageSize)->Arg(kPiece);

// The virtual module's cable is ALTLPT2, its chip in binary pages, on the
// real clock.
constexpr std::uint32_t kApplication = 0x020200;

void useVirtualModule() {
  os::hosted::setVirtualClock(false);
  static const bool registered = [] {
    auto chip = std::make_shared<vkm470::sim::DataFlash>();
    chip->forcePageMode(vkm470::sim::PageMode::Binary);
    os::hosted::registerDevice("ALTLPT2", std::make_shared<vkm470::sim::Cable>(chip));
    return true;
  }();
  (void)registered;
}

// The least time a transfer can take, from the documented pauses and the
// chip's busy times, not from the library's own constants. The library
// sleeps after every select-line change; a command is one window, two
// pauses; the cable open leaves one pause.
constexpr double kSelectPauseMs = 10;
constexpr double kWindowMs = 2 * kSelectPauseMs;
constexpr double kOpenMs = kSelectPauseMs;

// A whole page is a buffer write window, a program window and the status
// polls. The program starts as the chip is deselected; the n-th poll
// samples the status n windows later, so the chip's program time costs one
// more poll for every window it lasts beyond the first.
double pageProgramMs() {
  const double programMs = vkm470::sim::DataFlash::kProgramMicroseconds / 1000.0;
  double polls = 1;
  while (polls * kWindowMs < programMs) ++polls;
  return 2 * kWindowMs + polls * kWindowMs;
}

void reportReference(benchmark::State& state, std::uint32_t bytes, double referenceMs) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * bytes);
  state.counters["reference_ms"] = referenceMs;
}

// range(0) bytes of whole pages at the application's address.
void BM_VirtualModuleWrite(benchmark::State& state) {
  useVirtualModule();
  const auto bytes = std::uint32_t(state.range(0));
  const std::vector<std::uint8_t> data(bytes, 0x5A);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT2;
  for (auto _ : state) {
    if (VKM470F_ProgrammDSPFlash(&dev, kApplication, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("program failed");
      break;
    }
  }
  reportReference(state, bytes, kOpenMs + bytes / vkm470::lpt::kPageSize * pageProgramMs());
}
BENCHMARK(BM_VirtualModuleWrite)
    ->ArgName("bytes")
    ->Arg(kPiece)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A read is a ready poll and one window whatever its length; the chip is
// never busy for it, so one poll finds it ready.
void BM_VirtualModuleRead(benchmark::State& state) {
  useVirtualModule();
  const auto bytes = std::uint32_t(state.range(0));
  std::vector<std::uint8_t> data(bytes);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT2;
  for (auto _ : state) {
    if (VKM470F_ReadDSPFlash(&dev, kApplication, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  reportReference(state, bytes, kOpenMs + 2 * kWindowMs);
}
BENCHMARK(BM_VirtualModuleRead)
    ->ArgName("bytes")
    ->Arg(kPiece)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Fast writes (VKM470_LPT_FAST=1): an area written and verified as the burner
// does it, a 4096-byte chunk written then read back at a time, each call on a
// cable of its own. Nothing pauses but the ready polls, so the chip's page
// programs are the least it can take: range(1) pages of 17 ms.
void BM_VirtualModuleFastBurn(benchmark::State& state) {
  useVirtualModule();
  setenv("VKM470_LPT_FAST", "1", 1);
  const auto address = std::uint32_t(state.range(0));
  const auto bytes = std::uint32_t(state.range(1));
  std::vector<std::uint8_t> data(bytes);
  for (std::uint32_t i = 0; i < bytes; ++i) data[i] = std::uint8_t(i * 7 + i / 4093);
  std::vector<std::uint8_t> back(kPiece);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT2;
  for (auto _ : state) {
    for (std::uint32_t done = 0; done < bytes; done += kPiece) {
      const std::uint32_t n = bytes - done < kPiece ? bytes - done : kPiece;
      if (VKM470F_ProgrammDSPFlash(&dev, address + done, data.data() + done, n, 1000) != 0 ||
          VKM470F_ReadDSPFlash(&dev, address + done, back.data(), n, 1000) != 0 ||
          std::memcmp(back.data(), data.data() + done, n) != 0) {
        state.SkipWithError("burn failed");
        break;
      }
    }
  }
  unsetenv("VKM470_LPT_FAST");
  const std::uint32_t pages = (bytes + vkm470::lpt::kPageSize - 1) / vkm470::lpt::kPageSize;
  reportReference(state, bytes, pages * vkm470::sim::DataFlash::kProgramMicroseconds / 1000.0);
}
BENCHMARK(BM_VirtualModuleFastBurn)
    ->ArgNames({"address", "bytes"})
    ->Args({0, 131072})              // the boot area
    ->Args({kApplication, 1863168})  // the application area
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
