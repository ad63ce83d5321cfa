// SPDX-License-Identifier: MIT
// Drives the cable model the way the library drives the port driver: register
// writes for the select line, one batch per shift, entries encoded line change
// by line change, status samples decoded from bit 7 inverted.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cable.h"
#include "dataflash.h"
#include "hosted.h"

namespace vkm470::sim::test {

using os::Dword;

class TestRequest final : public os::hosted::Request {
 public:
  // A batch uses one buffer for input and output, as a buffered driver request does.
  TestRequest(Dword code, std::vector<std::uint8_t> input, Dword outputSize, bool inPlace = false)
      : code_(code), input_(std::move(input)), output_(outputSize), inPlace_(inPlace) {}

  os::hosted::RequestKind kind() const override { return os::hosted::RequestKind::IoControl; }
  Dword code() const override { return code_; }
  const void* input() const override { return input_.data(); }
  Dword inputSize() const override { return static_cast<Dword>(input_.size()); }
  void* output() override { return inPlace_ ? input_.data() : output_.data(); }
  Dword outputSize() const override {
    return static_cast<Dword>(inPlace_ ? input_.size() : output_.size());
  }
  void complete(Dword status, Dword bytes) override {
    ++completions;
    this->status = status;
    this->bytes = bytes;
  }

  const std::vector<std::uint8_t>& result() const { return inPlace_ ? input_ : output_; }

  int completions = 0;
  Dword status = 0xFFFFFFFF;
  Dword bytes = 0;

 private:
  Dword code_;
  std::vector<std::uint8_t> input_;
  std::vector<std::uint8_t> output_;
  bool inPlace_;
};

inline void putEntry(std::vector<std::uint8_t>& batch, std::uint16_t op, std::uint16_t value) {
  batch.insert(batch.end(),
               {static_cast<std::uint8_t>(op), static_cast<std::uint8_t>(op >> 8),
                static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
}

inline TestRequest submit(os::hosted::Device& device, Dword code, std::vector<std::uint8_t> input,
                          Dword outputSize, bool inPlace = false) {
  TestRequest request(code, std::move(input), outputSize, inPlace);
  device.submit(request);
  return request;
}

inline TestRequest writeRegister(os::hosted::Device& device, std::uint32_t reg,
                                 std::uint32_t value) {
  std::vector<std::uint8_t> in;
  for (std::uint32_t word : {reg, value})
    for (int i = 0; i < 4; ++i) in.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
  return submit(device, Cable::kRegisterWrite, std::move(in), 0);
}

class Wire {
 public:
  explicit Wire(os::hosted::Device& device) : device_(device) {}

  void deselect() {
    latch_ |= 0x02;
    writeRegister(device_, 0, latch_);
  }
  void select() {
    latch_ &= ~0x02;
    writeRegister(device_, 0, latch_);
  }
  void shiftOut(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> batch;
    latch_ |= 0x41;
    for (std::uint8_t byte : bytes)
      for (int bit = 7; bit >= 0; --bit) {
        latch_ = (byte >> bit & 1) ? (latch_ | 0x40) : (latch_ & ~0x40);
        latch_ &= ~0x01;
        putEntry(batch, Cable::kPutData, latch_);
        latch_ |= 0x01;
        putEntry(batch, Cable::kPutData, latch_);
      }
    latch_ |= 0x41;
    submit(device_, Cable::kBatch, std::move(batch), 0, true);
  }
  std::vector<std::uint8_t> shiftIn(std::size_t count) {
    std::vector<std::uint8_t> batch;
    latch_ |= 0x41;
    for (std::size_t i = 0; i < count * 8; ++i) {
      putEntry(batch, Cable::kPutData, latch_ & ~0x01);
      putEntry(batch, Cable::kPutData, latch_);
      putEntry(batch, Cable::kGetStatus, 0);
    }
    const TestRequest done = submit(device_, Cable::kBatch, std::move(batch), 0, true);
    std::vector<std::uint8_t> bytes(count, 0);
    for (std::size_t i = 0; i < count * 8; ++i)
      if ((done.result()[i * 12 + 10] & 0x80) == 0) bytes[i / 8] |= 0x80 >> (i % 8);
    return bytes;
  }
  // One select window: the bytes out, then count bytes in.
  std::vector<std::uint8_t> command(const std::vector<std::uint8_t>& out, std::size_t count = 0) {
    select();
    shiftOut(out);
    std::vector<std::uint8_t> in = count ? shiftIn(count) : std::vector<std::uint8_t>{};
    deselect();
    return in;
  }

 private:
  os::hosted::Device& device_;
  std::uint8_t latch_ = 0x41;
};

inline std::vector<std::uint8_t> addressed(std::uint8_t opcode, std::uint32_t address) {
  return {opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address)};
}

// A chip on a cable with a clock the test moves by hand.
class SimFixture {
 protected:
  SimFixture()
      : chip(std::make_shared<DataFlash>([this] { return now; })),
        cable(chip),
        port(cable.open(os::kGenericRead | os::kGenericWrite, 0, &openError)),
        wire(*port) {
    wire.deselect();
  }

  std::uint8_t status() { return wire.command({DataFlash::kStatusRead}, 1)[0]; }
  std::vector<std::uint8_t> read(std::uint32_t address, std::size_t count) {
    std::vector<std::uint8_t> out = addressed(DataFlash::kContinuousRead, address);
    out.insert(out.end(), out.begin(), out.begin() + 4);
    return wire.command(out, count);
  }

  std::uint64_t now = 0;
  Dword openError = 0;
  std::shared_ptr<DataFlash> chip;
  Cable cable;
  std::unique_ptr<os::hosted::Device> port;
  Wire wire;
};

}  // namespace vkm470::sim::test
