// SPDX-License-Identifier: MIT
// A fresh folder with a private device directory, and the tools run in it as
// separate processes, as a user runs them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "process.h"

namespace vkm470::test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSerialAddress = 0x020000;
constexpr std::uint32_t kAppAddress = 0x020200;
constexpr std::uint32_t kAppAreaBytes = 1863168;
constexpr std::size_t kFlashBytes = 2097152;

class ToolsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vkm470-tools-" + std::to_string(std::random_device{}()));
    devices_ = dir_ / "devices";
    fs::create_directories(dir_);
    setenv("VKM470_DEVICES", devices_.c_str(), 1);
    image_ = path("module.img");
  }
  void TearDown() override {
    unsetenv("VKM470_DEVICES");
    fs::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static Outcome sim(std::vector<std::string> args) {
    args.insert(args.begin(), VKM470SIM_PATH);
    return run(args);
  }
  static Outcome burn(std::vector<std::string> args) {
    args.insert(args.begin(), VKM470BURN_PATH);
    return run(args);
  }

  // A module, attached as QDev0 and ALTLPT1.
  void attachModule() {
    ASSERT_EQ(sim({"create", image_}).status, 0);
    ASSERT_EQ(sim({"attach", image_}).status, 0);
  }

  // An image file of bytes that are never 0xFF, so that none of them looks
  // erased in the flash.
  Bytes writeFile(const std::string& name, std::size_t size, unsigned seed = 3) const {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t((seed + i * 7 + i / 251) % 255);
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size));
    return bytes;
  }

  // The flash as `vkm470sim export` writes it.
  Bytes exported() const {
    const std::string out = path("flash.bin");
    const Outcome r = sim({"export", image_, "-o", out});
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream file(out, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  // vkm470's standard output without the lines that name each image and its
  // digest.
  static std::string withoutDigestLines(const std::string& out) {
    std::string kept;
    std::size_t start = 0;
    while (start < out.size()) {
      const std::size_t end = out.find('\n', start);
      const std::size_t next = end == std::string::npos ? out.size() : end + 1;
      const std::string line = out.substr(start, next - start);
      if (line.find(" bytes  sha256 ") == std::string::npos) kept += line;
      start = next;
    }
    return kept;
  }

  static Bytes slice(const Bytes& flash, std::uint32_t address, std::size_t size) {
    return Bytes(flash.begin() + address, flash.begin() + address + size);
  }

  fs::path dir_;
  fs::path devices_;
  std::string image_;
};

}  // namespace vkm470::test
