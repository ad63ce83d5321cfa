// SPDX-License-Identifier: MIT
// The burner, the library and a virtual module in one process, on the seam's
// virtual clock, so every sleep, time-out and busy time of the chip costs no
// real time. Each test gets a fresh chip and a folder for its image files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "burner.h"
#include "dataflash.h"
#include "hosted.h"
#include "vkm470_byte_order.h"

namespace vkm470::e2e {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class BurnFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    os::hosted::setVirtualClock(true);
    chip_ = std::make_shared<sim::DataFlash>();
    dir_ = std::filesystem::temp_directory_path() /
           ("vkm470-e2e-" + std::to_string(std::random_device{}()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }

  void TearDown() override {
    os::hosted::setVirtualClock(false);
    std::filesystem::remove_all(dir_);
  }

  // Runs the burner's entry with these words after the program name.
  Outcome burn(std::vector<std::string> args) {
    args.insert(args.begin(), "vkm470burn");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = burn_main(static_cast<int>(args.size()), argv.data());
    std::string out = ::testing::internal::GetCapturedStdout();
    return {status, out, ::testing::internal::GetCapturedStderr()};
  }

  // An image file of size bytes, its bytes kept in images_ under its path.
  std::string image(const std::string& name, std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t(seed + i * 7 + i / 251);
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size));
    images_[path] = bytes;
    return path;
  }

  // Bytes of the flash from a byte address, in 512-byte page addressing.
  std::vector<std::uint8_t> flash(std::uint32_t address, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
      std::uint32_t a = address + std::uint32_t(i);
      bytes[i] = chip_->peek(a / 512, a % 512);
    }
    return bytes;
  }

  // The PGA header for an image: length and byte sum, little-endian.
  static std::vector<std::uint8_t> pgaHeader(const std::vector<std::uint8_t>& image) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : image) sum += b;
    std::vector<std::uint8_t> header(8);
    vkm470::byte_order::storeLe32(header.data(), std::uint32_t(image.size()));
    vkm470::byte_order::storeLe32(header.data() + 4, sum);
    return header;
  }

  // Writes the serial number ABC over the interface and reads it back: its 16
  // bytes sit at 0x020000 and leave the application image behind them alone.
  void serialNumberRoundTrip(const std::string& interface, const std::string& app) {
    Outcome r = burn({"-i", interface, "-n", "ABC"});
    EXPECT_EQ(r.out, "Writing serial.OK\n");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(flash(0x020000, 16),
              (std::vector<std::uint8_t>{'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(flash(0x020200, 16),
              std::vector<std::uint8_t>(images_[app].begin(), images_[app].begin() + 16));

    r = burn({"-i", interface, "-n"});
    EXPECT_EQ(r.out, "Reading serial.OK\nSerial Number: ABC\n");
    EXPECT_EQ(r.status, 0);
  }

  std::shared_ptr<sim::DataFlash> chip_;
  std::filesystem::path dir_;
  std::map<std::string, std::vector<std::uint8_t>> images_;
};

}  // namespace vkm470::e2e
