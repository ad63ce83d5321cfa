// SPDX-License-Identifier: MIT
#include "usbdev.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "vkm470_byte_order.h"

namespace vkm470::drivers {
namespace {

using byte_order::loadLe16;
using byte_order::storeLe16;
using byte_order::storeLe32;
using os::Dword;
using os::hosted::Request;
using os::hosted::RequestKind;

using usb::kControlRecordBytes;
using usb::kIoctlControlRequest;
using usb::kIoctlInformation;

constexpr std::uint8_t kRequestTypeVendorDevice = 0x40;
constexpr std::uint8_t kEndpointIn = 0x80;

Dword win32Error(UsbError error) {
  switch (error) {
    case UsbError::None:
      return os::kErrorSuccess;
    case UsbError::Access:
      return os::kErrorAccessDenied;
    case UsbError::NoDevice:
    case UsbError::NotFound:
      return os::kErrorFileNotFound;
    case UsbError::Busy:
      return os::kErrorSharingViolation;
    case UsbError::Other:
      break;
  }
  return os::kErrorGenFailure;
}

Dword win32Status(UsbStatus status) {
  switch (status) {
    case UsbStatus::Completed:
      return os::kErrorSuccess;
    case UsbStatus::Cancelled:
      return os::kErrorOperationAborted;
    case UsbStatus::NoDevice:
      return kErrorDeviceNotConnected;
    case UsbStatus::Failed:
      break;
  }
  return os::kErrorGenFailure;
}

using IdList = std::vector<std::pair<std::uint16_t, std::uint16_t>>;

// One to four hexadecimal digits.
bool parseHex16(const std::string& text, std::uint16_t* value) {
  if (text.empty() || text.size() > 4) return false;
  unsigned result = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    result = result * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : std::tolower(c) - 'a' + 10);
  }
  *value = static_cast<std::uint16_t>(result);
  return true;
}

// The devices the user lists. A list with any malformed entry serves nothing:
// a mistyped list must not reach devices it did not name.
IdList listedIds() {
  IdList ids;
  const char* text = std::getenv(kUsbIdsVariable);
  if (text == nullptr) return ids;
  std::string rest = text;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string entry = rest.substr(0, comma);
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    const std::size_t colon = entry.find(':');
    std::uint16_t vendor, product;
    if (colon == std::string::npos || !parseHex16(entry.substr(0, colon), &vendor) ||
        !parseHex16(entry.substr(colon + 1), &product) ||
        (comma != std::string::npos && rest.empty())) {
      return {};
    }
    ids.emplace_back(vendor, product);
  }
  return ids;
}

bool listed(const IdList& ids, std::uint16_t vendor, std::uint16_t product) {
  return std::find(ids.begin(), ids.end(), std::make_pair(vendor, product)) != ids.end();
}

}  // namespace

// The backend that every device of a UsbModules shares, and the one
// event-handling thread: it runs while the bus has users (opens under way and
// open devices).
class UsbBus {
 public:
  explicit UsbBus(std::shared_ptr<UsbBackend> backend) : backend_(std::move(backend)) {}

  UsbBackend& backend() { return *backend_; }

  UsbError acquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (users_ == 0) {
      const UsbError error = backend_->start();
      if (error != UsbError::None) return error;
      stopping_ = false;
      try {
        events_ = std::thread([this] {
          while (!stopping_) backend_->handleEvents();
        });
      } catch (const std::system_error&) {
        backend_->stop();
        return UsbError::Other;
      }
    }
    ++users_;
    return UsbError::None;
  }

  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--users_ != 0) return;
    stopping_ = true;
    backend_->interrupt();
    events_.join();
    backend_->stop();
  }

 private:
  std::shared_ptr<UsbBackend> backend_;
  std::mutex mutex_;
  int users_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread events_;
};

namespace {

// One use of the bus, released when it goes.
class BusUse {
 public:
  BusUse() = default;
  explicit BusUse(std::shared_ptr<UsbBus> bus) : bus_(std::move(bus)) {}
  BusUse(BusUse&& other) noexcept : bus_(std::move(other.bus_)) {}
  BusUse& operator=(BusUse&&) = delete;
  ~BusUse() {
    if (bus_) bus_->release();
  }

 private:
  std::shared_ptr<UsbBus> bus_;
};

class UsbDevice final : public os::hosted::Device {
 public:
  UsbDevice(BusUse bus, std::unique_ptr<UsbHandle> handle, const UsbInterface& interface,
            const unsigned char (&info)[kInformationBytes])
      : bus_(std::move(bus)), handle_(std::move(handle)), interface_(interface) {
    std::memcpy(info_, info, sizeof info_);
  }

