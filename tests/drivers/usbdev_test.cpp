// SPDX-License-Identifier: MIT
// The USB driver's own rules, one step below libusb, where a fake bus can
// show what an emulated one cannot: which devices the ID list lets it touch,
// open failures such as a node the user may not open (the tests run as root,
// whom no permission stops), the event-handling thread's life, and that a
// cancelled request ends only after the bus has given its transfer back.
#include "usbdev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace vkm470::drivers;
using vkm470::os::Dword;
using vkm470::os::hosted::Device;
using vkm470::os::hosted::Request;
using vkm470::os::hosted::RequestKind;

struct FakeDevice {
  UsbDeviceId id;
  UsbError openError = UsbError::None;
  UsbError claimError = UsbError::None;
  UsbInterface interface { 0, 0x81, 0x02 };
};

class FakeBus;

class FakeHandle final : public UsbHandle {
 public:
  FakeHandle(FakeBus& bus, const FakeDevice& device) : bus_(bus), device_(device) {}
  ~FakeHandle() override;
  UsbError describe(UsbDeviceId* id, UsbInterface* interface) override {
    *id = device_.id;
    *interface = device_.interface;
    return UsbError::None;
  }
  UsbError claim(int) override { return device_.claimError; }
  void release(int) override {}
  std::unique_ptr<UsbTransfer> newTransfer() override { return std::make_unique<UsbTransfer>(); }
  UsbError submit(UsbTransfer& transfer) override;
  void cancel(UsbTransfer& transfer) override;

 private:
  FakeBus& bus_;
  FakeDevice device_;
};

// Stands in for libusb: lists its devices, keeps submitted transfers until the
// test ends them, and runs their done calls on the event-handling thread.
class FakeBus final : public UsbBackend {
 public:
  explicit FakeBus(std::vector<FakeDevice> devices) : devices_(std::move(devices)) {}

  UsbError start() override {
    std::lock_guard<std::mutex> lock(mutex);
    ++starts;
    return UsbError::None;
  }
  void stop() override {
    std::lock_guard<std::mutex> lock(mutex);
    ++stops;
  }
  void handleEvents() override {
    std::unique_lock<std::mutex> lock(mutex);
    eventThreads.insert(std::this_thread::get_id());
    changed.wait(lock, [&] { return !events_.empty() || interrupted_; });
    interrupted_ = false;
    auto ready = std::move(events_);
    events_.clear();
    lock.unlock();
    for (auto& event : ready) event();
  }
  void interrupt() override {
    std::lock_guard<std::mutex> lock(mutex);
    interrupted_ = true;
    changed.notify_all();
  }
  UsbError list(std::vector<UsbDeviceId>* devices) override {
    for (const auto& device : devices_) devices->push_back(device.id);
    return UsbError::None;
  }
  UsbError open(const UsbDeviceId& id, std::unique_ptr<UsbHandle>* handle) override {
    for (const auto& device : devices_) {
      if (device.id.bus != id.bus || device.id.address != id.address) continue;
      if (device.openError != UsbError::None) return device.openError;
      std::lock_guard<std::mutex> lock(mutex);
      ++openHandles;
      *handle = std::make_unique<FakeHandle>(*this, device);
      return UsbError::None;
    }
    return UsbError::NoDevice;
  }
  UsbError openNode(const std::string&, std::unique_ptr<UsbHandle>*) override {
    return UsbError::NotFound;
  }

  // The bus gives the transfer back.
  void finish(UsbTransfer& transfer, UsbStatus status, std::uint32_t actual) {
    std::lock_guard<std::mutex> lock(mutex);
    submitted.erase(std::find(submitted.begin(), submitted.end(), &transfer));
    events_.push_back([&transfer, status, actual] { transfer.done(transfer, status, actual); });
    changed.notify_all();
  }
  bool waitFor(const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), condition);
  }

  std::mutex mutex;
  std::condition_variable changed;
  int starts = 0;
  int stops = 0;
  int openHandles = 0;
  UsbError submitError = UsbError::None;
  std::set<std::thread::id> eventThreads;
  std::vector<UsbTransfer*> submitted;
  std::vector<UsbTransfer*> cancelled;

 private:
  std::vector<FakeDevice> devices_;
  std::deque<std::function<void()>> events_;
  bool interrupted_ = false;
};

