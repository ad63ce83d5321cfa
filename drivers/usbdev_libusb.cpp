// SPDX-License-Identifier: MIT
// The USB driver's backend on libusb-1.0: one context for the driver's bus,
// asynchronous transfers with no time-out of their own (the channel above
// bounds its waits and cancels).
#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

#include "usbdev.h"

namespace vkm470::drivers {
namespace {

UsbError usbError(int result) {
  switch (result) {
    case LIBUSB_SUCCESS:
      return UsbError::None;
    case LIBUSB_ERROR_ACCESS:
      return UsbError::Access;
    case LIBUSB_ERROR_NO_DEVICE:
      return UsbError::NoDevice;
    case LIBUSB_ERROR_NOT_FOUND:
      return UsbError::NotFound;
    case LIBUSB_ERROR_BUSY:
      return UsbError::Busy;
    default:
      return UsbError::Other;
  }
}

UsbStatus usbStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return UsbStatus::Completed;
    case LIBUSB_TRANSFER_CANCELLED:
      return UsbStatus::Cancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return UsbStatus::NoDevice;
    default:
      return UsbStatus::Failed;
  }
}

class LibusbTransfer final : public UsbTransfer {
 public:
  LibusbTransfer() : transfer_(libusb_alloc_transfer(0)) {
    if (transfer_ == nullptr) throw std::bad_alloc();
  }
  ~LibusbTransfer() override { libusb_free_transfer(transfer_); }

  int submit(libusb_device_handle* handle) {
    if (type == Type::Control) {
      // libusb wants the setup packet in front of the data stage. The buffer
      // grows to the largest stage seen and is kept.
      if (setup_.size() < LIBUSB_CONTROL_SETUP_SIZE + length) {
        setup_.resize(LIBUSB_CONTROL_SETUP_SIZE + length);
      }
      libusb_fill_control_setup(setup_.data(), requestType, request, value, index,
                                static_cast<std::uint16_t>(length));
      if ((requestType & LIBUSB_ENDPOINT_IN) == 0 && length != 0) {
        std::memcpy(setup_.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
      }
      libusb_fill_control_transfer(transfer_, handle, setup_.data(), &LibusbTransfer::finished,
                                   this, 0);
    } else {
      libusb_fill_bulk_transfer(transfer_, handle, endpoint, data, static_cast<int>(length),
                                &LibusbTransfer::finished, this, 0);
    }
    return libusb_submit_transfer(transfer_);
  }

  void cancel() { libusb_cancel_transfer(transfer_); }

 private:
  static void LIBUSB_CALL finished(libusb_transfer* transfer) {
    auto& self = *static_cast<LibusbTransfer*>(transfer->user_data);
    const auto actual = static_cast<std::uint32_t>(transfer->actual_length);
    if (self.type == Type::Control && (self.requestType & LIBUSB_ENDPOINT_IN) != 0 && actual != 0) {
      std::memcpy(self.data, self.setup_.data() + LIBUSB_CONTROL_SETUP_SIZE, actual);
    }
    self.done(self, usbStatus(transfer->status), actual);
  }

  libusb_transfer* transfer_;
  std::vector<unsigned char> setup_;
};

class LibusbHandle final : public UsbHandle {
 public:
  LibusbHandle(libusb_device_handle* handle, int fd) : handle_(handle), fd_(fd) {}
  ~LibusbHandle() override {
    libusb_close(handle_);
    if (fd_ >= 0) ::close(fd_);
  }

  UsbError describe(UsbDeviceId* id, UsbInterface* interface) override {
    libusb_device* device = libusb_get_device(handle_);
    libusb_device_descriptor descriptor;
    int result = libusb_get_device_descriptor(device, &descriptor);
    if (result != LIBUSB_SUCCESS) return usbError(result);
    id->vendor = descriptor.idVendor;
    id->product = descriptor.idProduct;
    id->bus = libusb_get_bus_number(device);
    id->address = libusb_get_device_address(device);
    libusb_config_descriptor* config = nullptr;
    result = libusb_get_active_config_descriptor(device, &config);
    if (result != LIBUSB_SUCCESS) return usbError(result);
    UsbError error = UsbError::None;
    if (config->bNumInterfaces == 0 || config->interface[0].num_altsetting == 0) {
      error = UsbError::NotFound;
    } else {
      const libusb_interface_descriptor& first = config->interface[0].altsetting[0];
      interface->number = first.bInterfaceNumber;
      interface->bulkIn = 0;
      interface->bulkOut = 0;
      for (int i = 0; i < first.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& endpoint = first.endpoint[i];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
          continue;
        }
        std::uint8_t& slot = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0
                                 ? interface->bulkIn
                                 : interface->bulkOut;
        if (slot == 0) slot = endpoint.bEndpointAddress;
      }
    }
    libusb_free_config_descriptor(config);
    return error;
  }

