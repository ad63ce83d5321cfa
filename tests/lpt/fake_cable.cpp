// SPDX-License-Identifier: MIT
#include "fake_cable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "vkm470_byte_order.h"

namespace lpttest {

namespace os = vkm470::os;

namespace {

using vkm470::byte_order::loadLe16;
using vkm470::byte_order::loadLe32;

class FakeHandle : public os::hosted::Device {
 public:
  explicit FakeHandle(std::shared_ptr<FakeCable> cable) : cable_(std::move(cable)) {}
  ~FakeHandle() override { --cable_->openHandles; }
  void submit(os::hosted::Request& request) override { cable_->serve(request); }

 private:
  std::shared_ptr<FakeCable> cable_;
};

}  // namespace

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof(digits), "%02X", b);
    text += digits;
  }
  return text;
}

std::unique_ptr<os::hosted::Device> FakeCable::open(Dword access, Dword share, Dword* error) {
  ++opens;
  lastAccess = access;
  lastShare = share;
  if (openError != 0) {
    *error = openError;
    return nullptr;
  }
  if (openHandles > 0 && share == 0) {
    *error = os::kErrorSharingViolation;
    return nullptr;
  }
  ++openHandles;
  return std::make_unique<FakeHandle>(shared_from_this());
}

void FakeCable::serve(os::hosted::Request& request) {
  const auto* in = static_cast<const std::uint8_t*>(request.input());
  calls.push_back({request.code(), std::vector<std::uint8_t>(in, in + request.inputSize()),
                   os::GetTickCount()});
  const Fault outcome = fault ? fault(calls.back(), *this) : Fault::None;
  if (outcome == Fault::Fail) {
    request.complete(os::kErrorGenFailure, 0);
    return;
  }
  const Dword shortBy = outcome == Fault::Short ? 1 : 0;
  const std::vector<std::uint8_t> input = calls.back().input;

  switch (request.code()) {
    case 0x00166A00: {
      std::uint8_t answer[4];
      for (int i = 0; i < 4; ++i) answer[i] = std::uint8_t(portQueryValue >> (8 * i));
      const Dword size = std::min({portQuerySize, request.outputSize(), Dword(4)});
      std::memcpy(request.output(), answer, size);
      request.complete(0, size);
      return;
    }
    case 0x0016AA08:
      if (input.size() == 8 && loadLe32(input.data()) == 0) setLines(std::uint8_t(input[4]));
      request.complete(0, shortBy);
      return;
    case 0x0016AA1C: {
      auto* out = static_cast<std::uint8_t*>(request.output());
      for (std::size_t i = 0; i + 4 <= input.size(); i += 4) {
        std::memcpy(out + i, &input[i], 4);
        const unsigned op = loadLe16(&input[i]);
        if (op == 0x0A82) setLines(input[i + 2]);
        if (op == 0x0A81) out[i + 2] = sample();
      }
      request.complete(0, Dword(input.size()) - shortBy);
      return;
    }
    default:
      request.complete(os::kErrorInvalidParameter, 0);
  }
}

void FakeCable::setLines(std::uint8_t value) {
  const bool wasSelected = selected();
  const bool rising = !(lines & 0x01) && (value & 0x01);
  lines = value;
  if (!wasSelected && selected()) {
    window_ = Window();
    bits_ = 0;
    accumulator_ = 0;
    responseStart_ = -1;
    responseIndex_ = -1;
  } else if (wasSelected && !selected()) {
    if (responseStart_ >= 0) window_.inBytes = (bits_ + 7) / 8 - std::uint32_t(responseStart_);
    windows.push_back(window_);
  }
  if (!selected() || !rising) return;
  ++bits_;
  if (responseStart_ >= 0) return;
  accumulator_ = accumulator_ << 1 | ((value & 0x40) ? 1 : 0);
  if (bits_ % 8 == 0) {
    window_.out.push_back(std::uint8_t(accumulator_));
    accumulator_ = 0;
  }
}

// The status line reads the chip's output inverted; the other bits vary so
// that only bit 7 carries the data.
std::uint8_t FakeCable::sample() {
  if (!selected() || bits_ == 0) return 0x80;
  const std::uint32_t bit = bits_ - 1;
  if (responseStart_ < 0) {
    // The chip answers from the byte boundary after the last command byte.
    responseStart_ = int(bit / 8);
    accumulator_ = 0;
  }
  const int index = int(bit / 8) - responseStart_;
  if (index != responseIndex_) {
    responseIndex_ = index;
    responseByte_ = respond(std::uint32_t(index));
  }
  return (responseByte_ >> (7 - bit % 8)) & 1 ? 0x7F : 0x80;
}

std::uint8_t FakeCable::respond(std::uint32_t index) {
  const std::vector<std::uint8_t>& command = window_.out;
  if (command.empty()) return 0xFF;
  switch (command[0]) {
    case 0xD7:
      if (index != 0) return 0xFF;
      ++statusReads_;
      return alwaysBusy || statusReads_ <= busyPolls ? 0x2C : 0xAC;
    case 0x9F:
      return index < id.size() ? id[index] : 0xFF;
    case 0x32:
      return 0x11;
    case 0x35:
      return 0x22;
    case 0x77:
      return 0x33;
    case 0xE8:
      if (command.size() < 4) return 0xFF;
      return arrayByte((std::uint32_t(command[1]) << 16 | command[2] << 8 | command[3]) + index);
    default:
      return 0xFF;
  }
}

std::vector<std::string> FakeCable::commandLog() const {
  std::vector<std::string> log;
  for (const Window& w : windows) {
    std::string line = w.out.empty() ? "--" : hex({w.out[0]});
    if (w.out.size() > 1) {
      const std::size_t end = w.out.size() < 4 ? w.out.size() : 4;
      line += " " + hex(std::vector<std::uint8_t>(w.out.begin() + 1, w.out.begin() + end));
    }
    if (w.out.size() > 4) line += " +" + std::to_string(w.out.size() - 4);
    if (w.inBytes != 0) line += " /" + std::to_string(w.inBytes);
    log.push_back(line);
  }
  return log;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> FakeCable::registerWrites() const {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;
  for (const Call& c : calls) {
    if (c.code == 0x0016AA08 && c.input.size() == 8) {
      writes.emplace_back(loadLe32(c.input.data()), loadLe32(c.input.data() + 4));
    }
  }
  return writes;
}

}  // namespace lpttest
