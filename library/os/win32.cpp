// SPDX-License-Identifier: MIT
// The win32 backend: each service is the platform call of the same name, but
// for the device files served in-process (win32.h).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

// The platform header maps these names to their ANSI or wide forms; the seam
// declares its own functions under the plain names.
#undef CreateFile
#undef CreateEvent
#undef CreateMutex

#include "os.h"
#include "win32.h"

namespace vkm470::os {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED), "Overlapped must match OVERLAPPED");
static_assert(offsetof(Overlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(std::is_same_v<Handle, HANDLE>);
static_assert(sizeof(Dword) == sizeof(DWORD));
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitAbandoned == WAIT_ABANDONED &&
              kWaitTimeout == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED && kInfinite == INFINITE &&
              kMaximumWaitObjects == MAXIMUM_WAIT_OBJECTS);
static_assert(kStillActive == STILL_ACTIVE);

namespace {

OVERLAPPED* native(Overlapped* overlapped) { return reinterpret_cast<OVERLAPPED*>(overlapped); }

// DWORD is unsigned long here and Dword unsigned int: the same width, but
// distinct types, so counts pass through a local.
void store(Dword* target, DWORD value) {
  if (target != nullptr) *target = value;
}

// ---- device files served in-process

// The record's Internal field holds an NTSTATUS as the platform's does:
// pending, success, or a Win32 error in the NTSTATUS_FROM_WIN32 form.
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr std::uintptr_t kStatusFromWin32 = 0xC0070000u;

std::uintptr_t encodeStatus(Dword error) {
  return error == kErrorSuccess ? 0 : (kStatusFromWin32 | (error & 0xFFFFu));
}

Dword decodeStatus(std::uintptr_t status) {
  if (status == 0) return kErrorSuccess;
  if ((status & 0xFFFF0000u) == kStatusFromWin32) return static_cast<Dword>(status & 0xFFFFu);
  return kErrorGenFailure;
}

class ServedRequest;

struct ServedFile {
  bool overlapped = false;
  // Guards the requests' state and the records they complete.
  std::mutex lock;
  std::condition_variable completed;
  // Pending requests, and cancelled ones: a driver may still race a late
  // completion against a cancel, so those live as long as the device does.
  std::map<ServedRequest*, std::shared_ptr<ServedRequest>> live;
  // Declared after live: the driver's handle goes first, and with it any
  // driver thread that might still reach a request.
  std::unique_ptr<hosted::Device> device;
};

class ServedRequest final : public hosted::Request {
 public:
  ServedRequest(ServedFile* file, hosted::RequestKind kind, Dword code, const void* input,
                Dword inputSize, void* output, Dword outputSize, Overlapped* overlapped)
      : file_(file),
        kind_(kind),
        code_(code),
        input_(input),
        inputSize_(inputSize),
        output_(output),
        outputSize_(outputSize),
        overlapped_(overlapped),
        issuer_(::GetCurrentThreadId()) {}

  hosted::RequestKind kind() const override { return kind_; }
  Dword code() const override { return code_; }
  const void* input() const override { return input_; }
  Dword inputSize() const override { return inputSize_; }
  void* output() override { return output_; }
  Dword outputSize() const override { return outputSize_; }

  void complete(Dword status, Dword bytes) override {
    std::shared_ptr<ServedRequest> self;  // released last: may free this
    std::lock_guard<std::mutex> lk(file_->lock);
    if (done) return;
    done = true;
    // A driver cannot report more than the buffer holds.
    const Dword limit = kind_ == hosted::RequestKind::Write ? inputSize_ : outputSize_;
    status_ = status;
    bytes_ = std::min(bytes, limit);
    if (overlapped_ != nullptr) {
      overlapped_->InternalHigh = bytes_;
      overlapped_->Internal = encodeStatus(status_);
      if (overlapped_->hEvent != nullptr) ::SetEvent(overlapped_->hEvent);
    }
    if (!cancelled) {
      auto it = file_->live.find(this);
      self = std::move(it->second);
      file_->live.erase(it);
    }
    file_->completed.notify_all();
  }

  // Guarded by the file's lock.
  bool done = false;
  bool inSubmit = true;
  bool cancelRequested = false;  // a cancel arrived while the driver was in submit
  bool cancelled = false;
  DWORD issuer() const { return issuer_; }
  Dword status() const { return status_; }
  Dword bytes() const { return bytes_; }

 private:
  ServedFile* file_;
  hosted::RequestKind kind_;
  Dword code_;
  const void* input_;
  Dword inputSize_;
  void* output_;
  Dword outputSize_;
  Overlapped* overlapped_;
  DWORD issuer_;
  Dword status_ = kErrorSuccess;
  Dword bytes_ = 0;
};

struct Served {
  std::mutex lock;
  win32::DeviceOpener opener;
  // Keyed by a real event handle made for each served file, so that no
  // handle of the system can be taken for one.
  std::unordered_map<Handle, std::shared_ptr<ServedFile>> files;
  std::atomic<std::size_t> count{0};
};

// Never destroyed: handles may still be closed while the process exits.
Served& served() {
  static Served* s = new Served;
  return *s;
}

// The served file behind handle; null for every handle of the system. Costs
// one atomic load while none is open.
std::shared_ptr<ServedFile> servedFile(Handle handle) {
  Served& s = served();
  if (s.count.load(std::memory_order_acquire) == 0) return nullptr;
  std::lock_guard<std::mutex> lk(s.lock);
  auto it = s.files.find(handle);
  return it == s.files.end() ? nullptr : it->second;
}

void cancelRequest(ServedFile& file, const std::shared_ptr<ServedRequest>& request) {
  {
    std::lock_guard<std::mutex> lk(file.lock);
    if (request->done || request->cancelled) return;
    if (request->inSubmit) {
      request->cancelRequested = true;
      return;
    }
    request->cancelled = true;
  }
  file.device->cancel(*request);
  // The driver has forgotten the request; make sure it ends.
  if (!file.device->completesCancelledRequests()) request->complete(kErrorOperationAborted, 0);
}

bool issue(ServedFile& file, hosted::RequestKind kind, Dword code, const void* input,
           Dword inputSize, void* output, Dword outputSize, Dword* bytes, Overlapped* overlapped) {
  std::shared_ptr<ServedRequest> request;
  {
    std::lock_guard<std::mutex> lk(file.lock);
    if (overlapped != nullptr) {
      // As on the platform: the event is cleared when the request starts.
      if (overlapped->hEvent != nullptr) ::ResetEvent(overlapped->hEvent);
      overlapped->Internal = kStatusPending;
      overlapped->InternalHigh = 0;
    }
    request = std::make_shared<ServedRequest>(&file, kind, code, input, inputSize, output,
                                              outputSize, overlapped);
    file.live[request.get()] = request;
  }

  file.device->submit(*request);

  bool cancelNow;
  {
    std::lock_guard<std::mutex> lk(file.lock);
    request->inSubmit = false;
    cancelNow = request->cancelRequested && !request->done;
  }
  if (cancelNow) cancelRequest(file, request);

  // Without a record, or on a handle opened without the overlapped flag, the
  // caller waits for the driver.
  const bool blocking = overlapped == nullptr || !file.overlapped;
  std::unique_lock<std::mutex> lk(file.lock);
  if (blocking) file.completed.wait(lk, [&] { return request->done; });
  if (!request->done) {
    if (bytes != nullptr) *bytes = 0;
    ::SetLastError(ERROR_IO_PENDING);
    return false;
  }
  if (bytes != nullptr) *bytes = request->bytes();
  if (request->status() != kErrorSuccess) {
    ::SetLastError(request->status());
    return false;
  }
  return true;
}

Handle openServed(const char* path, Dword access, Dword share, Dword flags, DWORD systemError) {
  static const char prefix[] = "\\\\.\\";
  const std::string name = path + sizeof prefix - 1;
  win32::DeviceOpener opener;
  {
    std::lock_guard<std::mutex> lk(served().lock);
    opener = served().opener;
  }
  std::unique_ptr<hosted::Device> device;
  Dword error = kErrorSuccess;
  if (!opener || !opener(name, access, share, &device, &error)) {
    ::SetLastError(systemError);
    return INVALID_HANDLE_VALUE;
  }
  if (!device) {
    ::SetLastError(error != kErrorSuccess ? error : kErrorGenFailure);
    return INVALID_HANDLE_VALUE;
  }
  Handle token = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (token == nullptr) return INVALID_HANDLE_VALUE;
  auto file = std::make_shared<ServedFile>();
  file->overlapped = (flags & kFileFlagOverlapped) != 0;
  file->device = std::move(device);
  {
    std::lock_guard<std::mutex> lk(served().lock);
    served().files.emplace(token, std::move(file));
    served().count.fetch_add(1, std::memory_order_release);
  }
  ::SetLastError(ERROR_SUCCESS);
  return token;
}

bool closeServed(Handle handle) {
  std::shared_ptr<ServedFile> file;
  {
    Served& s = served();
    std::lock_guard<std::mutex> lk(s.lock);
    auto it = s.files.find(handle);
    if (it == s.files.end()) return false;
    file = std::move(it->second);
    s.files.erase(it);
    s.count.fetch_sub(1, std::memory_order_release);
  }
  // Closing ends every request still pending on the handle, whichever thread
  // issued it; the device goes with the last call still using it.
  std::vector<std::shared_ptr<ServedRequest>> pending;
  {
    std::lock_guard<std::mutex> lk(file->lock);
    for (auto& [raw, request] : file->live) {
      if (!request->done) pending.push_back(request);
    }
  }
  for (auto& request : pending) cancelRequest(*file, request);
  ::CloseHandle(handle);
  return true;
}

bool servedResult(ServedFile& file, Overlapped* overlapped, Dword* bytesTransferred, bool wait) {
  std::unique_lock<std::mutex> lk(file.lock);
  if (overlapped->Internal == kStatusPending) {
    if (!wait) {
      ::SetLastError(ERROR_IO_INCOMPLETE);
      return false;
    }
    file.completed.wait(lk, [&] { return overlapped->Internal != kStatusPending; });
    // The platform waits on the record's event, which takes an auto-reset
    // event's signal.
    if (overlapped->hEvent != nullptr) ::WaitForSingleObject(overlapped->hEvent, 0);
  }
  if (bytesTransferred != nullptr) *bytesTransferred = static_cast<Dword>(overlapped->InternalHigh);
  const Dword status = decodeStatus(overlapped->Internal);
  if (status != kErrorSuccess) {
    ::SetLastError(status);
    return false;
  }
  return true;
}

// Cancels the requests that the calling thread issued on the file.
void cancelServed(ServedFile& file) {
  std::vector<std::shared_ptr<ServedRequest>> mine;
  {
    std::lock_guard<std::mutex> lk(file.lock);
    const DWORD self = ::GetCurrentThreadId();
    for (auto& [raw, request] : file.live) {
      if (!request->done && request->issuer() == self) mine.push_back(request);
    }
  }
  for (auto& request : mine) cancelRequest(file, request);
}

}  // namespace

void win32::setDeviceOpener(DeviceOpener opener) {
  std::lock_guard<std::mutex> lk(served().lock);
  served().opener = std::move(opener);
}

Handle CreateFile(const char* path, Dword access, Dword share, Dword creation, Dword flags) {
  Handle handle = ::CreateFileA(path, access, share, nullptr, creation, flags, nullptr);
  if (handle != INVALID_HANDLE_VALUE || path == nullptr) return handle;
  // Only a device the system does not have at all is looked for in-process.
  const DWORD error = ::GetLastError();
  if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
      std::string(path).compare(0, 4, "\\\\.\\") != 0 || path[4] == '\0') {
    return handle;
  }
  return openServed(path, access, share, flags, error);
}

