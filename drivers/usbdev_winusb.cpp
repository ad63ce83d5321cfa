// SPDX-License-Identifier: MIT
// The USB driver's backend on WinUSB: one I/O completion port for the
// driver's bus, overlapped transfers with no time-out of their own (the
// channel above bounds its waits and cancels).
#include "usbdev_winusb.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "vkm470_byte_order.h"

namespace vkm470::drivers {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
const GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

const WinUsbCalls& systemWinUsbCalls() {
  static const WinUsbCalls calls = {
      ::SetupDiGetClassDevsA,
      ::SetupDiEnumDeviceInterfaces,
      ::SetupDiGetDeviceInterfaceDetailA,
      ::SetupDiGetDeviceRegistryPropertyA,
      ::SetupDiDestroyDeviceInfoList,
      ::CreateFileA,
      ::CloseHandle,
      ::WinUsb_Initialize,
      ::WinUsb_Free,
      ::WinUsb_GetDescriptor,
      ::WinUsb_QueryInterfaceSettings,
      ::WinUsb_QueryPipe,
      ::WinUsb_ControlTransfer,
      ::WinUsb_ReadPipe,
      ::WinUsb_WritePipe,
      ::WinUsb_AbortPipe,
      ::CancelIoEx,
      ::GetOverlappedResult,
      ::CreateIoCompletionPort,
      ::GetQueuedCompletionStatus,
      ::PostQueuedCompletionStatus,
  };
  return calls;
}

namespace {

constexpr UCHAR kDeviceDescriptorType = 1;
constexpr std::size_t kDeviceDescriptorBytes = 18;
constexpr DWORD kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE

// What WinUSB and the system report for a module that has left the bus: the
// device is gone, and so is its interface.
bool deviceGone(DWORD error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

UsbStatus statusOf(DWORD error) {
  if (error == ERROR_SUCCESS) return UsbStatus::Completed;
  if (error == ERROR_OPERATION_ABORTED) return UsbStatus::Cancelled;
  if (deviceGone(error)) return UsbStatus::NoDevice;
  return UsbStatus::Failed;
}

// One present device of the USB device interface.
struct Present {
  UsbDeviceId id;
  std::string path;
};

// "vid_1234&pid_abcd" in a device interface path, in any case.
bool parseIds(const std::string& path, std::uint16_t* vendor, std::uint16_t* product) {
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = lower.find("vid_");
  if (at == std::string::npos || lower.compare(at + 8, 5, "&pid_") != 0) return false;
  unsigned v = 0, p = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const char a = lower[at + 4 + i], b = lower[at + 13 + i];
    if (!std::isxdigit(static_cast<unsigned char>(a)) ||
        !std::isxdigit(static_cast<unsigned char>(b))) {
      return false;
    }
    v = v * 16 +
        static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(a)) ? a - '0' : a - 'a' + 10);
    p = p * 16 +
        static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(b)) ? b - '0' : b - 'a' + 10);
  }
  *vendor = static_cast<std::uint16_t>(v);
  *product = static_cast<std::uint16_t>(p);
  return true;
}

// "Port_#0002.Hub_#0001": the hub and the port on it.
bool parseLocation(const char* text, std::uint8_t* hub, std::uint8_t* port) {
  unsigned p = 0, h = 0;
  char end = 0;
  if (std::sscanf(text, "Port_#%4u.Hub_#%4u%c", &p, &h, &end) != 2 || p > 255 || h > 255) {
    return false;
  }
  *hub = static_cast<std::uint8_t>(h);
  *port = static_cast<std::uint8_t>(p);
  return true;
}

// The present devices in enumeration order. One without a location is put
// on bus 0, after those with one, so that each has its own place.
std::vector<Present> enumerate(const WinUsbCalls& calls) {
  std::vector<Present> found;
  HDEVINFO set = calls.SetupDiGetClassDevsA(&kUsbDeviceInterface, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return found;
  std::uint8_t unplaced = 0;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!calls.SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, i, &data)) break;
    DWORD size = 0;
    calls.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<unsigned char> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!calls.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, &info)) continue;
    Present device;
    device.path = detail->DevicePath;
    if (!parseIds(device.path, &device.id.vendor, &device.id.product)) continue;
    char location[128] = {};
    if (!calls.SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_LOCATION_INFORMATION, nullptr,
                                                 reinterpret_cast<BYTE*>(location),
                                                 sizeof location - 1, nullptr) ||
        !parseLocation(location, &device.id.bus, &device.id.address)) {
      device.id.bus = 0;
      device.id.address = ++unplaced;
    }
    found.push_back(std::move(device));
  }
  calls.SetupDiDestroyDeviceInfoList(set);
  return found;
}

