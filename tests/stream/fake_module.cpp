// SPDX-License-Identifier: MIT
#include "fake_module.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "vkm470_byte_order.h"

namespace streamtest {

namespace {

constexpr os::Dword kControlRequest = 0x22003E;
constexpr os::Dword kInformation = 0x22005E;
constexpr os::Dword kUnit = 512;

void erase(std::deque<hosted::Request*>& list, hosted::Request* request) {
  list.erase(std::remove(list.begin(), list.end(), request), list.end());
}

// Moves loop-back bytes into held reads and held writes into the loop-back
// buffer while either can go on; called with the state locked.
void pump(ModuleState& s) {
  for (bool moved = true; moved;) {
    moved = false;
    while (!s.heldReads.empty() && s.loopCount > 0 && s.reads == Reads::LoopBack) {
      hosted::Request* read = s.heldReads.front();
      s.heldReads.pop_front();
      const std::size_t n = std::min<std::size_t>(read->outputSize(), s.loopCount);
      auto* out = static_cast<std::uint8_t*>(read->output());
      const std::size_t first = std::min(n, s.loop.size() - s.loopHead);
      std::memcpy(out, s.loop.data() + s.loopHead, first);
      std::memcpy(out + first, s.loop.data(), n - first);
      s.loopHead = (s.loopHead + n) % s.loop.size();
      s.loopCount -= n;
      read->complete(os::kErrorSuccess, os::Dword(n));
      moved = true;
    }
    while (!s.heldWrites.empty() && s.writes == Writes::LoopBack && s.loopCount < s.loop.size()) {
      hosted::Request* write = s.heldWrites.front();
      const auto* in = static_cast<const std::uint8_t*>(write->input()) + s.writeOffset;
      const std::size_t left = write->inputSize() - s.writeOffset;
      const std::size_t n = std::min(left, s.loop.size() - s.loopCount);
      const std::size_t tail = (s.loopHead + s.loopCount) % s.loop.size();
      const std::size_t first = std::min(n, s.loop.size() - tail);
      std::memcpy(s.loop.data() + tail, in, first);
      std::memcpy(s.loop.data(), in + first, n - first);
      s.loopCount += n;
      s.writeOffset += n;
      if (s.writeOffset == write->inputSize()) {
        s.heldWrites.pop_front();
        s.writeOffset = 0;
        write->complete(os::kErrorSuccess, write->inputSize());
      }
      moved = true;
    }
  }
}

class FakeHandle final : public hosted::Device {
 public:
  explicit FakeHandle(std::shared_ptr<ModuleState> state)
      : state_(std::move(state)), completesCancels_(state_->completesCancels) {}

  ~FakeHandle() override {
    std::lock_guard<std::mutex> lk(state_->lock);
    for (auto* list : {&state_->heldReads, &state_->heldWrites, &state_->cancelled}) {
      for (hosted::Request* request : *list) request->complete(os::kErrorOperationAborted, 0);
      list->clear();
    }
  }

  void submit(hosted::Request& request) override {
    ModuleState& s = *state_;
    std::lock_guard<std::mutex> lk(s.lock);
    switch (request.kind()) {
      case hosted::RequestKind::IoControl:
        control(s, request);
        break;
      case hosted::RequestKind::Read:
        ++s.readsSubmitted;
        if (s.reads == Reads::Refuse) {
          request.complete(os::kErrorGenFailure, 0);
        } else {
          s.heldReads.push_back(&request);
          pump(s);
        }
        break;
      case hosted::RequestKind::Write:
        write(s, request);
        break;
    }
    s.changed.notify_all();
  }

  void cancel(hosted::Request& request) override {
    ModuleState& s = *state_;
    std::lock_guard<std::mutex> lk(s.lock);
    if (!s.heldWrites.empty() && s.heldWrites.front() == &request) s.writeOffset = 0;
    erase(s.heldReads, &request);
    erase(s.heldWrites, &request);
    ++s.cancels;
    if (completesCancels_) {
      s.cancelled.push_back(&request);
    } else {
      request.complete(os::kErrorOperationAborted, 0);
    }
    s.changed.notify_all();
  }

  bool completesCancelledRequests() const override { return completesCancels_; }