FakeHandle::~FakeHandle() {
  std::lock_guard<std::mutex> lock(bus_.mutex);
  --bus_.openHandles;
}

UsbError FakeHandle::submit(UsbTransfer& transfer) {
  std::lock_guard<std::mutex> lock(bus_.mutex);
  if (bus_.submitError != UsbError::None) return bus_.submitError;
  bus_.submitted.push_back(&transfer);
  bus_.changed.notify_all();
  return UsbError::None;
}

void FakeHandle::cancel(UsbTransfer& transfer) {
  std::lock_guard<std::mutex> lock(bus_.mutex);
  bus_.cancelled.push_back(&transfer);
  bus_.changed.notify_all();
}

class TestRequest final : public Request {
 public:
  TestRequest(RequestKind kind, Dword code, std::vector<unsigned char> in, Dword outSize)
      : kind_(kind), code_(code), in_(std::move(in)), out_(outSize, 0xEE) {}

  RequestKind kind() const override { return kind_; }
  Dword code() const override { return code_; }
  const void* input() const override { return in_.data(); }
  Dword inputSize() const override { return static_cast<Dword>(in_.size()); }
  void* output() override { return out_.data(); }
  Dword outputSize() const override { return static_cast<Dword>(out_.size()); }
  void complete(Dword status, Dword bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_FALSE(completed_);
    completed_ = true;
    status_ = status;
    bytes_ = bytes;
    thread_ = std::this_thread::get_id();
    done_.notify_all();
  }

  bool waitCompleted() {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, std::chrono::seconds(10), [&] { return completed_; });
  }

  bool completed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
  }
  Dword status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  Dword bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  std::thread::id thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
  }
  std::vector<unsigned char>& in() { return in_; }
  std::vector<unsigned char>& out() { return out_; }

 private:
  RequestKind kind_;
  Dword code_;
  std::vector<unsigned char> in_;
  std::vector<unsigned char> out_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool completed_ = false;
  Dword status_ = 0xFFFFFFFFu;
  Dword bytes_ = 0;
  std::thread::id thread_;
};

constexpr Dword kControl = 0x22003E;
constexpr Dword kInformation = 0x22005E;

std::vector<unsigned char> record(std::uint16_t direction, std::uint16_t request,
                                  std::uint16_t value, std::uint16_t index) {
  std::vector<unsigned char> bytes;
  for (std::uint16_t field : {direction, request, value, index}) {
    bytes.push_back(static_cast<unsigned char>(field));
    bytes.push_back(static_cast<unsigned char>(field >> 8));
  }
  return bytes;
}

// Sets or clears the ID list for a scope.
class IdList {
 public:
  explicit IdList(const char* ids) {
    if (ids == nullptr) {
      unsetenv(kUsbIdsVariable);
    } else {
      setenv(kUsbIdsVariable, ids, 1);
    }
  }
  ~IdList() { unsetenv(kUsbIdsVariable); }
};

const std::vector<FakeDevice> kDevices = {{{0x1234, 0x5678, 2, 1}},
                                          {{0x1234, 0x5678, 1, 7}},
                                          {{0xABCD, 0xEF01, 1, 3}},
                                          {{0x1111, 0x2222, 1, 1}}};

std::unique_ptr<Device> open(const std::shared_ptr<vkm470::os::hosted::Resolver>& resolver,
                             const std::string& name, Dword* error, bool* served = nullptr) {
  std::unique_ptr<Device> device;
  const bool wasServed = resolver->openName(name, 0xC0000000u, 0, &device, error);
  if (served != nullptr) *served = wasServed;
  return device;
}

std::vector<unsigned char> informationOf(Device& device) {
  TestRequest query(RequestKind::IoControl, kInformation, {}, kInformationBytes);
  device.submit(query);
  EXPECT_EQ(query.status(), 0u);
  EXPECT_EQ(query.bytes(), kInformationBytes);
  return query.out();
}