class WinUsbTransfer;

// The record of a transfer, with the way back from it.
struct Completion {
  OVERLAPPED overlapped;
  WinUsbTransfer* transfer;
};

class WinUsbTransfer final : public UsbTransfer {
 public:
  WinUsbTransfer() : completion{OVERLAPPED{}, this} {}
  Completion completion;
};

WinUsbTransfer& transferOf(OVERLAPPED* overlapped) {
  // The record is the first member of its standard-layout Completion.
  return *reinterpret_cast<Completion*>(overlapped)->transfer;
}

class WinUsbHandle final : public UsbHandle {
 public:
  WinUsbHandle(const WinUsbCalls& calls, HANDLE file, WINUSB_INTERFACE_HANDLE usb,
               const UsbDeviceId& where)
      : calls_(calls), file_(file), usb_(usb), where_(where) {}

  ~WinUsbHandle() override {
    calls_.WinUsb_Free(usb_);
    calls_.CloseHandle(file_);
  }

  UsbError describe(UsbDeviceId* id, UsbInterface* served) override {
    unsigned char descriptor[kDeviceDescriptorBytes] = {};
    ULONG got = 0;
    if (!calls_.WinUsb_GetDescriptor(usb_, kDeviceDescriptorType, 0, 0, descriptor,
                                     sizeof descriptor, &got) ||
        got < sizeof descriptor) {
      return deviceGone(::GetLastError()) ? UsbError::NoDevice : UsbError::Other;
    }
    *id = where_;
    id->vendor = byte_order::loadLe16(descriptor + 8);
    id->product = byte_order::loadLe16(descriptor + 10);
    USB_INTERFACE_DESCRIPTOR settings{};
    if (!calls_.WinUsb_QueryInterfaceSettings(usb_, 0, &settings)) {
      return deviceGone(::GetLastError()) ? UsbError::NoDevice : UsbError::Other;
    }
    *served = UsbInterface{};
    served->number = settings.bInterfaceNumber;
    for (UCHAR i = 0; i < settings.bNumEndpoints; ++i) {
      WINUSB_PIPE_INFORMATION pipe{};
      if (!calls_.WinUsb_QueryPipe(usb_, 0, i, &pipe) || pipe.PipeType != UsbdPipeTypeBulk) {
        continue;
      }
      std::uint8_t& slot = (pipe.PipeId & 0x80) != 0 ? served->bulkIn : served->bulkOut;
      if (slot == 0) slot = pipe.PipeId;
    }
    in_ = served->bulkIn;
    out_ = served->bulkOut;
    return UsbError::None;
  }

  // WinUsb_Initialize took the first interface with the handle.
  UsbError claim(int) override { return UsbError::None; }

  void release(int) override {
    for (std::uint8_t pipe : {in_, out_}) {
      if (pipe != 0) calls_.WinUsb_AbortPipe(usb_, pipe);
    }
  }

  std::unique_ptr<UsbTransfer> newTransfer() override { return std::make_unique<WinUsbTransfer>(); }

  UsbError submit(UsbTransfer& transfer) override {
    auto& t = static_cast<WinUsbTransfer&>(transfer);
    t.completion.overlapped = OVERLAPPED{};
    BOOL done;
    if (t.type == UsbTransfer::Type::Control) {
      WINUSB_SETUP_PACKET setup{};
      setup.RequestType = t.requestType;
      setup.Request = t.request;
      setup.Value = t.value;
      setup.Index = t.index;
      setup.Length = static_cast<USHORT>(t.length);
      done = calls_.WinUsb_ControlTransfer(usb_, setup, t.data, t.length, nullptr,
                                           &t.completion.overlapped);
    } else if ((t.endpoint & 0x80) != 0) {
      done = calls_.WinUsb_ReadPipe(usb_, t.endpoint, t.data, t.length, nullptr,
                                    &t.completion.overlapped);
    } else {
      done = calls_.WinUsb_WritePipe(usb_, t.endpoint, t.data, t.length, nullptr,
                                     &t.completion.overlapped);
    }
    // Finished at once or not, its completion comes through the port.
    if (done) return UsbError::None;
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) return UsbError::None;
    return deviceGone(error) ? UsbError::NoDevice : UsbError::Other;
  }

  void cancel(UsbTransfer& transfer) override {
    auto& t = static_cast<WinUsbTransfer&>(transfer);
    // Not found: it has finished, and its completion is on its way.
    if (calls_.CancelIoEx(file_, &t.completion.overlapped) || ::GetLastError() == ERROR_NOT_FOUND)
      return;
    if (t.type == UsbTransfer::Type::Bulk) calls_.WinUsb_AbortPipe(usb_, t.endpoint);
  }

  HANDLE file() const { return file_; }

 private:
  const WinUsbCalls& calls_;
  HANDLE file_;
  WINUSB_INTERFACE_HANDLE usb_;
  UsbDeviceId where_;
  std::uint8_t in_ = 0;
  std::uint8_t out_ = 0;
};

