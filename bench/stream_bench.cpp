// SPDX-License-Identifier: MIT
// The streaming path's speed, each figure beside what it is compared with in
// the same run:
//   - the byte ring between two threads moving 64 KiB pieces, against plain
//     memcpy of the same pieces and against boost::lockfree::spsc_queue;
//   - words streamed through the exports and back through the virtual
//     module's loop-back, checked word by word: by a writer and a reader
//     thread, by one thread that writes a block and blocks to read it back,
//     and as examples/loopback.c streams;
//   - the latency of a 512-byte round trip: a write, then a blocking read of
//     its echo;
//   - the CPU that a reader blocked in VKM470F_ReadBulkFIFO costs per second;
//   - the hosted seam alone: overlapped requests completed by a driver
//     thread while other threads wait on their own events.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dataflash.h"
#include "hosted.h"
#include "stream/fifo.h"
#include "usb_module.h"
#include "vkm470fapi.h"

extern "C" int loopback_main(int argc, char** argv);

namespace {

namespace os = vkm470::os;
using vkm470::stream::TFIFO_BASE_BYTE;

constexpr std::uint32_t kPiece = 64 << 10;
constexpr std::uint32_t kRingBytes = 1 << 20;

std::vector<std::uint8_t> pattern(std::size_t bytes) {
  std::vector<std::uint8_t> data(bytes);
  for (std::size_t i = 0; i < bytes; ++i) data[i] = std::uint8_t(i * 31 + 7);
  return data;
}

// The pieces come from a source region and go to a destination region of
// state.range(0) bytes each, piece after piece: 64 KiB is one piece that stays
// in the cache, 64 MiB a stream that does not fit in it.
class Pieces {
 public:
  explicit Pieces(std::size_t region) : src_(pattern(region)), dst_(region) {}
  const std::uint8_t* nextSource() { return next(src_.data(), srcAt_); }
  std::uint8_t* nextDestination() { return next(dst_.data(), dstAt_); }
  bool intact() const { return src_ == dst_; }

 private:
  template <typename T>
  T* next(T* base, std::size_t& at) {
    T* piece = base + at;
    at = (at + kPiece) % src_.size();
    return piece;
  }
  std::vector<std::uint8_t> src_, dst_;
  std::size_t srcAt_ = 0, dstAt_ = 0;
};

void BM_Memcpy64KiBPieces(benchmark::State& state) {
  Pieces pieces(std::size_t(state.range(0)));
  for (auto _ : state) {
    std::memcpy(pieces.nextDestination(), pieces.nextSource(), kPiece);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kPiece);
}
BENCHMARK(BM_Memcpy64KiBPieces)->Arg(64 << 10)->Arg(64 << 20)->UseRealTime();

// A producer thread keeps pushing pieces until told to stop; the timed
// thread pops one piece per iteration.
template <typename Push>
class Producer {
 public:
  Producer(Pieces& pieces, Push push)
      : thread_([this, &pieces, push] {
          while (!stop_.load(std::memory_order_relaxed)) push(pieces.nextSource(), stop_);
        }) {}
  ~Producer() {
    stop_ = true;
    thread_.join();
  }
  void stop() { stop_ = true; }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_Ring64KiBPieces(benchmark::State& state) {
  TFIFO_BASE_BYTE ring(kRingBytes);
  Pieces pieces(std::size_t(state.range(0)));
  std::vector<std::uint8_t> spare(kPiece);
  {
    Producer producer(pieces, [&](const std::uint8_t* src, std::atomic<bool>& stop) {
      while (!ring.Write(src, kPiece)) {
        if (stop.load(std::memory_order_relaxed)) return;
        std::this_thread::yield();
      }
    });
    for (auto _ : state) {
      std::uint8_t* dst = pieces.nextDestination();
      while (!ring.Read(dst, kPiece)) std::this_thread::yield();
    }
    producer.stop();
    // The producer may be inside a write that still fits: let it finish.
    while (ring.Read(spare.data(), kPiece)) {
    }
  }
  if (state.iterations() * kPiece >= state.range(0) && !pieces.intact()) {
    state.SkipWithError("pieces came out changed");
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kPiece);
}
BENCHMARK(BM_Ring64KiBPieces)->Arg(64 << 10)->Arg(64 << 20)->UseRealTime();

void BM_BoostSpsc64KiBPieces(benchmark::State& state) {
  boost::lockfree::spsc_queue<std::uint8_t> queue(kRingBytes);
  Pieces pieces(std::size_t(state.range(0)));
  std::vector<std::uint8_t> spare(kPiece);
  {
    Producer producer(pieces, [&](const std::uint8_t* src, std::atomic<bool>& stop) {
      for (std::uint32_t pushed = 0; pushed < kPiece;) {
        const auto n = std::uint32_t(queue.push(src + pushed, kPiece - pushed));
        if (stop.load(std::memory_order_relaxed)) return;
        if (n == 0) std::this_thread::yield();
        pushed += n;
      }
    });
    for (auto _ : state) {
      std::uint8_t* dst = pieces.nextDestination();
      for (std::uint32_t popped = 0; popped < kPiece;) {
        const auto n = std::uint32_t(queue.pop(dst + popped, kPiece - popped));
        if (n == 0) std::this_thread::yield();
        popped += n;
      }
    }
    producer.stop();
    while (queue.pop(spare.data(), kPiece) != 0) {
    }
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kPiece);
}
BENCHMARK(BM_BoostSpsc64KiBPieces)->Arg(64 << 10)->Arg(64 << 20)->UseRealTime();

// A record opened on the virtual module as QDev0 with a started bulk FIFO.
class Streaming {
 public:
  Streaming() {
    os::hosted::registerDevice("QDev0", module_);
    dev.interfaceType = VKM470F_INTERFACE_USB;
    ok_ = VKM470F_OpenDevice(&dev, 0) == 0 &&
          VKM470F_CreateBulkFIFO(&dev, 8 << 20, 8 << 20, 8, 8, 64 << 10, 64 << 10) == 0 &&
          VKM470F_StartBulkFIFO(&dev) == 0;
  }
  ~Streaming() {
    VKM470F_CloseDevice(&dev);
    os::hosted::unregisterDevice("QDev0");
  }
  bool ok() const { return ok_; }

