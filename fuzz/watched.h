// SPDX-License-Identifier: MIT
// Stands between the seam and a driver under test and watches every request
// the driver is given: each completes exactly once, with no more bytes than its
// buffer holds, and all have completed by the time the handle goes. A driver
// that completes everything at once can be held to completing each request
// inside its submit.
#pragma once

#include <map>
#include <memory>

#include "fuzz.h"
#include "hosted.h"

namespace vkm470::fuzz {

class WatchedRequest final : public os::hosted::Request {
 public:
  explicit WatchedRequest(os::hosted::Request& inner) : inner_(inner) {}
  os::hosted::RequestKind kind() const override { return inner_.kind(); }
  os::Dword code() const override { return inner_.code(); }
  const void* input() const override { return inner_.input(); }
  os::Dword inputSize() const override { return inner_.inputSize(); }
  void* output() override { return inner_.output(); }
  os::Dword outputSize() const override { return inner_.outputSize(); }
  void complete(os::Dword status, os::Dword bytes) override {
    FUZZ_CHECK(++completions == 1, "a request completed twice");
    const os::Dword limit =
        kind() == os::hosted::RequestKind::Write ? inner_.inputSize() : inner_.outputSize();
    FUZZ_CHECK(bytes <= limit, "a request completed with %u bytes for a %u-byte buffer", bytes,
               limit);
    inner_.complete(status, bytes);
  }
  int completions = 0;

 private:
  os::hosted::Request& inner_;
};

class WatchedDevice final : public os::hosted::Device {
 public:
  WatchedDevice(std::unique_ptr<os::hosted::Device> inner, bool atOnce)
      : inner_(std::move(inner)), atOnce_(atOnce) {}
  ~WatchedDevice() override {
    for (const auto& [request, watched] : requests_)
      FUZZ_CHECK(watched->completions == 1, "a request of a closed handle never completed");
  }
  void submit(os::hosted::Request& request) override {
    // The seam may reuse the address of a request that has ended.
    auto& watched = requests_[&request];
    FUZZ_CHECK(!watched || watched->completions == 1, "a request submitted while pending");
    watched = std::make_unique<WatchedRequest>(request);
    inner_->submit(*watched);
    FUZZ_CHECK(!atOnce_ || watched->completions == 1, "a request left pending by its submit");
  }
  void cancel(os::hosted::Request& request) override {
    const auto it = requests_.find(&request);
    FUZZ_CHECK(it != requests_.end(), "cancel of a request never submitted");
    inner_->cancel(*it->second);
  }
  bool completesCancelledRequests() const override { return inner_->completesCancelledRequests(); }

 private:
  std::unique_ptr<os::hosted::Device> inner_;
  bool atOnce_;
  std::map<os::hosted::Request*, std::unique_ptr<WatchedRequest>> requests_;
};

class WatchedDriver final : public os::hosted::Driver {
 public:
  WatchedDriver(std::shared_ptr<os::hosted::Driver> inner, bool atOnce)
      : inner_(std::move(inner)), atOnce_(atOnce) {}
  std::unique_ptr<os::hosted::Device> open(os::Dword access, os::Dword share,
                                           os::Dword* error) override {
    auto device = inner_->open(access, share, error);
    if (!device) return nullptr;
    return std::make_unique<WatchedDevice>(std::move(device), atOnce_);
  }

 private:
  std::shared_ptr<os::hosted::Driver> inner_;
  bool atOnce_;
};

}  // namespace vkm470::fuzz