bool CloseHandle(Handle handle) {
  if (servedFile(handle)) return closeServed(handle);
  return ::CloseHandle(handle) != FALSE;
}

bool DeviceIoControl(Handle device, Dword code, const void* input, Dword inputSize, void* output,
                     Dword outputSize, Dword* bytesReturned, Overlapped* overlapped) {
  if (auto file = servedFile(device)) {
    return issue(*file, hosted::RequestKind::IoControl, code, input, inputSize, output, outputSize,
                 bytesReturned, overlapped);
  }
  DWORD bytes = 0;
  BOOL ok = ::DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize,
                              &bytes, native(overlapped));
  store(bytesReturned, bytes);
  return ok != FALSE;
}

bool ReadFile(Handle device, void* buffer, Dword size, Dword* bytesRead, Overlapped* overlapped) {
  if (auto file = servedFile(device)) {
    return issue(*file, hosted::RequestKind::Read, 0, nullptr, 0, buffer, size, bytesRead,
                 overlapped);
  }
  DWORD bytes = 0;
  BOOL ok = ::ReadFile(device, buffer, size, &bytes, native(overlapped));
  store(bytesRead, bytes);
  return ok != FALSE;
}

bool WriteFile(Handle device, const void* buffer, Dword size, Dword* bytesWritten,
               Overlapped* overlapped) {
  if (auto file = servedFile(device)) {
    return issue(*file, hosted::RequestKind::Write, 0, buffer, size, nullptr, 0, bytesWritten,
                 overlapped);
  }
  DWORD bytes = 0;
  BOOL ok = ::WriteFile(device, buffer, size, &bytes, native(overlapped));
  store(bytesWritten, bytes);
  return ok != FALSE;
}

