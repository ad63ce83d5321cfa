// SPDX-License-Identifier: MIT
// Bulk loop-back throughput of the virtual USB module through the hosted seam:
// the benchmark thread writes transfers of the given size (64 KiB, the
// streaming case, and smaller ones that show the cost per request) and a
// reader thread reads them back, each with the given number of transfers in
// flight, as the streaming workers do.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "dataflash.h"
#include "hosted.h"
#include "usb_module.h"

namespace {

namespace os = vkm470::os;
using vkm470::sim::DataFlash;
using vkm470::sim::UsbModule;

constexpr std::uint64_t kBytesPerIteration = 16 << 20;

struct Slot {
  explicit Slot(os::Dword size) : buffer(size, 0x5A) {
    record.hEvent = os::CreateEvent(false, false);
  }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() { os::CloseHandle(record.hEvent); }
  // Waits for the slot's transfer; false when it failed.
  bool finish(os::Handle handle) {
    os::WaitForSingleObject(record.hEvent, os::kInfinite);
    return os::GetOverlappedResult(handle, &record, &bytes, false);
  }
  std::vector<std::uint8_t> buffer;
  os::Overlapped record{};
  os::Dword bytes = 0;
};

bool started(bool doneAtOnce) { return doneAtOnce || os::GetLastError() == os::kErrorIoPending; }

void BM_LoopBack(benchmark::State& state) {
  const auto inFlight = static_cast<std::size_t>(state.range(0));
  const auto block = static_cast<os::Dword>(state.range(1));
  const std::uint64_t blocksPerIteration = kBytesPerIteration / block;
  auto module = std::make_shared<UsbModule>(std::make_shared<DataFlash>());
  os::hosted::registerDevice("QDev0", module);
  os::Handle handle = os::CreateFile("\\\\.\\QDev0", os::kGenericRead | os::kGenericWrite, 0,
                                     os::kOpenExisting, os::kFileFlagOverlapped);
  const std::uint8_t start[8] = {0, 0, UsbModule::kCallApplication, 0, 0, 0, 0, 0};
  os::Dword bytes = 0;
  os::Overlapped record{};
  if (!os::DeviceIoControl(handle, UsbModule::kControl, start, sizeof(start), nullptr, 0, &bytes,
                           &record)) {
    state.SkipWithError("the application did not start");
    return;
  }

  // Reads until the handle closes under it.
  std::atomic<std::uint64_t> received{0};
  std::thread reader([&] {
    std::vector<std::unique_ptr<Slot>> slots;
    std::vector<bool> live(inFlight);
    for (std::size_t i = 0; i < inFlight; ++i) {
      slots.push_back(std::make_unique<Slot>(block));
      live[i] =
          started(os::ReadFile(handle, slots[i]->buffer.data(), block, nullptr, &slots[i]->record));
    }
    for (std::size_t i = 0; live[i]; i = (i + 1) % inFlight) {
      Slot& slot = *slots[i];
      live[i] = false;
      if (!slot.finish(handle)) break;
      received.fetch_add(slot.bytes, std::memory_order_relaxed);
      live[i] = started(os::ReadFile(handle, slot.buffer.data(), block, nullptr, &slot.record));
    }
    for (std::size_t i = 0; i < inFlight; ++i)
      if (live[i]) slots[i]->finish(handle);
  });

  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<bool> live(inFlight);
  for (std::size_t i = 0; i < inFlight; ++i) slots.push_back(std::make_unique<Slot>(block));
  std::size_t next = 0;
  bool failed = false;
  for (auto _ : state) {
    for (std::uint64_t n = 0; n < blocksPerIteration && !failed; ++n) {
      Slot& slot = *slots[next];
      if (live[next]) failed = !slot.finish(handle);
      live[next] = started(os::WriteFile(handle, slot.buffer.data(), block, nullptr, &slot.record));
      failed = failed || !live[next];
      next = (next + 1) % inFlight;
    }
  }
  for (std::size_t i = 0; i < inFlight; ++i)
    if (live[i]) slots[i]->finish(handle);
  if (failed) state.SkipWithError("a write failed");

  os::CloseHandle(handle);
  reader.join();
  os::hosted::unregisterDevice("QDev0");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerIteration));
  state.counters["received_MiB"] = static_cast<double>(received.load()) / (1 << 20);
}
BENCHMARK(BM_LoopBack)
    ->ArgNames({"in_flight", "bytes"})
    ->ArgsProduct({{1, 4, 8}, {64 * 1024}})
    ->ArgsProduct({{4}, {4096, 512}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