TEST(UsbIds, OnlyListedDevicesAreServedInBusAndAddressOrder) {
  struct Case {
    const char* ids;  // null: not set
    const char* name;
    std::optional<std::pair<int, int>> served;  // bus, address
    bool touched;                               // the bus was enumerated
  };
  const Case cases[] = {
      {nullptr, "QDev0", std::nullopt, false},
      {"", "QDev0", std::nullopt, false},
      {"1234:5678,zz:1", "QDev0", std::nullopt, false},
      {"1234:5678,", "QDev0", std::nullopt, false},
      {"1234-5678", "QDev0", std::nullopt, false},
      {"12345:678", "QDev0", std::nullopt, false},
      {"1234:5678", "QDev0", std::make_pair(1, 7), true},
      {"1234:5678", "qdev1", std::make_pair(2, 1), true},
      {"1234:5678", "QDev2", std::nullopt, true},
      {"1234:5678,ABCD:ef01", "QDev0", std::make_pair(1, 3), true},
      {"1234:5678,ABCD:ef01", "QDev2", std::make_pair(2, 1), true},
      {"1234:5678", "QDev01", std::nullopt, false},
      {"1234:5678", "QDev256", std::nullopt, false},
      {"1234:5678", "ALTLPT1", std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ids != nullptr ? c.ids : "(unset)") + " " + c.name);
    IdList ids(c.ids);
    auto bus = std::make_shared<FakeBus>(kDevices);
    auto resolver = usbResolver(bus);
    Dword error = 0;
    bool served = true;
    auto device = open(resolver, c.name, &error, &served);
    EXPECT_EQ(served, c.served.has_value());
    ASSERT_EQ(device != nullptr, c.served.has_value());
    if (device) {
      const auto block = informationOf(*device);
      EXPECT_EQ(block[kInfoBusOffset], c.served->first);
      EXPECT_EQ(block[kInfoAddressOffset], c.served->second);
      EXPECT_EQ(block[kModuleTypeOffset], kModuleTypeVkm470);
      device.reset();
    }
    EXPECT_EQ(bus->starts, c.touched ? 1 : 0);
    EXPECT_EQ(bus->stops, bus->starts);
    EXPECT_EQ(bus->openHandles, 0);
  }
}

TEST(UsbOpen, FailuresGiveTheCodesOfTheWindowsDriver) {
  struct Case {
    const char* what;
    UsbError openError;
    UsbError claimError;
    Dword error;
  };
  const Case cases[] = {
      {"no permission for the node", UsbError::Access, UsbError::None, 5},
      {"node busy", UsbError::Busy, UsbError::None, 32},
      {"gone between listing and opening", UsbError::NoDevice, UsbError::None, 2},
      {"other failure", UsbError::Other, UsbError::None, 31},
      {"interface held by another opener", UsbError::None, UsbError::Busy, 32},
      {"interface refused", UsbError::None, UsbError::Access, 5},
      {"unplugged while claiming", UsbError::None, UsbError::NoDevice, 2},
  };
  IdList ids("1234:5678");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDevice module{{0x1234, 0x5678, 1, 4}, c.openError, c.claimError};
    auto bus = std::make_shared<FakeBus>(std::vector<FakeDevice>{module});
    Dword error = 0;
    bool served = false;
    EXPECT_EQ(open(usbResolver(bus), "QDev0", &error, &served), nullptr);
    EXPECT_TRUE(served);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(bus->openHandles, 0);
    EXPECT_EQ(bus->stops, bus->starts);
  }
}

