// SPDX-License-Identifier: MIT
// The pending device on the hosted seam: a registered fake driver that parks
// reads until the test feeds them.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "hosted.h"
#include "pending_device.h"

namespace vkm470::os::testing {
namespace {

// Shared by the driver's handle and the test.
struct Line {
  std::mutex lock;
  std::deque<hosted::Request*> reads;
  std::string buffered;
  std::string written;
};

// Moves buffered bytes into the oldest parked read; called with line.lock held,
// returns the request to complete outside it.
hosted::Request* take(Line& line, Dword* bytes) {
  if (line.reads.empty() || line.buffered.empty()) return nullptr;
  hosted::Request* read = line.reads.front();
  line.reads.pop_front();
  *bytes = static_cast<Dword>(std::min<std::size_t>(read->outputSize(), line.buffered.size()));
  std::memcpy(read->output(), line.buffered.data(), *bytes);
  line.buffered.erase(0, *bytes);
  return read;
}

class ParkingDevice : public hosted::Device {
 public:
  explicit ParkingDevice(std::shared_ptr<Line> line) : line_(std::move(line)) {}

  void submit(hosted::Request& request) override {
    std::unique_lock<std::mutex> lk(line_->lock);
    switch (request.kind()) {
      case hosted::RequestKind::Write: {
        line_->written.append(static_cast<const char*>(request.input()), request.inputSize());
        lk.unlock();
        request.complete(kErrorSuccess, request.inputSize());
        return;
      }
      case hosted::RequestKind::Read: {
        line_->reads.push_back(&request);
        Dword bytes = 0;
        hosted::Request* done = take(*line_, &bytes);
        lk.unlock();
        if (done != nullptr) done->complete(kErrorSuccess, bytes);
        return;
      }
      case hosted::RequestKind::IoControl:
        lk.unlock();
        request.complete(kErrorNotSupported, 0);
        return;
    }
  }

  void cancel(hosted::Request& request) override {
    {
      std::lock_guard<std::mutex> lk(line_->lock);
      auto& reads = line_->reads;
      reads.erase(std::remove(reads.begin(), reads.end(), &request), reads.end());
    }
    request.complete(kErrorOperationAborted, 0);
  }

 private:
  std::shared_ptr<Line> line_;
};

class ParkingDriver : public hosted::Driver {
 public:
  explicit ParkingDriver(std::shared_ptr<Line> line) : line_(std::move(line)) {}
  std::unique_ptr<hosted::Device> open(Dword, Dword, Dword*) override {
    return std::make_unique<ParkingDevice>(line_);
  }

 private:
  std::shared_ptr<Line> line_;
};

class FakePendingDevice : public PendingDevice {
 public:
  FakePendingDevice() : line_(std::make_shared<Line>()) {
    static std::atomic<int> counter{0};
    name_ = "SEAMPENDING" + std::to_string(counter++);
    hosted::registerDevice(name_, std::make_shared<ParkingDriver>(line_));
  }
  ~FakePendingDevice() override { hosted::unregisterDevice(name_); }

  Handle open(bool overlapped) override {
    return os::CreateFile(("\\\\.\\" + name_).c_str(), kGenericRead | kGenericWrite, 0,
                          kOpenExisting, overlapped ? kFileFlagOverlapped : kFileAttributeNormal);
  }

  void feed(const std::string& data) override {
    Dword bytes = 0;
    hosted::Request* done;
    {
      std::lock_guard<std::mutex> lk(line_->lock);
      line_->buffered += data;
      done = take(*line_, &bytes);
    }
    if (done != nullptr) done->complete(kErrorSuccess, bytes);
  }

  std::string written() override {
    std::lock_guard<std::mutex> lk(line_->lock);
    return line_->written;
  }

 private:
  std::shared_ptr<Line> line_;
  std::string name_;
};

}  // namespace

std::unique_ptr<PendingDevice> makePendingDevice() { return std::make_unique<FakePendingDevice>(); }

}  // namespace vkm470::os::testing
