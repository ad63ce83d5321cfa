// SPDX-License-Identifier: MIT
#include "standin.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

// The firmware model keeps time on the seam's clock; under the win32 seam
// that is the system's.
namespace vkm470::os::hosted {
std::uint64_t nowMicroseconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<std::uint64_t>(now.QuadPart / frequency.QuadPart * 1000000 +
                                    now.QuadPart % frequency.QuadPart * 1000000 /
                                        frequency.QuadPart);
}
}  // namespace vkm470::os::hosted

namespace standin {
namespace {

using vkm470::os::Dword;
using vkm470::os::hosted::RequestKind;

constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusFromWin32 = 0xC0070000u;
constexpr UCHAR kPipeIn = 0x81;
constexpr UCHAR kPipeOut = 0x02;

struct File;

class Req final : public vkm470::os::hosted::Request {
 public:
  Req(File* file, RequestKind kind, Dword code, const void* input, Dword inputSize, void* output,
      Dword outputSize, OVERLAPPED* overlapped, UCHAR pipe)
      : file(file),
        kind_(kind),
        code_(code),
        input_(input != nullptr ? input : record),
        inputSize_(inputSize),
        output_(output),
        outputSize_(outputSize),
        overlapped(overlapped),
        pipe(pipe) {}
  RequestKind kind() const override { return kind_; }
  Dword code() const override { return code_; }
  const void* input() const override { return input_; }
  Dword inputSize() const override { return inputSize_; }
  void* output() override { return output_; }
  Dword outputSize() const override { return outputSize_; }
  void complete(Dword status, Dword bytes) override;

  File* file;
  unsigned char record[8] = {};
  bool done = false;  // under the file's lock

 private:
  RequestKind kind_;
  Dword code_;
  const void* input_;
  Dword inputSize_;
  void* output_;
  Dword outputSize_;

