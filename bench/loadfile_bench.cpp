// SPDX-License-Identifier: MIT
// Reading image files as vkm470 does: a 1.8 MB application as Intel HEX
// (about 5 MB of text) and as S-records, each file read whole and parsed into
// address -> bytes, beside reading the raw file of the same application.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "loadfile.h"

namespace {

namespace fs = std::filesystem;
namespace lf = vkm470::loadfile;

constexpr std::size_t kAppBytes = 1800000;

struct Files {
  fs::path raw, hex, srec;
  Files() {
    const fs::path dir = fs::temp_directory_path();
    const std::string tag = std::to_string(std::random_device{}());
    raw = dir / ("vkm470-bench-app-" + tag + ".bin");
    hex = dir / ("vkm470-bench-app-" + tag + ".hex");
    srec = dir / ("vkm470-bench-app-" + tag + ".srec");
    std::mt19937 random(1);
    std::vector<std::uint8_t> app(kAppBytes);
    for (auto& b : app) b = static_cast<std::uint8_t>(random());
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(app.data()), std::streamsize(app.size()));
    std::ofstream(hex, std::ios::binary) << lf::writeIntelHex({{0, app}});
    std::ofstream(srec, std::ios::binary) << lf::writeSRecords({{0, app}});
  }
  ~Files() {
    for (const fs::path& p : {raw, hex, srec}) fs::remove(p);
  }
};

const Files& files() {
  static const Files made;
  return made;
}

std::vector<std::uint8_t> readWhole(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<std::uint8_t> bytes(fs::file_size(path));
  const std::size_t n = std::fread(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  bytes.resize(n);
  return bytes;
}

void readFile(benchmark::State& state, const fs::path& path) {
  std::size_t text = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t> bytes = readWhole(path);
    text = bytes.size();
    const lf::Image image =
        lf::parse(bytes.data(), bytes.size(), lf::detect(bytes.data(), bytes.size()), "app");
    if (image.byteCount() != kAppBytes) state.SkipWithError("the image lost bytes");
    benchmark::DoNotOptimize(image);
  }
  state.counters["file_bytes"] = static_cast<double>(text);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kAppBytes));
}

void BM_ReadRaw(benchmark::State& state) { readFile(state, files().raw); }
void BM_ReadIntelHex(benchmark::State& state) { readFile(state, files().hex); }
void BM_ReadSRecords(benchmark::State& state) { readFile(state, files().srec); }

BENCHMARK(BM_ReadRaw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadIntelHex)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadSRecords)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