TEST(UsbEvents, OneThreadRunsFromTheFirstOpenToTheLastClose) {
  IdList ids("1234:5678");
  auto bus = std::make_shared<FakeBus>(kDevices);
  auto resolver = usbResolver(bus);
  Dword error = 0;
  auto first = open(resolver, "QDev0", &error);
  auto second = open(resolver, "QDev1", &error);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(bus->starts, 1);

  TestRequest a(RequestKind::Read, 0, {}, 8), b(RequestKind::Read, 0, {}, 8);
  first->submit(a);
  second->submit(b);
  ASSERT_TRUE(bus->waitFor([&] { return bus->submitted.size() == 2; }));
  for (UsbTransfer* transfer : std::vector<UsbTransfer*>(bus->submitted)) {
    bus->finish(*transfer, UsbStatus::Completed, 8);
  }
  ASSERT_TRUE(a.waitCompleted() && b.waitCompleted());
  EXPECT_EQ(a.thread(), b.thread());
  EXPECT_NE(a.thread(), std::this_thread::get_id());

  first.reset();
  EXPECT_EQ(bus->stops, 0);
  second.reset();
  EXPECT_EQ(bus->stops, 1);
  EXPECT_EQ(bus->eventThreads.size(), 1u);
  auto again = open(resolver, "QDev0", &error);
  EXPECT_EQ(bus->starts, 2);
}

class UsbDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dword error = 0;
    device = open(resolver, "QDev0", &error);
    ASSERT_NE(device, nullptr);
  }
  void TearDown() override { unsetenv(kUsbIdsVariable); }

  // The transfer that the bus holds for the only request in flight.
  UsbTransfer& inFlight() {
    EXPECT_TRUE(bus->waitFor([&] { return bus->submitted.size() == 1; }));
    return *bus->submitted.front();
  }

  IdList ids{"1234:5678"};
  std::shared_ptr<FakeBus> bus =
      std::make_shared<FakeBus>(std::vector<FakeDevice>{{{0x1234, 0x5678, 3, 9}}});
  std::shared_ptr<vkm470::os::hosted::Resolver> resolver = usbResolver(bus);
  std::unique_ptr<Device> device;
};

