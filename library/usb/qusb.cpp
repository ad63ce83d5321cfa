// SPDX-License-Identifier: MIT
#include "qusb.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "vkm470_byte_order.h"

namespace vkm470::usb {

namespace {

constexpr os::Dword kCommandTimeoutMs = 1000;
constexpr os::Dword kNameTimeoutMs = 200;

}  // namespace

TQUSB_BASE::TQUSB_BASE()
    : controlMutex(nullptr),
      writeMutex(nullptr),
      readMutex(nullptr),
      device(os::invalidHandle()),
      controlOverlapped(),
      readOverlapped(),
      writeOverlapped(),
      lastError(VKM470F_SUCCESS) {
  controlOverlapped.hEvent = os::CreateEvent(false, false);
  readOverlapped.hEvent = os::CreateEvent(false, false);
  writeOverlapped.hEvent = os::CreateEvent(false, false);
  controlMutex = os::CreateMutex(false);
  writeMutex = os::CreateMutex(false);
  readMutex = os::CreateMutex(false);
}

TQUSB_BASE::~TQUSB_BASE() {
  if (device != os::invalidHandle()) {
    os::CancelIo(device);
    os::CloseHandle(device);
    device = os::invalidHandle();
  }
  for (os::Handle* handle : {&controlOverlapped.hEvent, &readOverlapped.hEvent,
                             &writeOverlapped.hEvent, &controlMutex, &writeMutex, &readMutex}) {
    if (*handle != nullptr) {
      os::CloseHandle(*handle);
      *handle = nullptr;
    }
  }
}

os::Handle TQUSB_BASE::GetHandle() { return device; }

bool TQUSB_BASE::Open(std::uint8_t deviceNumber) {
  if (!Close()) return false;
  char path[18];
  std::snprintf(path, sizeof path, "\\\\.\\QDev%d", int{deviceNumber});
  return OpenByName(path);
}

bool TQUSB_BASE::OpenByName(const char* path) {
  std::int32_t status = VKM470F_SUCCESS;
  if (path == nullptr || *path == '\0') {
    status = VKM470F_ERR_INVALID_ARGUMENT;
  } else if (!Close()) {
    return false;
  } else {
    device = os::CreateFile(path, os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting,
                            os::kFileFlagOverlapped);
    if (device == os::invalidHandle()) status = VKM470F_ERR_OPEN_FAILED;
  }
  lastError = status;
  return status == VKM470F_SUCCESS;
}

bool TQUSB_BASE::Close() {
  std::int32_t status = VKM470F_SUCCESS;
  if (device != os::invalidHandle()) {
    if (!os::CloseHandle(device)) status = VKM470F_ERR_CLOSE_FAILED;
    device = os::invalidHandle();
  }
  lastError = status;
  return status == VKM470F_SUCCESS;
}

// The status is kept in a local until the mutex is about to be released:
// lastError is shared with the other kinds of transfer, which run meanwhile,
// and with the next transfer of this kind, which starts as soon as the mutex
// is free.
std::int32_t TQUSB_BASE::transfer(Kind kind, const QUSB_REQUEST* request, void* data,
                                  std::uint32_t length, std::uint32_t* count,
                                  std::uint32_t timeout) {
  os::Handle mutex = kind == Kind::Control ? controlMutex
                     : kind == Kind::Write ? writeMutex
                                           : readMutex;
  os::Overlapped& overlapped = kind == Kind::Control ? controlOverlapped
                               : kind == Kind::Write ? writeOverlapped
                                                     : readOverlapped;
  const os::Dword wait = os::WaitForSingleObject(mutex, os::kInfinite);
  if (wait != os::kWaitObject0) {
    // An abandoned wait owns the mutex all the same: keeping it would stall
    // every later transfer of this kind.
    if (wait == os::kWaitAbandoned) os::ReleaseMutex(mutex);
    lastError = VKM470F_ERR_MUTEX_FAILED;
    return VKM470F_ERR_MUTEX_FAILED;
  }
  std::int32_t status = VKM470F_SUCCESS;
  os::Dword transferred = 0;
  if (count != nullptr) *count = 0;

  if (device == os::invalidHandle()) {
    status = VKM470F_ERR_NOT_OPEN;
  } else {
    bool started = false;
    switch (kind) {
      case Kind::Control:
        started = os::DeviceIoControl(device, kIoctlControlRequest, request, sizeof *request, data,
                                      length, &transferred, &overlapped);
        break;
      case Kind::Write:
        started = os::WriteFile(device, data, length, &transferred, &overlapped);
        break;
      case Kind::Read:
        started = os::ReadFile(device, data, length, &transferred, &overlapped);
        break;
    }
    if (!started) {
      if (os::GetLastError() == os::kErrorIoPending) {
        if (os::WaitForSingleObject(overlapped.hEvent, timeout) != os::kWaitObject0) {
          os::CancelIo(device);
          // The buffer and the record belong to the driver until the cancelled
          // request has ended; returning earlier would let it write into
          // memory the caller has moved on from.
          os::WaitForSingleObject(overlapped.hEvent, os::kInfinite);
          status = VKM470F_ERR_TIMEOUT;
        }
        if (!os::GetOverlappedResult(device, &overlapped, &transferred, false)) {
          status = VKM470F_ERR_RESULT_FAILED;
        }
      } else {
        status = VKM470F_ERR_REQUEST_REJECTED;
      }
    }
    if (transferred != length && (kind != Kind::Control || status == VKM470F_SUCCESS)) {
      status = VKM470F_ERR_LENGTH_MISMATCH;
    }
  }
  if (count != nullptr) *count = transferred;
  lastError = status;
  os::ReleaseMutex(mutex);
  return status;
}

std::int32_t TQUSB_BASE::ControlRequestStatus(QUSB_REQUEST* request, void* data,
                                              std::uint32_t length, std::uint32_t timeout) {
  return transfer(Kind::Control, request, data, length, nullptr, timeout);
}

bool TQUSB_BASE::ControlRequest(QUSB_REQUEST* request, void* data, std::uint32_t length,
                                std::uint32_t timeout) {
  return ControlRequestStatus(request, data, length, timeout) == VKM470F_SUCCESS;
}

std::int32_t TQUSB_BASE::ControlCommandStatus(QUSB_REQUEST* request) {
  std::uint8_t scratch = 0;
  return ControlRequestStatus(request, &scratch, 0, kCommandTimeoutMs);
}

bool TQUSB_BASE::ControlCommand(QUSB_REQUEST* request) {
  return ControlCommandStatus(request) == VKM470F_SUCCESS;
}

std::int32_t TQUSB_BASE::controlLong(std::uint16_t direction, QUSB_REQUEST* request, void* data,
                                     std::uint32_t length, std::uint32_t timeout) {
  request->direction = direction;
  if (data == nullptr || length == 0) {
    lastError = VKM470F_ERR_INVALID_ARGUMENT;
    return VKM470F_ERR_INVALID_ARGUMENT;
  }
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::int32_t status = VKM470F_SUCCESS;
  for (std::uint32_t done = 0; status == VKM470F_SUCCESS && done < length;) {
    const std::uint32_t piece =
        length - done < kControlPieceBytes ? length - done : kControlPieceBytes;
    status = ControlRequestStatus(request, bytes + done, piece, timeout);
    done += piece;
  }
  return status;
}

bool TQUSB_BASE::ControlWriteLong(QUSB_REQUEST* request, void* data, std::uint32_t length,
                                  std::uint32_t timeout) {
  return controlLong(0, request, data, length, timeout) == VKM470F_SUCCESS;
}

bool TQUSB_BASE::ControlReadLong(QUSB_REQUEST* request, void* data, std::uint32_t length,
                                 std::uint32_t timeout) {
  return controlLong(1, request, data, length, timeout) == VKM470F_SUCCESS;
}

std::int32_t TQUSB_BASE::WriteBulkStatus(const void* data, std::uint32_t length,
                                         std::uint32_t* written, std::uint32_t timeout) {
  return transfer(Kind::Write, nullptr, const_cast<void*>(data), length, written, timeout);
}

bool TQUSB_BASE::WriteBulk(const void* data, std::uint32_t length, std::uint32_t* written,
                           std::uint32_t timeout) {
  return WriteBulkStatus(data, length, written, timeout) == VKM470F_SUCCESS;
}

std::int32_t TQUSB_BASE::ReadBulkStatus(void* data, std::uint32_t length, std::uint32_t* read,
                                        std::uint32_t timeout) {
  return transfer(Kind::Read, nullptr, data, length, read, timeout);
}

bool TQUSB_BASE::ReadBulk(void* data, std::uint32_t length, std::uint32_t* read,
                          std::uint32_t timeout) {
  return ReadBulkStatus(data, length, read, timeout) == VKM470F_SUCCESS;
}

bool TQUSB_BASE::AbortIo() {
  std::int32_t status = VKM470F_SUCCESS;
  if (device == os::invalidHandle()) {
    status = VKM470F_ERR_NOT_OPEN;
  } else if (!os::CancelIo(device)) {
    status = VKM470F_ERR_CANCEL_FAILED;
  }
  lastError = status;
  return status == VKM470F_SUCCESS;
}

std::int32_t TQUSB_BASE::GetNameStatus(char* buffer, std::uint32_t length) {
  std::int32_t refused = VKM470F_SUCCESS;
  if (buffer == nullptr) {
    refused = VKM470F_ERR_INVALID_ARGUMENT;
  } else if (device == os::invalidHandle()) {
    refused = VKM470F_ERR_NOT_OPEN;
  }
  if (refused != VKM470F_SUCCESS) {
    lastError = refused;
    return refused;
  }
  if (length != 0) std::memset(buffer, 0, length);
  QUSB_REQUEST request{1, kRequestName, 0, 0};
  return ControlRequestStatus(&request, buffer, length, kNameTimeoutMs);
}

bool TQUSB_BASE::GetName(char* buffer, std::uint32_t length) {
  return GetNameStatus(buffer, length) == VKM470F_SUCCESS;
}

bool TQUSB_BASE::IsOk() { return lastError == VKM470F_SUCCESS; }

bool TQUSB_BASE::GetModuleType(std::uint32_t* type) {
  if (device == os::invalidHandle()) {
    lastError = VKM470F_ERR_NOT_OPEN;
    return false;
  }
  std::uint8_t block[kInformationBytes];
  os::Dword returned = 0;
  if (!os::DeviceIoControl(device, kIoctlInformation, nullptr, 0, block, sizeof block, &returned,
                           nullptr)) {
    lastError = VKM470F_ERR_REQUEST_REJECTED;
    return false;
  }
  if (returned != kInformationBytes) {
    lastError = VKM470F_ERR_LENGTH_MISMATCH;
    return false;
  }
  *type = byte_order::loadLe32(block + kModuleTypeOffset);
  return true;
}

}  // namespace vkm470::usb