bool GetOverlappedResult(Handle device, Overlapped* overlapped, Dword* bytesTransferred,
                         bool wait) {
  if (auto file = servedFile(device)) {
    if (overlapped == nullptr) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    return servedResult(*file, overlapped, bytesTransferred, wait);
  }
  DWORD bytes = 0;
  BOOL ok = ::GetOverlappedResult(device, native(overlapped), &bytes, wait ? TRUE : FALSE);
  store(bytesTransferred, bytes);
  return ok != FALSE;
}

bool CancelIo(Handle device) {
  if (auto file = servedFile(device)) {
    cancelServed(*file);
    return true;
  }
  return ::CancelIo(device) != FALSE;
}

Handle CreateEvent(bool manualReset, bool initialState) {
  return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

bool SetEvent(Handle event) { return ::SetEvent(event) != FALSE; }

bool ResetEvent(Handle event) { return ::ResetEvent(event) != FALSE; }

Handle CreateMutex(bool initialOwner) { return ::CreateMutexA(nullptr, initialOwner, nullptr); }

bool ReleaseMutex(Handle mutex) { return ::ReleaseMutex(mutex) != FALSE; }

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

Dword WaitForMultipleObjects(Dword count, const Handle* objects, bool waitAll, Dword milliseconds) {
  return ::WaitForMultipleObjects(count, objects, waitAll, milliseconds);
}

Handle CreateThread(ThreadProc proc, void* parameter, Dword* threadId) {
  // ThreadProc returns a 32-bit unsigned int where the platform's routine
  // returns DWORD (unsigned long): the same width and calling convention.
  auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(proc));
  DWORD id = 0;
  Handle thread = ::CreateThread(nullptr, 0, routine, parameter, 0, &id);
  store(threadId, id);
  return thread;
}

bool GetExitCodeThread(Handle thread, Dword* exitCode) {
  DWORD code = 0;
  BOOL ok = ::GetExitCodeThread(thread, &code);
  store(exitCode, code);
  return ok != FALSE;
}

Dword GetLastError() { return ::GetLastError(); }

void SetLastError(Dword error) { ::SetLastError(error); }

Dword GetTickCount() { return ::GetTickCount(); }

void Sleep(Dword milliseconds) { ::Sleep(milliseconds); }

}  // namespace vkm470::os