TEST_F(UsbDeviceTest, RequestsBecomeTransfersOrAreRefused) {
  struct Case {
    const char* what;
    RequestKind kind;
    Dword code;
    std::vector<unsigned char> in;
    Dword outSize;
    Dword refusal;  // 0: goes to the bus
    UsbTransfer::Type type;
    std::uint8_t endpoint, requestType, request;
    std::uint16_t value, index;
  };
  using T = UsbTransfer::Type;
  const Case cases[] = {
      {"control IN", RequestKind::IoControl, kControl, record(1, 0x0B, 0x1234, 0xABCD), 16, 0,
       T::Control, 0, 0xC0, 0x0B, 0x1234, 0xABCD},
      {"control OUT", RequestKind::IoControl, kControl, record(0, 0x42, 1, 2), 3, 0, T::Control, 0,
       0x40, 0x42, 1, 2},
      {"control, direction neither 0 nor 1", RequestKind::IoControl, kControl, record(2, 5, 0, 0),
       0, 0, T::Control, 0, 0x40, 5, 0, 0},
      {"bulk read", RequestKind::Read, 0, {}, 100, 0, T::Bulk, 0x81, 0, 0, 0, 0},
      {"bulk write", RequestKind::Write, 0, {1, 2, 3}, 0, 0, T::Bulk, 0x02, 0, 0, 0, 0},
      {"record of 6 bytes",
       RequestKind::IoControl,
       kControl,
       {1, 0, 2, 0, 3, 0},
       0,
       87,
       T::Bulk,
       0,
       0,
       0,
       0,
       0},
      {"data stage over 65535", RequestKind::IoControl, kControl, record(1, 1, 0, 0), 65536, 87,
       T::Bulk, 0, 0, 0, 0, 0},
      {"unknown code", RequestKind::IoControl, 0x220042, {}, 0, 1, T::Bulk, 0, 0, 0, 0, 0},
      {"information into 79 bytes",
       RequestKind::IoControl,
       kInformation,
       {},
       79,
       122,
       T::Bulk,
       0,
       0,
       0,
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRequest request(c.kind, c.code, c.in, c.outSize);
    device->submit(request);
    if (c.refusal != 0) {
      EXPECT_TRUE(request.completed());
      EXPECT_EQ(request.status(), c.refusal);
      continue;
    }
    UsbTransfer& transfer = inFlight();
    EXPECT_EQ(transfer.type, c.type);
    EXPECT_EQ(transfer.endpoint, c.endpoint);
    EXPECT_EQ(transfer.requestType, c.requestType);
    EXPECT_EQ(transfer.request, c.request);
    EXPECT_EQ(transfer.value, c.value);
    EXPECT_EQ(transfer.index, c.index);
    const bool write = c.kind == RequestKind::Write;
    EXPECT_EQ(transfer.data, write ? request.in().data() : request.out().data());
    EXPECT_EQ(transfer.length, write ? c.in.size() : c.outSize);
    EXPECT_FALSE(request.completed());
    bus->finish(transfer, UsbStatus::Completed, transfer.length / 2);
    ASSERT_TRUE(request.waitCompleted());
    EXPECT_EQ(request.status(), 0u);
    EXPECT_EQ(request.bytes(), transfer.length / 2);
  }
}

TEST_F(UsbDeviceTest, CancelEndsTheRequestOnlyWhenTheBusGivesTheTransferBack) {
  // The bus may still finish the transfer normally before the cancel lands.
  const std::pair<UsbStatus, Dword> outcomes[] = {{UsbStatus::Cancelled, 995},
                                                  {UsbStatus::Completed, 0}};
  for (auto [status, code] : outcomes) {
    SCOPED_TRACE(code);
    TestRequest read(RequestKind::Read, 0, {}, 64);
    device->submit(read);
    UsbTransfer& transfer = inFlight();
    std::atomic<bool> returned{false};
    std::thread canceller([&] {
      device->cancel(read);
      returned = true;
    });
    ASSERT_TRUE(bus->waitFor([&] { return bus->cancelled.size() == 1; }));
    EXPECT_FALSE(read.completed());
    EXPECT_FALSE(returned);
    bus->finish(transfer, status, 12);
    canceller.join();
    EXPECT_TRUE(read.completed());
    EXPECT_EQ(read.status(), code);
    EXPECT_EQ(read.bytes(), 12u);
    bus->cancelled.clear();
  }

  // Closing with a transfer in flight cancels it and waits for it the same way.
  TestRequest read(RequestKind::Read, 0, {}, 64);
  device->submit(read);
  UsbTransfer& transfer = inFlight();
  std::thread closer([&] { device.reset(); });
  ASSERT_TRUE(bus->waitFor([&] { return bus->cancelled.size() == 1; }));
  EXPECT_FALSE(read.completed());
  bus->finish(transfer, UsbStatus::Cancelled, 0);
  closer.join();
  EXPECT_EQ(read.status(), 995u);
  EXPECT_EQ(bus->openHandles, 0);
  EXPECT_EQ(bus->stops, 1);
}

// However the bus reports that the device has left, that request and every
// later one fail, without reaching the bus again.
TEST_F(UsbDeviceTest, DeviceThatLeftTheBusFailsEveryRequest) {
  for (bool atSubmit : {true, false}) {
    SCOPED_TRACE(atSubmit ? "refused at submit" : "ended in flight");
    Dword error = 0;
    device.reset();
    device = open(resolver, "QDev0", &error);
    ASSERT_NE(device, nullptr);
    TestRequest read(RequestKind::Read, 0, {}, 64);
    bus->submitError = atSubmit ? UsbError::NoDevice : UsbError::None;
    device->submit(read);
    if (!atSubmit) bus->finish(inFlight(), UsbStatus::NoDevice, 0);
    ASSERT_TRUE(read.waitCompleted());
    EXPECT_EQ(read.status(), kErrorDeviceNotConnected);

    bus->submitError = UsbError::None;
    TestRequest write(RequestKind::Write, 0, {1}, 0);
    TestRequest control(RequestKind::IoControl, kControl, record(0, 1, 0, 0), 0);
    TestRequest information(RequestKind::IoControl, kInformation, {}, kInformationBytes);
    for (TestRequest* later : {&write, &control, &information}) {
      device->submit(*later);
      EXPECT_TRUE(later->completed());
      EXPECT_EQ(later->status(), kErrorDeviceNotConnected);
    }
    EXPECT_TRUE(bus->submitted.empty());
  }
}

}  // namespace