  VKM470F_DEVICE dev{};

 private:
  std::shared_ptr<vkm470::sim::UsbModule> module_ =
      std::make_shared<vkm470::sim::UsbModule>(std::make_shared<vkm470::sim::DataFlash>());
  bool ok_ = false;
};

// A writer thread streams a running word counter; the timed thread reads it
// back in 256 Ki-word chunks and checks every word.
void BM_StreamLoopBack(benchmark::State& state) {
  constexpr std::uint32_t kChunkWords = 256 << 10;
  Streaming streaming;
  if (!streaming.ok()) {
    state.SkipWithError("the bulk FIFO did not start");
    return;
  }
  VKM470F_DEVICE* dev = &streaming.dev;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<std::uint16_t> words(kChunkWords);
    std::uint16_t next = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      for (std::uint16_t& w : words) w = next++;
      for (std::uint32_t sent = 0; sent < kChunkWords && !stop.load(std::memory_order_relaxed);) {
        std::uint32_t done = 0;
        if (VKM470F_WriteBulkFIFO(dev, words.data() + sent, kChunkWords - sent, &done, 20) != 0) {
          return;
        }
        sent += done;
      }
    }
  });
  std::vector<std::uint16_t> words(kChunkWords);
  std::uint16_t expected = 0;
  std::uint64_t wrong = 0;
  for (auto _ : state) {
    for (std::uint32_t got = 0; got < kChunkWords;) {
      std::uint32_t done = 0;
      if (VKM470F_ReadBulkFIFO(dev, words.data() + got, kChunkWords - got, &done, 1000) != 0) {
        state.SkipWithError("the read stopped");
        break;
      }
      got += done;
    }
    for (std::uint16_t w : words) wrong += w != expected++;
  }
  stop = true;
  writer.join();
  if (wrong != 0) state.SkipWithError("words came back wrong");
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kChunkWords * 2);
}
BENCHMARK(BM_StreamLoopBack)->UseRealTime()->MinTime(3);