class WinUsbBackend final : public UsbBackend {
 public:
  explicit WinUsbBackend(const WinUsbCalls& calls) : calls_(calls) {}

  UsbError start() override {
    port_ = calls_.CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    return port_ != nullptr ? UsbError::None : UsbError::Other;
  }

  void stop() override {
    calls_.CloseHandle(port_);
    port_ = nullptr;
  }

  void handleEvents() override {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    calls_.GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, INFINITE);
    // Without a record: the wake-up of interrupt.
    if (overlapped == nullptr) return;
    WinUsbTransfer& transfer = transferOf(overlapped);
    auto* handle = reinterpret_cast<WinUsbHandle*>(key);
    DWORD moved = 0;
    const DWORD error = calls_.GetOverlappedResult(handle->file(), overlapped, &moved, FALSE)
                            ? ERROR_SUCCESS
                            : ::GetLastError();
    transfer.done(transfer, statusOf(error), moved);
  }

  void interrupt() override { calls_.PostQueuedCompletionStatus(port_, 0, 0, nullptr); }

  UsbError list(std::vector<UsbDeviceId>* devices) override {
    devices->clear();
    for (const Present& device : enumerate(calls_)) devices->push_back(device.id);
    return UsbError::None;
  }

  UsbError open(const UsbDeviceId& device, std::unique_ptr<UsbHandle>* handle) override {
    const std::vector<Present> present = enumerate(calls_);
    auto it = std::find_if(present.begin(), present.end(), [&](const Present& p) {
      return p.id.vendor == device.vendor && p.id.product == device.product &&
             p.id.bus == device.bus && p.id.address == device.address;
    });
    if (it == present.end()) return UsbError::NoDevice;
    HANDLE file =
        calls_.CreateFileA(it->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      switch (::GetLastError()) {
        // WinUSB serves one handle at a time and refuses the next with access
        // denied; no user rights guard a USB device.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
          return UsbError::Busy;
        default:
          return deviceGone(::GetLastError()) ? UsbError::NoDevice : UsbError::Other;
      }
    }
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!calls_.WinUsb_Initialize(file, &usb)) {
      const DWORD error = ::GetLastError();
      calls_.CloseHandle(file);
      // A device that another driver than WinUSB serves.
      return deviceGone(error) ? UsbError::NoDevice : UsbError::Access;
    }
    std::unique_ptr<WinUsbHandle> opened;
    try {
      opened = std::make_unique<WinUsbHandle>(calls_, file, usb, it->id);
    } catch (const std::bad_alloc&) {
      calls_.WinUsb_Free(usb);
      calls_.CloseHandle(file);
      return UsbError::Other;
    }
    if (calls_.CreateIoCompletionPort(file, port_, reinterpret_cast<ULONG_PTR>(opened.get()), 0) ==
        nullptr) {
      return UsbError::Other;
    }
    *handle = std::move(opened);
    return UsbError::None;
  }

  UsbError openNode(const std::string&, std::unique_ptr<UsbHandle>*) override {
    return UsbError::NotFound;
  }

 private:
  const WinUsbCalls& calls_;
  HANDLE port_ = nullptr;
};

}  // namespace

std::shared_ptr<UsbBackend> winusbBackend(const WinUsbCalls& calls) {
  return std::make_shared<WinUsbBackend>(calls);
}

os::win32::DeviceOpener winusbOpener(std::shared_ptr<UsbBackend> backend) {
  auto modules = std::make_shared<UsbModules>(std::move(backend));
  return [modules](const std::string& name, os::Dword, os::Dword,
                   std::unique_ptr<os::hosted::Device>* device,
                   os::Dword* error) { return modules->openNumber(name, device, error); };
}

os::win32::DeviceOpener winusbOpener() {
  // One bus, and so one event-handling thread, for the process.
  static const os::win32::DeviceOpener opener = winusbOpener(winusbBackend(systemWinUsbCalls()));
  return opener;
}

}  // namespace vkm470::drivers
