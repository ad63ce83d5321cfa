// SPDX-License-Identifier: MIT
// CPU cost of the USB flash path: the exports, the channel and the hosted seam
// against a module driver that completes every request at once, so all that
// is measured is the library's own work per 4096-byte piece. The seam's
// overlapped request alone is measured too, to tell the two apart.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dataflash.h"
#include "hosted.h"
#include "usb/qusb.h"
#include "usb_module.h"
#include "vkm470fapi.h"

namespace {

namespace os = vkm470::os;

constexpr std::uint32_t kPiece = 4096;
constexpr std::uint32_t kMiB = 1 << 20;

// Answers the information query as a module and moves every data stage in
// full at once, touching no data.
class InstantModule : public os::hosted::Device {
 public:
  void submit(os::hosted::Request& request) override {
    if (request.code() == vkm470::usb::kIoctlInformation) {
      std::uint8_t block[vkm470::usb::kInformationBytes] = {};
      block[vkm470::usb::kModuleTypeOffset] = vkm470::usb::kModuleTypeVkm470;
      std::memcpy(request.output(), block, sizeof block);
    }
    request.complete(0, request.kind() == os::hosted::RequestKind::Write ? request.inputSize()
                                                                         : request.outputSize());
  }
};

// The same answers from a driver thread, as a real driver completes its
// requests: every transfer then pends and the caller waits for its event.
// The CPU time counted is the whole process's, the driver thread's included.
class ThreadedModule : public os::hosted::Device {
 public:
  ThreadedModule() : worker_([this] { run(); }) {}
  ~ThreadedModule() override {
    {
      std::lock_guard<std::mutex> lk(lock_);
      stop_ = true;
    }
    wake_.notify_one();
    worker_.join();
  }
  void submit(os::hosted::Request& request) override {
    {
      std::lock_guard<std::mutex> lk(lock_);
      queue_.push_back(&request);
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lk(lock_);
    for (;;) {
      wake_.wait(lk, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      os::hosted::Request* request = queue_.front();
      queue_.pop_front();
      lk.unlock();
      instant_.submit(*request);
      lk.lock();
    }
  }

  InstantModule instant_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<os::hosted::Request*> queue_;
  bool stop_ = false;
  std::thread worker_;
};

template <typename Module>
class ModuleDriver : public os::hosted::Driver {
 public:
  std::unique_ptr<os::hosted::Device> open(os::Dword, os::Dword, os::Dword*) override {
    return std::make_unique<Module>();
  }
};

void registerModules() {
  static const bool registered = [] {
    os::hosted::registerDevice("QDev0", std::make_shared<ModuleDriver<InstantModule>>());
    os::hosted::registerDevice("QDev1", std::make_shared<ModuleDriver<ThreadedModule>>());
    return true;
  }();
  (void)registered;
}

constexpr std::uint8_t kInstant = 0;
constexpr std::uint8_t kThreaded = 1;

// An open record on one of the modules, the application running.
class OpenRecord {
 public:
  explicit OpenRecord(std::uint8_t number) {
    registerModules();
    dev_.interfaceType = VKM470F_INTERFACE_USB;
    ok_ = VKM470F_OpenDevice(&dev_, number) == VKM470F_SUCCESS && dev_.applicationRunning == 1;
  }
  ~OpenRecord() { VKM470F_CloseDevice(&dev_); }
  bool ok() const { return ok_; }
  VKM470F_DEVICE* dev() { return &dev_; }

 private:
  VKM470F_DEVICE dev_{};
  bool ok_ = false;
};

void reportPieces(benchmark::State& state, std::uint32_t bytes) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * bytes);
  state.counters["per_piece"] =
      benchmark::Counter(double(state.iterations()) * (bytes / kPiece),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// VKM470F_ProgrammDSPFlash of range(0) bytes, one request per 4096, on
// module range(1).
void BM_ProgramFlash(benchmark::State& state) {
  OpenRecord record(std::uint8_t(state.range(1)));
  if (!record.ok()) {
    state.SkipWithError("module did not open");
    return;
  }
  const auto bytes = std::uint32_t(state.range(0));
  std::vector<std::uint8_t> data(bytes, 0x5A);
  for (auto _ : state) {
    if (VKM470F_ProgrammDSPFlash(record.dev(), 0, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("program failed");
      break;
    }
  }
  reportPieces(state, bytes);
}
BENCHMARK(BM_ProgramFlash)
    ->MeasureProcessCPUTime()
    ->ArgNames({"bytes", "threaded"})
    ->ArgsProduct({{kPiece, kMiB}, {kInstant, kThreaded}});

// VKM470F_ReadDSPFlash of range(0) bytes on module range(1).
void BM_ReadFlash(benchmark::State& state) {
  OpenRecord record(std::uint8_t(state.range(1)));
  if (!record.ok()) {
    state.SkipWithError("module did not open");
    return;
  }
  const auto bytes = std::uint32_t(state.range(0));
  std::vector<std::uint8_t> data(bytes);
  for (auto _ : state) {
    if (VKM470F_ReadDSPFlash(record.dev(), 0, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  reportPieces(state, bytes);
}
BENCHMARK(BM_ReadFlash)
    ->MeasureProcessCPUTime()
    ->ArgNames({"bytes", "threaded"})
    ->ArgsProduct({{kPiece, kMiB}, {kInstant, kThreaded}});

// The seam alone: one overlapped 4096-byte control request on the instant
// module as the channel issues it (it completes at once, so nothing waits),
// without the channel's mutex.
void BM_SeamRequest(benchmark::State& state) {
  registerModules();
  const os::Handle device = os::CreateFile("\\\\.\\QDev0", os::kGenericRead | os::kGenericWrite, 0,
                                           os::kOpenExisting, os::kFileFlagOverlapped);
  if (device == os::invalidHandle()) {
    state.SkipWithError("module did not open");
    return;
  }
  os::Overlapped overlapped{};
  overlapped.hEvent = os::CreateEvent(false, false);
  const QUSB_REQUEST request{1, 0x0A, 0, 0};
  std::vector<std::uint8_t> data(kPiece);
  for (auto _ : state) {
    os::Dword moved = 0;
    if (!os::DeviceIoControl(device, vkm470::usb::kIoctlControlRequest, &request, sizeof request,
                             data.data(), kPiece, &moved, &overlapped) ||
        moved != kPiece) {
      state.SkipWithError("request failed");
      break;
    }
  }
  os::CloseHandle(overlapped.hEvent);
  os::CloseHandle(device);
  reportPieces(state, kPiece);
}
BENCHMARK(BM_SeamRequest);

// The seam's mutex round trip that every channel transfer makes.
void BM_SeamMutex(benchmark::State& state) {
  const os::Handle mutex = os::CreateMutex(false);
  for (auto _ : state) {
    os::WaitForSingleObject(mutex, os::kInfinite);
    os::ReleaseMutex(mutex);
  }
  os::CloseHandle(mutex);
}
BENCHMARK(BM_SeamMutex);

// Flash over the virtual module through the exports, on the real clock: the
// chip's busy times (a page program takes 17 ms) set the pace of a write, the
// library and the seam that of a read. range(0) bytes at the application's
// address.
constexpr std::uint8_t kVirtualModule = 5;

OpenRecord openVirtualModule() {
  static const auto module = [] {
    auto chip = std::make_shared<vkm470::sim::DataFlash>();
    chip->forcePageMode(vkm470::sim::PageMode::Binary);
    auto usb = std::make_shared<vkm470::sim::UsbModule>(chip);
    os::hosted::registerDevice("QDev5", usb);
    return usb;
  }();
  return OpenRecord(kVirtualModule);
}

void BM_VirtualModuleWrite(benchmark::State& state) {
  OpenRecord record = openVirtualModule();
  const auto bytes = std::uint32_t(state.range(0));
  std::vector<std::uint8_t> data(bytes, 0x5A);
  for (auto _ : state) {
    if (VKM470F_ProgrammDSPFlash(record.dev(), 0x020200, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("program failed");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * bytes);
  // The least time it can take: the pieces go back to back without pauses,
  // and each whole page of them is one program of the chip.
  state.counters["reference_ms"] = double(bytes / vkm470::sim::DataFlash::kBinaryPageBytes) *
                                   vkm470::sim::DataFlash::kProgramMicroseconds / 1000.0;
}
BENCHMARK(BM_VirtualModuleWrite)->Arg(64 * 1024)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_VirtualModuleRead(benchmark::State& state) {
  OpenRecord record = openVirtualModule();
  const auto bytes = std::uint32_t(state.range(0));
  std::vector<std::uint8_t> data(bytes);
  for (auto _ : state) {
    if (VKM470F_ReadDSPFlash(record.dev(), 0x020200, data.data(), bytes, 1000) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * bytes);
}
BENCHMARK(BM_VirtualModuleRead)->Arg(kMiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