// One thread writes a block of 32768 words and then blocks (time-out 20 ms) to
// read them back, as a DSP application exchanges a block of commands for its
// answer: each exchange waits on both workers and on the reader.
void BM_WriteThenReadBack(benchmark::State& state) {
  constexpr std::uint32_t kBlockWords = 32768;
  Streaming streaming;
  if (!streaming.ok()) {
    state.SkipWithError("the bulk FIFO did not start");
    return;
  }
  VKM470F_DEVICE* dev = &streaming.dev;
  std::vector<std::uint16_t> out(kBlockWords), in(kBlockWords);
  std::uint16_t next = 0, expected = 0;
  std::uint64_t wrong = 0;
  for (auto _ : state) {
    for (std::uint16_t& w : out) w = next++;
    std::uint32_t done = 0;
    if (VKM470F_WriteBulkFIFO(dev, out.data(), kBlockWords, &done, 1000) != 0 ||
        done != kBlockWords) {
      state.SkipWithError("the write did not queue the block");
      return;
    }
    for (std::uint32_t got = 0; got < kBlockWords; got += done) {
      if (VKM470F_ReadBulkFIFO(dev, in.data() + got, kBlockWords - got, &done, 20) != 0) {
        state.SkipWithError("the read stopped");
        return;
      }
    }
    for (std::uint16_t w : in) wrong += w != expected++;
  }
  if (wrong != 0) state.SkipWithError("words came back wrong");
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kBlockWords * 2);
}
// 256 MiB.
BENCHMARK(BM_WriteThenReadBack)->UseRealTime()->Iterations(4096);

