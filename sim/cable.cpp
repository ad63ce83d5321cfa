// SPDX-License-Identifier: MIT
#include "cable.h"

#include <cstring>
#include <limits>
#include <utility>

#include "vkm470_byte_order.h"

namespace vkm470::sim {

namespace {

using byte_order::loadLe16;
using byte_order::loadLe32;

constexpr std::uint8_t kSck = 0x01;
constexpr std::uint8_t kSelect = 0x02;
constexpr std::uint8_t kSi = 0x40;
constexpr std::uint8_t kOtherStatusLines = 0x7F;

}  // namespace

// The port's state outlives the driver object for as long as a handle is open.
struct Cable::Port {
  explicit Port(std::shared_ptr<DataFlash> flash) : chip(std::move(flash)) {}

  // Drives the lines; the caller holds both mutexes.
  void putData(std::uint8_t value) {
    const std::uint8_t changed = value ^ data;
    if (changed == 0) return;
    if (changed & kSelect) {
      if (value & kSelect) {
        if (!clocked && chip->now() - selectedAt >= kResetMicroseconds) ++resets;
      } else {
        selectedAt = chip->now();
        clocked = false;
      }
    } else if ((changed & kSck) && !(value & kSelect)) {
      clocked = true;
    }
    data = value;
    chip->setLines(value & kSelect, value & kSck, value & kSi);
  }

  void submit(os::hosted::Request& request);
  void batch(os::hosted::Request& request);

  std::mutex mutex;
  std::shared_ptr<DataFlash> chip;
  bool open = false;
  std::uint8_t data = kSelect;  // select high: the chip is idle at power-up
  std::uint8_t control = 0;
  std::uint64_t selectedAt = 0;
  bool clocked = false;
  unsigned resets = 0;
  Presence presence = Presence::Present;
  std::uint64_t answersLeft = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t responseFailures = 0;
};

namespace {

class Handle : public os::hosted::Device {
 public:
  explicit Handle(std::shared_ptr<Cable::Port> port) : port_(std::move(port)) {}
  ~Handle() override {
    std::lock_guard<std::mutex> lock(port_->mutex);
    port_->open = false;
  }
  void submit(os::hosted::Request& request) override { port_->submit(request); }

 private:
  std::shared_ptr<Cable::Port> port_;
};

}  // namespace

void Cable::Port::submit(os::hosted::Request& request) {
  std::lock_guard<std::mutex> lock(mutex);
  if (answersLeft == 0) return request.complete(os::kErrorGenFailure, 0);
  --answersLeft;
  if (request.kind() != os::hosted::RequestKind::IoControl)
    return request.complete(os::kErrorInvalidFunction, 0);

  switch (request.code()) {
    case kPortQuery: {
      if (presence == Presence::QueryFails) return request.complete(os::kErrorGenFailure, 0);
      if (request.outputSize() < 4) return request.complete(os::kErrorInsufficientBuffer, 0);
      const std::uint32_t type = presence == Presence::Present ? kPortType : 0;
      auto* out = static_cast<std::uint8_t*>(request.output());
      for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(type >> (8 * i));
      return request.complete(os::kErrorSuccess, 4);
    }
    case kRegisterWrite: {
      if (request.inputSize() != 8) return request.complete(os::kErrorInvalidParameter, 0);
      const auto* in = static_cast<const std::uint8_t*>(request.input());
      const std::uint32_t reg = loadLe32(in);
      const auto value = static_cast<std::uint8_t>(loadLe32(in + 4));
      if (reg == 0) {
        std::lock_guard<std::mutex> chipLock(chip->mutex());
        putData(value);
      } else if (reg == 2) {
        control = value;
      } else {
        return request.complete(os::kErrorInvalidParameter, 0);
      }
      return request.complete(os::kErrorSuccess, 0);
    }
    case kBatch:
      return batch(request);
    default:
      return request.complete(os::kErrorInvalidFunction, 0);
  }
}

void Cable::Port::batch(os::hosted::Request& request) {
  const os::Dword size = request.inputSize();
  if (size % 4 != 0 || request.outputSize() < size)
    return request.complete(os::kErrorInvalidParameter, 0);
  auto* entries = static_cast<std::uint8_t*>(request.output());
  if (size != 0 && request.input() != request.output()) {
    std::memmove(entries, request.input(), size);
  }
  std::uint8_t* const end = entries + size;

  // A batch with an unknown entry is refused before any line moves.
  for (const std::uint8_t* p = entries; p != end; p += 4) {
    const unsigned op = loadLe16(p);
    if (op != kPutData && op != kGetStatus) return request.complete(os::kErrorInvalidParameter, 0);
  }

  if (responseFailures != 0) {
    for (const std::uint8_t* p = entries; p != end; p += 4) {
      if (p[0] == (kGetStatus & 0xFF)) {
        --responseFailures;
        return request.complete(os::kErrorGenFailure, 0);
      }
    }
  }
  std::lock_guard<std::mutex> chipLock(chip->mutex());
  for (std::uint8_t* p = entries; p != end; p += 4) {
    if (p[0] == (kPutData & 0xFF))
      putData(p[2]);
    else
      p[2] = chip->soHigh() ? kOtherStatusLines : 0xFF;
  }
  request.complete(os::kErrorSuccess, size);
}

Cable::Cable(std::shared_ptr<DataFlash> chip) : port_(std::make_shared<Port>(std::move(chip))) {}

DataFlash& Cable::chip() { return *port_->chip; }

std::unique_ptr<os::hosted::Device> Cable::open(os::Dword, os::Dword, os::Dword* error) {
  std::lock_guard<std::mutex> lock(port_->mutex);
  // The port driver serves one handle at a time, whatever the share mode.
  if (port_->open) {
    *error = os::kErrorSharingViolation;
    return nullptr;
  }
  port_->open = true;
  return std::make_unique<Handle>(port_);
}

std::uint8_t Cable::dataRegister() {
  std::lock_guard<std::mutex> lock(port_->mutex);
  return port_->data;
}

std::uint8_t Cable::controlRegister() {
  std::lock_guard<std::mutex> lock(port_->mutex);
  return port_->control;
}

unsigned Cable::dspResets() {
  std::lock_guard<std::mutex> lock(port_->mutex);
  return port_->resets;
}

void Cable::setPresence(Presence presence) {
  std::lock_guard<std::mutex> lock(port_->mutex);
  port_->presence = presence;
}

void Cable::stopAnsweringAfter(std::uint64_t requests) {
  std::lock_guard<std::mutex> lock(port_->mutex);
  port_->answersLeft = requests;
}

void Cable::failResponses(std::uint64_t batches) {
  std::lock_guard<std::mutex> lock(port_->mutex);
  port_->responseFailures = batches;
}

}  // namespace vkm470::sim
