// User-space driver for real modules on USB under Linux, on libusb: serves the
// module driver's control request and information query, and bulk reads and
// writes, on the first interface of a module whose IDs the user lists.
//
// Request 0x22003E is a vendor control transfer to the device (IN when the
// record's direction is 1) with the record's request, value and index and a
// data stage of the request's output length; a request code above 0xFF or a
// stage above 65535 bytes, which a setup packet cannot carry, is refused with
// ERROR_INVALID_PARAMETER and nothing is sent. Request 0x22005E answers the
// 80-byte information block (kInfo* below). Reads and writes are bulk transfers
// on the interface's first bulk IN and OUT endpoints, any length, any number in
// flight; a short read completes with the bytes received.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hosted.h"

namespace vkm470::drivers {

// The information block: little-endian fields at these offsets, zero bytes
// elsewhere. The type is the module type for a device whose IDs are listed,
// 0 for another one opened through a device-directory link.
constexpr std::uint32_t kInfoBytes = 80;
constexpr std::uint32_t kInfoVendorOffset = 0;   // u16 vendor ID
constexpr std::uint32_t kInfoProductOffset = 2;  // u16 product ID
constexpr std::uint32_t kInfoBusOffset = 4;      // u8 bus number
constexpr std::uint32_t kInfoAddressOffset = 5;  // u8 device address on the bus
constexpr std::uint32_t kInfoTypeOffset = 36;    // u32 module type
constexpr std::uint32_t kInfoModuleType = 41;

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

// libusb-1.0.
std::shared_ptr<UsbBackend> libusbBackend();

// Real modules on USB as a source of devices: QDevN with no device-directory
// entry is the N-th device (from 0, in bus and address order) whose IDs are in
// $VKM470_USB_IDS, and none without that list; a device-directory entry QDevN
// may link to a usbfs node instead. Open claims the interface exclusively (a
// second opener gets 32); lack of permission gives 5. The event-handling thread
// runs from the first open of the backend to the close of its last device.
std::shared_ptr<os::hosted::Resolver> usbResolver();
std::shared_ptr<os::hosted::Resolver> usbResolver(std::shared_ptr<UsbBackend> backend);

}  // namespace vkm470::drivers