// 256 words out, then a blocking read of their echo: the time of each round
// trip, its median and 99th percentile over a fixed count.
void BM_RoundTrip512Bytes(benchmark::State& state) {
  constexpr std::uint32_t kWords = 256;
  Streaming streaming;
  if (!streaming.ok()) {
    state.SkipWithError("the bulk FIFO did not start");
    return;
  }
  VKM470F_DEVICE* dev = &streaming.dev;
  std::uint16_t out[kWords], in[kWords];
  std::uint16_t next = 0;
  std::vector<double> micros;
  micros.reserve(std::size_t(state.max_iterations));
  for (auto _ : state) {
    for (std::uint16_t& w : out) w = next++;
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t done = 0, got = 0;
    if (VKM470F_WriteBulkFIFO(dev, out, kWords, &done, 1000) != 0 || done != kWords) {
      state.SkipWithError("the write did not queue the words");
      return;
    }
    for (; got < kWords; got += done) {
      if (VKM470F_ReadBulkFIFO(dev, in + got, kWords - got, &done, 1000) != 0) break;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (got != kWords || !std::equal(in, in + kWords, out)) {
      state.SkipWithError("the echo came back wrong");
      return;
    }
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_RoundTrip512Bytes)->UseRealTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

// examples/loopback.c itself (its main renamed), 256 MiB an iteration: one
// thread that asks how many words are ready or free before it moves them, and
// blocks only when neither side can move.
void BM_LoopbackExample(benchmark::State& state) {
  constexpr int kMiB = 256;
  auto module =
      std::make_shared<vkm470::sim::UsbModule>(std::make_shared<vkm470::sim::DataFlash>());
  os::hosted::registerDevice("QDev0", module);
  std::string name = "loopback", mib = std::to_string(kMiB);
  char* argv[] = {name.data(), mib.data(), nullptr};
  for (auto _ : state) {
    if (loopback_main(2, argv) != 0) {
      state.SkipWithError("the example failed");
      break;
    }
  }
  os::hosted::unregisterDevice("QDev0");
  state.SetBytesProcessed(std::int64_t(state.iterations()) * (std::int64_t{kMiB} << 20));
}
BENCHMARK(BM_LoopbackExample)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The whole process's CPU (the reader's polls and both idle workers) while a
// read waits a second for words that never come.
void BM_BlockedReaderCpu(benchmark::State& state) {
  Streaming streaming;
  if (!streaming.ok()) {
    state.SkipWithError("the bulk FIFO did not start");
    return;
  }
  double cpu = 0;
  std::uint16_t word;
  for (auto _ : state) {
    const double before = processCpuSeconds();
    std::uint32_t done = 0;
    VKM470F_ReadBulkFIFO(&streaming.dev, &word, 1, &done, 1000);
    cpu += processCpuSeconds() - before;
  }
  state.counters["cpu_ms_per_s"] = cpu * 1000 / double(state.iterations());
}
BENCHMARK(BM_BlockedReaderCpu)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The seam under the streaming load's shape: state.range(0) threads, each
// issuing an overlapped read that a driver thread completes, then waiting on
// its own event.
class Completer final : public os::hosted::Device {
 public:
  Completer() : thread_([this] { run(); }) {}
  ~Completer() override {
    {
      std::lock_guard<std::mutex> lk(lock_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void submit(os::hosted::Request& request) override {
    {
      std::lock_guard<std::mutex> lk(lock_);
      queue_.push_back(&request);
    }
    wake_.notify_one();
  }
  void cancel(os::hosted::Request& request) override {
    std::lock_guard<std::mutex> lk(lock_);
    queue_.erase(std::remove(queue_.begin(), queue_.end(), &request), queue_.end());
    request.complete(os::kErrorOperationAborted, 0);
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lk(lock_);
    while (true) {
      wake_.wait(lk, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      os::hosted::Request* request = queue_.front();
      queue_.erase(queue_.begin());
      request->complete(0, request->outputSize());
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<os::hosted::Request*> queue_;
  bool stop_ = false;
  std::thread thread_;
};

class CompleterDriver final : public os::hosted::Driver {
 public:
  std::unique_ptr<os::hosted::Device> open(os::Dword, os::Dword, os::Dword*) override {
    return std::make_unique<Completer>();
  }
};

void BM_SeamRequestRoundTrip(benchmark::State& state) {
  static std::shared_ptr<CompleterDriver> driver = [] {
    auto d = std::make_shared<CompleterDriver>();
    os::hosted::registerDevice("SEAMBENCH", d);
    return d;
  }();
  static os::Handle device;
  if (state.thread_index() == 0) {
    device = os::CreateFile("\\\\.\\SEAMBENCH", os::kGenericRead | os::kGenericWrite, 0,
                            os::kOpenExisting, os::kFileFlagOverlapped);
  }
  // The other threads start timing only once thread 0 has set up.
  std::uint8_t buffer[512];
  os::Overlapped overlapped{};
  overlapped.hEvent = os::CreateEvent(false, false);
  for (auto _ : state) {
    os::Dword n = 0;
    if (!os::ReadFile(device, buffer, sizeof buffer, &n, &overlapped)) {
      os::WaitForSingleObject(overlapped.hEvent, os::kInfinite);
    }
  }
  os::CloseHandle(overlapped.hEvent);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SeamRequestRoundTrip)->ThreadRange(1, 4)->UseRealTime();

// One thread's round trips while state.range(0) other threads wait, each on an
// event of its own that is set only at the end (as idle workers of other
// devices wait on their slots): a completion should not wake them.
void BM_SeamRoundTripBesideIdleWaiters(benchmark::State& state) {
  os::hosted::registerDevice("SEAMIDLE", std::make_shared<CompleterDriver>());
  const os::Handle device = os::CreateFile("\\\\.\\SEAMIDLE", os::kGenericRead | os::kGenericWrite,
                                           0, os::kOpenExisting, os::kFileFlagOverlapped);
  std::vector<os::Handle> idle(std::size_t(state.range(0)));
  std::vector<std::thread> waiters;
  for (os::Handle& event : idle) {
    event = os::CreateEvent(true, false);
    waiters.emplace_back([event] { os::WaitForSingleObject(event, os::kInfinite); });
  }
  std::uint8_t buffer[512];
  os::Overlapped overlapped{};
  overlapped.hEvent = os::CreateEvent(false, false);
  for (auto _ : state) {
    os::Dword n = 0;
    if (!os::ReadFile(device, buffer, sizeof buffer, &n, &overlapped)) {
      os::WaitForSingleObject(overlapped.hEvent, os::kInfinite);
    }
  }
  for (os::Handle event : idle) os::SetEvent(event);
  for (std::thread& waiter : waiters) waiter.join();
  for (os::Handle event : idle) os::CloseHandle(event);
  os::CloseHandle(overlapped.hEvent);
  os::CloseHandle(device);
  os::hosted::unregisterDevice("SEAMIDLE");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SeamRoundTripBesideIdleWaiters)->Arg(0)->Arg(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
