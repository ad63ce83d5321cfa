// CPU cost of the parallel-port flash path apart from its fixed sleeps: a
// cable driver that completes every request at once, on the virtual clock so
// the 10 ms select pauses cost nothing.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

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

struct Setup {
  Setup() {
    os::hosted::setVirtualClock(true);
    os::hosted::registerDevice("ALTLPT1", std::make_shared<NullCableDriver>());
  }
};

const std::vector<std::uint8_t>& page() {
  static const Setup setup;
  static const std::vector<std::uint8_t> data(vkm470::lpt::kPageSize, 0x5A);
  return data;
}

// One whole page on an open cable: buffer write, page program, one status poll.
void BM_ProgramPage(benchmark::State& state) {
  const auto& data = page();
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

// The same page through the export, which opens and closes the cable per call.
void BM_ProgramPageExport(benchmark::State& state) {
  const auto& data = page();
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT1;
  for (auto _ : state) {
    if (VKM470F_ProgrammDSPFlash(&dev, 0, data.data(), std::uint32_t(data.size()), 1000) != 0) {
      state.SkipWithError("program failed");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}
BENCHMARK(BM_ProgramPageExport);

// A page read back: 96 bytes of batch per byte.
void BM_ReadPage(benchmark::State& state) {
  page();
  std::vector<std::uint8_t> data(vkm470::lpt::kPageSize);
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT1;
  for (auto _ : state) {
    if (VKM470F_ReadDSPFlash(&dev, 0, data.data(), std::uint32_t(data.size()), 1000) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}
BENCHMARK(BM_ReadPage);

}  // namespace

BENCHMARK_MAIN();