 public:
  OVERLAPPED* overlapped;
  UCHAR pipe;
};

struct File {
  std::shared_ptr<Module> module;
  HANDLE port = nullptr;
  ULONG_PTR key = 0;
  std::mutex lock;
  std::map<OVERLAPPED*, std::shared_ptr<Req>> live;
  std::unique_ptr<vkm470::os::hosted::Device> device;  // after live: goes first
};

void Req::complete(Dword status, Dword bytes) {
  std::shared_ptr<Req> self;  // released last
  HANDLE port;
  ULONG_PTR key;
  OVERLAPPED* record = overlapped;
  {
    std::lock_guard<std::mutex> lock(file->lock);
    if (done) return;
    done = true;
    record->InternalHigh = bytes;
    record->Internal = status == 0 ? 0 : (kStatusFromWin32 | status);
    port = file->port;
    key = file->key;
    auto it = file->live.find(record);
    if (it != file->live.end()) {
      self = std::move(it->second);
      file->live.erase(it);
    }
  }
  if (port != nullptr) {
    ::PostQueuedCompletionStatus(port, bytes, key, record);
  } else if (record->hEvent != nullptr) {
    ::SetEvent(record->hEvent);
  }
}

struct State {
  std::mutex lock;
  std::vector<std::shared_ptr<Module>> modules;
  std::map<HANDLE, std::shared_ptr<File>> files;
};

State& state() {
  static State* s = new State;
  return *s;
}

std::shared_ptr<File> fileOf(HANDLE handle) {
  std::lock_guard<std::mutex> lock(state().lock);
  auto it = state().files.find(handle);
  return it == state().files.end() ? nullptr : it->second;
}

File* usbOf(WINUSB_INTERFACE_HANDLE usb) { return static_cast<File*>(usb); }

// ---- SetupAPI

struct Snapshot {
  std::vector<std::shared_ptr<Module>> present;
};

HDEVINFO WINAPI getClassDevs(const GUID* guid, PCSTR, HWND, DWORD) {
  auto* snapshot = new Snapshot;
  if (guid != nullptr && IsEqualGUID(*guid, vkm470::drivers::kUsbDeviceInterface)) {
    std::lock_guard<std::mutex> lock(state().lock);
    for (auto& module : state().modules) {
      if (module->present) snapshot->present.push_back(module);
    }
  }
  return reinterpret_cast<HDEVINFO>(snapshot);
}

BOOL WINAPI enumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                           PSP_DEVICE_INTERFACE_DATA data) {
  auto* snapshot = reinterpret_cast<Snapshot*>(set);
  if (index >= snapshot->present.size()) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI interfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                            PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                            PSP_DEVINFO_DATA info) {
  auto* snapshot = reinterpret_cast<Snapshot*>(set);
  const std::string& path = snapshot->present.at(data->Reserved)->path;
  const DWORD need =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (required != nullptr) *required = need;
  if (detail == nullptr || size < need) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (info != nullptr) info->Reserved = data->Reserved;
  return TRUE;
}

BOOL WINAPI registryProperty(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property, PDWORD,
                             PBYTE buffer, DWORD size, PDWORD) {
  auto* snapshot = reinterpret_cast<Snapshot*>(set);
  const Module& module = *snapshot->present.at(info->Reserved);
  if (property != SPDRP_LOCATION_INFORMATION) {
    ::SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  std::snprintf(reinterpret_cast<char*>(buffer), size, "Port_#%04u.Hub_#%04u", module.port,
                module.hub);
  return TRUE;
}

BOOL WINAPI destroyList(HDEVINFO set) {
  delete reinterpret_cast<Snapshot*>(set);
  return TRUE;
}

// ---- files

HANDLE WINAPI createFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                         DWORD, HANDLE) {
  std::shared_ptr<Module> module;
  {
    std::lock_guard<std::mutex> lock(state().lock);
    for (auto& m : state().modules) {
      if (m->present && m->path == path) module = m;
    }
  }
  if (!module) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Dword error = 0;
  auto device = module->usb->open(access, share, &error);
  if (!device) {
    // WinUSB refuses a second handle with access denied.
    ::SetLastError(error == ERROR_SHARING_VIOLATION ? ERROR_ACCESS_DENIED : error);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<File>();
  file->module = module;
  file->device = std::move(device);
  HANDLE token = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::lock_guard<std::mutex> lock(state().lock);
  state().files[token] = std::move(file);
  return token;
}

BOOL WINAPI closeHandle(HANDLE handle) {
  std::shared_ptr<File> file;
  {
    std::lock_guard<std::mutex> lock(state().lock);
    auto it = state().files.find(handle);
    if (it != state().files.end()) {
      file = std::move(it->second);
      state().files.erase(it);
    }
  }
  return ::CloseHandle(handle);
}

HANDLE WINAPI createPort(HANDLE handle, HANDLE existing, ULONG_PTR key, DWORD threads) {
  if (handle == INVALID_HANDLE_VALUE)
    return ::CreateIoCompletionPort(handle, existing, key, threads);
  auto file = fileOf(handle);
  if (!file) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(file->lock);
  file->port = existing;
  file->key = key;
  return existing;
}

BOOL WINAPI overlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL) {
  if (overlapped->Internal == kStatusPending) {
    ::SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  *bytes = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != 0) {
    ::SetLastError(static_cast<DWORD>(overlapped->Internal & 0xFFFF));
    return FALSE;
  }
  return TRUE;
}

void cancel(File& file, const std::shared_ptr<Req>& request) {
  file.device->cancel(*request);
  request->complete(ERROR_OPERATION_ABORTED, 0);
}

BOOL WINAPI cancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  auto file = fileOf(handle);
  std::shared_ptr<Req> request;
  if (file) {
    std::lock_guard<std::mutex> lock(file->lock);
    auto it = file->live.find(overlapped);
    if (it != file->live.end()) request = it->second;
  }
  if (!request) {
    ::SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  cancel(*file, request);
  return TRUE;
}

// ---- WinUSB

BOOL WINAPI initialize(HANDLE handle, PWINUSB_INTERFACE_HANDLE usb) {
  auto file = fileOf(handle);
  if (!file || !file->module->winusb) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  *usb = file.get();
  return TRUE;
}

BOOL WINAPI freeUsb(WINUSB_INTERFACE_HANDLE) { return TRUE; }

BOOL WINAPI getDescriptor(WINUSB_INTERFACE_HANDLE usb, UCHAR type, UCHAR, USHORT, PUCHAR buffer,
                          ULONG length, PULONG got) {
  const Module& module = *usbOf(usb)->module;
  unsigned char descriptor[18] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64};
  descriptor[8] = static_cast<unsigned char>(module.vendor);
  descriptor[9] = static_cast<unsigned char>(module.vendor >> 8);
  descriptor[10] = static_cast<unsigned char>(module.product);
  descriptor[11] = static_cast<unsigned char>(module.product >> 8);
  descriptor[17] = 1;
  if (type != 1) {
    ::SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  *got = std::min<ULONG>(length, sizeof descriptor);
  std::memcpy(buffer, descriptor, *got);
  return TRUE;
}

BOOL WINAPI interfaceSettings(WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR settings) {
  *settings = USB_INTERFACE_DESCRIPTOR{};
  settings->bLength = sizeof *settings;
  settings->bDescriptorType = 4;
  settings->bInterfaceNumber = 0;
  settings->bNumEndpoints = 2;
  settings->bInterfaceClass = 0xFF;
  return TRUE;
}

BOOL WINAPI queryPipe(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR index, PWINUSB_PIPE_INFORMATION pipe) {
  if (index > 1) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  pipe->PipeType = UsbdPipeTypeBulk;
  pipe->PipeId = index == 0 ? kPipeIn : kPipeOut;
  pipe->MaximumPacketSize = 512;
  pipe->Interval = 0;
  return TRUE;
}

BOOL submit(File& file, std::shared_ptr<Req> request) {
  request->overlapped->Internal = kStatusPending;
  request->overlapped->InternalHigh = 0;
  {
    std::lock_guard<std::mutex> lock(file.lock);
    file.live[request->overlapped] = request;
  }
  file.device->submit(*request);
  ::SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI controlTransfer(WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                            ULONG length, PULONG, LPOVERLAPPED overlapped) {
  File& file = *usbOf(usb);
  if ((setup.RequestType & 0x7F) != 0x40 || setup.Length != length) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The 8-byte record the module driver takes, made from the setup packet.
  auto request =
      std::make_shared<Req>(&file, RequestKind::IoControl, vkm470::sim::UsbModule::kControl,
                            nullptr, 8, buffer, length, overlapped, 0);
  const std::uint16_t fields[4] = {static_cast<std::uint16_t>((setup.RequestType & 0x80) ? 1 : 0),
                                   setup.Request, setup.Value, setup.Index};
  for (int i = 0; i < 4; ++i) {
    request->record[2 * i] = static_cast<unsigned char>(fields[i]);
    request->record[2 * i + 1] = static_cast<unsigned char>(fields[i] >> 8);
  }
  return submit(file, std::move(request));
}

BOOL WINAPI readPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG,
                     LPOVERLAPPED overlapped) {
  File& file = *usbOf(usb);
  if (pipe != kPipeIn) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return submit(file, std::make_shared<Req>(&file, RequestKind::Read, 0, nullptr, 0, buffer, length,
                                            overlapped, pipe));
}

BOOL WINAPI writePipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG,
                      LPOVERLAPPED overlapped) {
  File& file = *usbOf(usb);
  if (pipe != kPipeOut) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return submit(file, std::make_shared<Req>(&file, RequestKind::Write, 0, buffer, length, nullptr,
                                            0, overlapped, pipe));
}

