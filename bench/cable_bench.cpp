// SPDX-License-Identifier: MIT
// How fast the virtual cable serves a verify read: one 4096-byte continuous
// read window, its 98,304-entry batch built the way the library builds it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "cable.h"
#include "dataflash.h"
#include "hosted.h"

namespace {

namespace os = vkm470::os;
using vkm470::sim::Cable;
using vkm470::sim::DataFlash;

class BufferRequest final : public os::hosted::Request {
 public:
  BufferRequest(os::Dword code, std::vector<std::uint8_t>& buffer) : code_(code), buffer_(buffer) {}
  os::hosted::RequestKind kind() const override { return os::hosted::RequestKind::IoControl; }
  os::Dword code() const override { return code_; }
  const void* input() const override { return buffer_.data(); }
  os::Dword inputSize() const override { return static_cast<os::Dword>(buffer_.size()); }
  void* output() override { return buffer_.data(); }
  os::Dword outputSize() const override { return static_cast<os::Dword>(buffer_.size()); }
  void complete(os::Dword status, os::Dword bytes) override {
    status_ = status;
    bytes_ = bytes;
  }
  bool succeeded() const { return status_ == os::kErrorSuccess && bytes_ == buffer_.size(); }

 private:
  os::Dword code_;
  std::vector<std::uint8_t>& buffer_;
  os::Dword status_ = 0xFFFFFFFF;
  os::Dword bytes_ = 0;
};

void putEntry(std::vector<std::uint8_t>& batch, std::uint16_t op, std::uint8_t value) {
  batch.insert(batch.end(),
               {static_cast<std::uint8_t>(op), static_cast<std::uint8_t>(op >> 8), value, 0});
}

std::vector<std::uint8_t> registerWrite(std::uint8_t value) { return {0, 0, 0, 0, value, 0, 0, 0}; }

void BM_VerifyRead4096(benchmark::State& state) {
  constexpr std::uint32_t kBytes = 4096;
  auto chip = std::make_shared<DataFlash>([] { return std::uint64_t{0}; });
  chip->forcePageMode(vkm470::sim::PageMode::Binary);
  Cable cable(chip);
  os::Dword error = 0;
  const std::unique_ptr<os::hosted::Device> port = cable.open(0, 0, &error);

  std::vector<std::uint8_t> select = registerWrite(0x41);
  std::vector<std::uint8_t> deselect = registerWrite(0x43);
  std::vector<std::uint8_t> header;
  for (std::uint8_t byte : {0xE8, 0x00, 0x10, 0x00, 0xE8, 0x00, 0x10, 0x00})
    for (int bit = 7; bit >= 0; --bit) {
      const std::uint8_t si = (byte >> bit & 1) ? 0x40 : 0x00;
      putEntry(header, Cable::kPutData, si);
      putEntry(header, Cable::kPutData, si | 0x01);
    }
  std::vector<std::uint8_t> read;
  for (std::uint32_t i = 0; i < kBytes * 8; ++i) {
    putEntry(read, Cable::kPutData, 0x40);
    putEntry(read, Cable::kPutData, 0x41);
    putEntry(read, Cable::kGetStatus, 0);
  }

  for (auto _ : state) {
    BufferRequest requests[] = {{Cable::kRegisterWrite, select},
                                {Cable::kBatch, header},
                                {Cable::kBatch, read},
                                {Cable::kRegisterWrite, deselect}};
    for (BufferRequest& request : requests) port->submit(request);
    if (!requests[2].succeeded()) state.SkipWithError("the read batch failed");
    benchmark::DoNotOptimize(read.data());
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
  state.SetItemsProcessed(state.iterations() * (read.size() / 4));
}
BENCHMARK(BM_VerifyRead4096)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