 private:
  static void control(ModuleState& s, hosted::Request& request) {
    if (request.code() == kInformation) {
      std::uint8_t block[80] = {80};
      block[36] = 41;
      const os::Dword n = std::min<os::Dword>(request.outputSize(), sizeof block);
      std::memcpy(request.output(), block, n);
      request.complete(os::kErrorSuccess, n);
      return;
    }
    if (request.code() != kControlRequest || request.inputSize() != 8) {
      request.complete(os::kErrorInvalidFunction, 0);
      return;
    }
    const std::uint16_t code =
        vkm470::byte_order::loadLe16(static_cast<const std::uint8_t*>(request.input()) + 2);
    s.control.push_back(code);
    s.inFlightAtControl.push_back(s.heldReads.size() + s.heldWrites.size());
    if (s.failing.count(code) != 0) {
      request.complete(os::kErrorGenFailure, 0);
      return;
    }
    if (request.outputSize() != 0) {
      std::memset(request.output(), 0, request.outputSize());
      if (code == 0x0B) {
        std::memcpy(request.output(), "VKM470", std::min<os::Dword>(7, request.outputSize()));
      }
    }
    request.complete(os::kErrorSuccess, request.outputSize());
  }

  static void write(ModuleState& s, hosted::Request& request) {
    s.writeSizes.push_back(request.inputSize());
    const auto* in = static_cast<const char*>(request.input());
    switch (s.writes) {
      case Writes::Take:
        s.taken.append(in, request.inputSize());
        request.complete(os::kErrorSuccess, request.inputSize());
        break;
      case Writes::Short: {
        const os::Dword n = request.inputSize() > kUnit ? request.inputSize() - kUnit : 0;
        s.taken.append(in, n);
        request.complete(os::kErrorSuccess, n);
        break;
      }
      case Writes::Refuse:
        request.complete(os::kErrorGenFailure, 0);
        break;
      case Writes::Hold:
        s.heldWrites.push_back(&request);
        break;
      case Writes::LoopBack:
        s.heldWrites.push_back(&request);
        pump(s);
        break;
    }
  }

  std::shared_ptr<ModuleState> state_;
  const bool completesCancels_;
};

}  // namespace

FakeModule::FakeModule(std::size_t loopBackBytes) : state_(std::make_shared<ModuleState>()) {
  state_->loop.resize(loopBackBytes);
}

std::unique_ptr<hosted::Device> FakeModule::open(os::Dword, os::Dword, os::Dword*) {
  return std::make_unique<FakeHandle>(state_);
}

void FakeModule::set(const std::function<void(ModuleState&)>& change) {
  std::lock_guard<std::mutex> lk(state_->lock);
  change(*state_);
  pump(*state_);
  state_->changed.notify_all();
}

bool FakeModule::waitUntil(const std::function<bool(ModuleState&)>& ready) {
  std::unique_lock<std::mutex> lk(state_->lock);
  return state_->changed.wait_for(lk, std::chrono::seconds(10), [&] { return ready(*state_); });
}

void FakeModule::completeRead(std::size_t index, const std::string& data) {
  set([&](ModuleState& s) {
    hosted::Request* read = s.heldReads.at(index);
    s.heldReads.erase(s.heldReads.begin() + std::ptrdiff_t(index));
    std::memcpy(read->output(), data.data(), data.size());
    read->complete(os::kErrorSuccess, os::Dword(data.size()));
  });
}

void FakeModule::failRead(std::size_t index, os::Dword error) {
  set([&](ModuleState& s) {
    hosted::Request* read = s.heldReads.at(index);
    s.heldReads.erase(s.heldReads.begin() + std::ptrdiff_t(index));
    read->complete(error, 0);
  });
}

void FakeModule::completeWrite(std::size_t index, os::Dword bytes) {
  set([&](ModuleState& s) {
    hosted::Request* write = s.heldWrites.at(index);
    s.heldWrites.erase(s.heldWrites.begin() + std::ptrdiff_t(index));
    s.taken.append(static_cast<const char*>(write->input()), bytes);
    write->complete(os::kErrorSuccess, bytes);
  });
}

void FakeModule::failWrite(std::size_t index, os::Dword error) {
  set([&](ModuleState& s) {
    hosted::Request* write = s.heldWrites.at(index);
    s.heldWrites.erase(s.heldWrites.begin() + std::ptrdiff_t(index));
    write->complete(error, 0);
  });
}

void FakeModule::releaseCancelled() {
  set([](ModuleState& s) {
    for (hosted::Request* request : s.cancelled) {
      request->complete(os::kErrorOperationAborted, 0);
    }
    s.cancelled.clear();
  });
}

}  // namespace streamtest