BOOL WINAPI abortPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe) {
  File& file = *usbOf(usb);
  std::vector<std::shared_ptr<Req>> pending;
  {
    std::lock_guard<std::mutex> lock(file.lock);
    for (auto& [record, request] : file.live) {
      if (request->pipe == pipe) pending.push_back(request);
    }
  }
  for (auto& request : pending) cancel(file, request);
  return TRUE;
}

}  // namespace

void reset() {
  std::lock_guard<std::mutex> lock(state().lock);
  for (auto& module : state().modules) module->present = false;
  state().modules.clear();
}

std::shared_ptr<Module> plug(std::uint16_t vendor, std::uint16_t product, unsigned hub,
                             unsigned port) {
  auto module = std::make_shared<Module>();
  module->chip = std::make_shared<vkm470::sim::DataFlash>();
  module->chip->setProgramTime([] { return 0u; });
  module->usb = std::make_shared<vkm470::sim::UsbModule>(module->chip);
  module->vendor = vendor;
  module->product = product;
  module->hub = hub;
  module->port = port;
  char path[128];
  std::snprintf(path, sizeof path,
                "\\\\?\\usb#vid_%04x&pid_%04x#%u&%u#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", vendor,
                product, hub, port);
  module->path = path;
  std::lock_guard<std::mutex> lock(state().lock);
  state().modules.push_back(module);
  return module;
}

std::size_t pendingTransfers() {
  std::vector<std::shared_ptr<File>> files;
  {
    std::lock_guard<std::mutex> lock(state().lock);
    for (auto& [handle, file] : state().files) files.push_back(file);
  }
  std::size_t count = 0;
  for (auto& file : files) {
    std::lock_guard<std::mutex> lock(file->lock);
    count += file->live.size();
  }
  return count;
}

void unplug(Module& module) {
  {
    std::lock_guard<std::mutex> lock(state().lock);
    module.present = false;
  }
  module.usb->setFault(vkm470::sim::UsbModule::Fault::Unplugged);
}

const vkm470::drivers::WinUsbCalls& calls() {
  static const vkm470::drivers::WinUsbCalls table = {
      getClassDevs,
      enumInterfaces,
      interfaceDetail,
      registryProperty,
      destroyList,
      createFile,
      closeHandle,
      initialize,
      freeUsb,
      getDescriptor,
      interfaceSettings,
      queryPipe,
      controlTransfer,
      readPipe,
      writePipe,
      abortPipe,
      cancelIoEx,
      overlappedResult,
      createPort,
      ::GetQueuedCompletionStatus,
      ::PostQueuedCompletionStatus,
  };
  return table;
}

}  // namespace standin
