// SPDX-License-Identifier: MIT
// User-space driver for real modules on USB: serves the module driver's
// control request and information query, and bulk reads and writes, on the
// first interface of a module whose IDs the user lists. The request decoding
// below is the same on every system; a UsbBackend carries the transfers (libusb
// under Linux, WinUSB under Windows).
//
// Request 0x22003E is a vendor control transfer to the device (IN when the
// record's direction is 1) with the record's request, value and index and a
// data stage of the request's output length; a request code above 0xFF or a
// stage above 65535 bytes, which a setup packet cannot carry, is refused with
// ERROR_INVALID_PARAMETER and nothing is sent. Request 0x22005E answers the
// 80-byte information block (usb/driver_protocol.h). Reads and writes are bulk
// transfers on the interface's first bulk IN and OUT endpoints, any length, any
// number in flight; a short read completes with the bytes received.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hosted.h"
#include "usb/driver_protocol.h"

namespace vkm470::drivers {

// The information block's fields as this driver fills them in. The type is the
// module type for a device whose IDs are listed, 0 for another one opened
// through a device-directory link.
using usb::kInfoAddressOffset;
using usb::kInfoBusOffset;
using usb::kInfoProductOffset;
using usb::kInformationBytes;
using usb::kInfoVendorOffset;
using usb::kModuleTypeOffset;
using usb::kModuleTypeVkm470;

// Win32 code of a request on a device that has left the bus.
constexpr os::Dword kErrorDeviceNotConnected = 1167;

// The environment variable that lists the devices served: "vvvv:pppp" pairs of
// hexadecimal vendor and product IDs, separated by commas.
constexpr char kUsbIdsVariable[] = "VKM470_USB_IDS";

struct UsbDeviceId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint8_t bus = 0;
  std::uint8_t address = 0;
};

// What the driver uses of an open device: the first interface of its active
// configuration and that interface's first bulk endpoints (0 when it has none).
struct UsbInterface {
  int number = 0;
  std::uint8_t bulkIn = 0;
  std::uint8_t bulkOut = 0;
};

enum class UsbError { None, Access, NoDevice, NotFound, Busy, Other };
enum class UsbStatus { Completed, Cancelled, NoDevice, Failed };

// One transfer of a device's pool, reused from request to request. The driver
// fills it in and submits it; the backend calls done exactly once for each
// accepted submit, from the event-handling thread, when the bus has finished
// with the buffer.
class UsbTransfer {
 public:
  virtual ~UsbTransfer() = default;
  enum class Type { Control, Bulk };
  Type type = Type::Bulk;
  std::uint8_t endpoint = 0;     // bulk: the endpoint address, IN with bit 7
  std::uint8_t requestType = 0;  // control: the setup packet's fields
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  unsigned char* data = nullptr;  // the data stage, or the bulk buffer
  std::uint32_t length = 0;
  void (*done)(UsbTransfer& transfer, UsbStatus status, std::uint32_t actual) = nullptr;
  void* owner = nullptr;  // the driver's
};

// An open device; destroying it closes it.
class UsbHandle {
 public:
  virtual ~UsbHandle() = default;
  virtual UsbError describe(UsbDeviceId* id, UsbInterface* interface) = 0;
  virtual UsbError claim(int interface) = 0;
  virtual void release(int interface) = 0;
  virtual std::unique_ptr<UsbTransfer> newTransfer() = 0;
  virtual UsbError submit(UsbTransfer& transfer) = 0;
  // Asks the bus to end the transfer early; its done call still follows.
  virtual void cancel(UsbTransfer& transfer) = 0;
};

// The calls the driver makes into libusb, behind an interface so that tests can
// stand in for the bus. start comes before every other call and stop after
// the last; handleEvents runs on the one event-handling thread.
class UsbBackend {
 public:
  virtual ~UsbBackend() = default;
  virtual UsbError start() = 0;
  virtual void stop() = 0;
  // Handles the events that are ready, waiting for some; returns soon after
  // interrupt.
  virtual void handleEvents() = 0;
  virtual void interrupt() = 0;
  virtual UsbError list(std::vector<UsbDeviceId>* devices) = 0;
  virtual UsbError open(const UsbDeviceId& device, std::unique_ptr<UsbHandle>* handle) = 0;
  // Opens a usbfs node (/dev/bus/usb/BBB/DDD) and hands it to libusb.
  virtual UsbError openNode(const std::string& path, std::unique_ptr<UsbHandle>* handle) = 0;
};

// libusb-1.0 (not on Windows).
std::shared_ptr<UsbBackend> libusbBackend();

// QDevN, in any case, N from 0 to 255 written as the channel writes it; -1 for
// another name.
int deviceNumber(const std::string& name);

class UsbBus;

// The modules that one backend reaches, numbered from 0 in bus and address
// order among the devices whose IDs are in $VKM470_USB_IDS (none without that
// list). Open claims the interface exclusively (a second opener gets 32); lack
// of permission gives 5, a module not there 2. The backend's event-handling
// thread runs from the first open to the close of the last device.
class UsbModules {
 public:
  explicit UsbModules(std::shared_ptr<UsbBackend> backend);
  ~UsbModules();
  // QDevN: the N-th module. False when the name is not of that form or no such
  // module is there (the name is left to others); true when served, with
  // *device the open device, or null and *error set.
  bool openNumber(const std::string& name, std::unique_ptr<os::hosted::Device>* device,
                  os::Dword* error);
  // A device node that the backend opens by its path, found at bus and address
  // where; the module type says whether its IDs are listed.
  void openNode(const std::string& path, const UsbDeviceId& where,
                std::unique_ptr<os::hosted::Device>* device, os::Dword* error);

 private:
  std::shared_ptr<UsbBus> bus_;
};

// Real modules on USB as a source of devices of the hosted seam: QDevN with no
// device-directory entry is the N-th module (UsbModules); a device-directory
// entry QDevN may link to a usbfs node instead.
std::shared_ptr<os::hosted::Resolver> usbResolver();
std::shared_ptr<os::hosted::Resolver> usbResolver(std::shared_ptr<UsbBackend> backend);

}  // namespace vkm470::drivers