  ~UsbDevice() override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (auto& slot : slots_) {
        if (slot->request != nullptr) handle_->cancel(*slot->transfer);
      }
      finished_.wait(lock, [this] { return inFlight_ == 0; });
    }
    handle_->release(interface_.number);
    // The transfers go before the handle, and the handle before the bus.
    slots_.clear();
    handle_.reset();
  }

  void submit(Request& request) override {
    UsbTransfer::Type type = UsbTransfer::Type::Bulk;
    std::uint8_t endpoint = 0;
    std::uint8_t requestType = 0;
    std::uint8_t code = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    unsigned char* data = nullptr;
    Dword length = 0;
    switch (request.kind()) {
      case RequestKind::IoControl:
        if (request.code() == kIoctlInformation) {
          answerInformation(request);
          return;
        }
        if (request.code() != kIoctlControlRequest) {
          request.complete(os::kErrorInvalidFunction, 0);
          return;
        }
        // The setup packet carries a data stage of at most 65535 bytes and
        // an 8-bit request code; anything wider is refused, not cut short.
        if (request.inputSize() != kControlRecordBytes ||
            request.outputSize() > std::numeric_limits<std::uint16_t>::max() ||
            loadLe16(static_cast<const unsigned char*>(request.input()) + 2) >
                std::numeric_limits<std::uint8_t>::max()) {
          request.complete(os::kErrorInvalidParameter, 0);
          return;
        } else {
          const auto* record = static_cast<const unsigned char*>(request.input());
          type = UsbTransfer::Type::Control;
          requestType = static_cast<std::uint8_t>(kRequestTypeVendorDevice |
                                                  (loadLe16(record) == 1 ? kEndpointIn : 0));
          code = static_cast<std::uint8_t>(loadLe16(record + 2));
          value = loadLe16(record + 4);
          index = loadLe16(record + 6);
          data = static_cast<unsigned char*>(request.output());
          length = request.outputSize();
        }
        break;
      case RequestKind::Read:
        endpoint = interface_.bulkIn;
        data = static_cast<unsigned char*>(request.output());
        length = request.outputSize();
        break;
      case RequestKind::Write:
        endpoint = interface_.bulkOut;
        // The bus only reads the buffer of an OUT transfer.
        data = static_cast<unsigned char*>(const_cast<void*>(request.input()));
        length = request.inputSize();
        break;
    }
    if (type == UsbTransfer::Type::Bulk) {
      if (endpoint == 0) {
        request.complete(os::kErrorInvalidFunction, 0);
        return;
      }
      if (length > static_cast<Dword>(std::numeric_limits<int>::max())) {
        request.complete(os::kErrorInvalidParameter, 0);
        return;
      }
    }

    Slot* slot = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (gone_) {
        request.complete(kErrorDeviceNotConnected, 0);
        return;
      }
      if (idle_.empty() && !grow()) {
        request.complete(os::kErrorNotEnoughMemory, 0);
        return;
      }
      slot = idle_.back();
      idle_.pop_back();
      slot->request = &request;
      ++inFlight_;
    }
    UsbTransfer& transfer = *slot->transfer;
    transfer.type = type;
    transfer.endpoint = endpoint;
    transfer.requestType = requestType;
    transfer.request = code;
    transfer.value = value;
    transfer.index = index;
    transfer.data = data;
    transfer.length = length;
    const UsbError error = handle_->submit(transfer);
    if (error != UsbError::None) {
      if (error == UsbError::NoDevice) markGone();
      request.complete(error == UsbError::NoDevice ? kErrorDeviceNotConnected : win32Error(error),
                       0);
      finish(*slot);
    }
  }

  // The request ends when the bus gives its buffer back, never before: until
  // then the bus may still write into the caller's memory. So this waits for
  // the transfer's done call, which completes the request.
  void cancel(Request& request) override {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = std::find_if(slots_.begin(), slots_.end(),
                           [&](const auto& slot) { return slot->request == &request; });
    if (it == slots_.end()) return;
    Slot& slot = **it;
    handle_->cancel(*slot.transfer);
    finished_.wait(lock, [&] { return slot.request != &request; });
  }

 private:
  struct Slot {
    UsbDevice* device = nullptr;
    std::unique_ptr<UsbTransfer> transfer;
    Request* request = nullptr;  // while in flight
  };

  // Adds a transfer to the pool; with mutex_ held.
  bool grow() {
    try {
      auto slot = std::make_unique<Slot>();
      slot->device = this;
      slot->transfer = handle_->newTransfer();
      slot->transfer->owner = slot.get();
      slot->transfer->done = &UsbDevice::transferDone;
      idle_.reserve(slots_.size() + 1);
      slots_.push_back(std::move(slot));
      idle_.push_back(slots_.back().get());
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  static void transferDone(UsbTransfer& transfer, UsbStatus status, std::uint32_t actual) {
    Slot& slot = *static_cast<Slot*>(transfer.owner);
    if (status == UsbStatus::NoDevice) slot.device->markGone();
    slot.request->complete(win32Status(status), actual);
    slot.device->finish(slot);
  }

  void markGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
  }

  // Returns a slot whose request has been completed to the pool.
  void finish(Slot& slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    slot.request = nullptr;
    idle_.push_back(&slot);
    --inFlight_;
    finished_.notify_all();
  }

  void answerInformation(Request& request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (gone_) {
        request.complete(kErrorDeviceNotConnected, 0);
        return;
      }
    }
    if (request.outputSize() < kInformationBytes) {
      request.complete(os::kErrorInsufficientBuffer, 0);
      return;
    }
    std::memcpy(request.output(), info_, kInformationBytes);
    request.complete(os::kErrorSuccess, kInformationBytes);
  }

  BusUse bus_;
  std::unique_ptr<UsbHandle> handle_;
  UsbInterface interface_;
  unsigned char info_[kInformationBytes];
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<Slot*> idle_;
  std::size_t inFlight_ = 0;
  bool gone_ = false;
};

}  // namespace