  UsbError claim(int interface) override {
    return usbError(libusb_claim_interface(handle_, interface));
  }

  void release(int interface) override { libusb_release_interface(handle_, interface); }

  std::unique_ptr<UsbTransfer> newTransfer() override { return std::make_unique<LibusbTransfer>(); }

  UsbError submit(UsbTransfer& transfer) override {
    return usbError(static_cast<LibusbTransfer&>(transfer).submit(handle_));
  }

  void cancel(UsbTransfer& transfer) override { static_cast<LibusbTransfer&>(transfer).cancel(); }

 private:
  libusb_device_handle* handle_;
  int fd_;  // a usbfs node opened by name, or -1
};

class LibusbBackend final : public UsbBackend {
 public:
  UsbError start() override { return usbError(libusb_init(&context_)); }

  void stop() override {
    libusb_exit(context_);
    context_ = nullptr;
  }

  void handleEvents() override { libusb_handle_events(context_); }

  void interrupt() override { libusb_interrupt_event_handler(context_); }

  UsbError list(std::vector<UsbDeviceId>* devices) override {
    libusb_device** all = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &all);
    if (count < 0) return usbError(static_cast<int>(count));
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor;
      if (libusb_get_device_descriptor(all[i], &descriptor) != LIBUSB_SUCCESS) continue;
      UsbDeviceId id;
      id.vendor = descriptor.idVendor;
      id.product = descriptor.idProduct;
      id.bus = libusb_get_bus_number(all[i]);
      id.address = libusb_get_device_address(all[i]);
      devices->push_back(id);
    }
    libusb_free_device_list(all, 1);
    return UsbError::None;
  }

  UsbError open(const UsbDeviceId& device, std::unique_ptr<UsbHandle>* handle) override {
    libusb_device** all = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &all);
    if (count < 0) return usbError(static_cast<int>(count));
    int result = LIBUSB_ERROR_NO_DEVICE;
    libusb_device_handle* opened = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
      if (libusb_get_bus_number(all[i]) == device.bus &&
          libusb_get_device_address(all[i]) == device.address) {
        result = libusb_open(all[i], &opened);
        break;
      }
    }
    libusb_free_device_list(all, 1);
    if (result != LIBUSB_SUCCESS) return usbError(result);
    return adopt(opened, -1, handle);
  }

  UsbError openNode(const std::string& path, std::unique_ptr<UsbHandle>* handle) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      switch (errno) {
        case EACCES:
        case EPERM:
          return UsbError::Access;
        case ENOENT:
        case ENODEV:
        case ENXIO:
          return UsbError::NotFound;
        default:
          return UsbError::Other;
      }
    }
    libusb_device_handle* opened = nullptr;
    const int result = libusb_wrap_sys_device(context_, fd, &opened);
    if (result != LIBUSB_SUCCESS) {
      ::close(fd);
      return usbError(result);
    }
    return adopt(opened, fd, handle);
  }

 private:
  static UsbError adopt(libusb_device_handle* opened, int fd, std::unique_ptr<UsbHandle>* handle) {
    try {
      *handle = std::make_unique<LibusbHandle>(opened, fd);
      return UsbError::None;
    } catch (const std::bad_alloc&) {
      libusb_close(opened);
      if (fd >= 0) ::close(fd);
      return UsbError::Other;
    }
  }

  libusb_context* context_ = nullptr;
};

}  // namespace

std::shared_ptr<UsbBackend> libusbBackend() { return std::make_shared<LibusbBackend>(); }

}  // namespace vkm470::drivers