int deviceNumber(const std::string& name) {
  static const char prefix[] = "QDEV";
  if (name.size() < sizeof prefix || name.size() > sizeof prefix + 2) return -1;
  for (std::size_t i = 0; i + 1 < sizeof prefix; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != prefix[i]) return -1;
  }
  const std::string number = name.substr(sizeof prefix - 1);
  if (number.size() > 1 && number[0] == '0') return -1;
  int value = 0;
  for (char c : number) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    value = value * 10 + (c - '0');
  }
  return value <= 255 ? value : -1;
}

namespace {

// The caller's use and handle go in the device, or stay the caller's to close
// (the handle before the bus). where, for a device node, gives the bus and
// address that its path names.
std::unique_ptr<os::hosted::Device> finishOpen(BusUse& use, std::unique_ptr<UsbHandle>& handle,
                                               const UsbDeviceId* where, Dword* error) {
  UsbDeviceId id;
  UsbInterface interface;
  UsbError result = handle->describe(&id, &interface);
  if (result == UsbError::None) result = handle->claim(interface.number);
  if (result != UsbError::None) {
    *error = win32Error(result);
    return nullptr;
  }
  if (where != nullptr) {
    id.bus = where->bus;
    id.address = where->address;
  }
  unsigned char info[kInformationBytes] = {};
  storeLe16(info + kInfoVendorOffset, id.vendor);
  storeLe16(info + kInfoProductOffset, id.product);
  info[kInfoBusOffset] = id.bus;
  info[kInfoAddressOffset] = id.address;
  storeLe32(info + kModuleTypeOffset,
            listed(listedIds(), id.vendor, id.product) ? kModuleTypeVkm470 : 0);
  try {
    *error = os::kErrorSuccess;
    return std::make_unique<UsbDevice>(std::move(use), std::move(handle), interface, info);
  } catch (const std::bad_alloc&) {
    handle->release(interface.number);
    *error = os::kErrorNotEnoughMemory;
    return nullptr;
  }
}

}  // namespace

UsbModules::UsbModules(std::shared_ptr<UsbBackend> backend)
    : bus_(std::make_shared<UsbBus>(std::move(backend))) {}

UsbModules::~UsbModules() = default;

bool UsbModules::openNumber(const std::string& name, std::unique_ptr<os::hosted::Device>* device,
                            Dword* error) {
  const int number = deviceNumber(name);
  if (number < 0) return false;
  const IdList ids = listedIds();
  // No list, no bus: nothing is enumerated or opened.
  if (ids.empty()) return false;
  if (bus_->acquire() != UsbError::None) return false;
  BusUse use(bus_);
  std::vector<UsbDeviceId> found;
  if (bus_->backend().list(&found) != UsbError::None) return false;
  found.erase(
      std::remove_if(found.begin(), found.end(),
                     [&](const UsbDeviceId& id) { return !listed(ids, id.vendor, id.product); }),
      found.end());
  if (static_cast<std::size_t>(number) >= found.size()) return false;
  std::sort(found.begin(), found.end(), [](const UsbDeviceId& a, const UsbDeviceId& b) {
    return std::make_pair(a.bus, a.address) < std::make_pair(b.bus, b.address);
  });
  std::unique_ptr<UsbHandle> handle;
  const UsbError opened = bus_->backend().open(found[number], &handle);
  if (opened != UsbError::None) {
    *error = win32Error(opened);
    return true;
  }
  *device = finishOpen(use, handle, nullptr, error);
  return true;
}

void UsbModules::openNode(const std::string& path, const UsbDeviceId& where,
                          std::unique_ptr<os::hosted::Device>* device, Dword* error) {
  const UsbError used = bus_->acquire();
  if (used != UsbError::None) {
    *error = win32Error(used);
    return;
  }
  BusUse use(bus_);
  std::unique_ptr<UsbHandle> handle;
  const UsbError opened = bus_->backend().openNode(path, &handle);
  if (opened != UsbError::None) {
    *error = win32Error(opened);
    return;
  }
  *device = finishOpen(use, handle, &where, error);
}

}  // namespace vkm470::drivers
