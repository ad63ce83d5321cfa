// The hosted backend: Win32 kernel-service semantics in portable C++17.
//
// All kernel objects share one lock. The objects are few and short-lived, so a
// single lock keeps cross-object rules (a request completion sets an event, a
// thread's end abandons its mutexes) simple and free of lock-order problems.
// Each waitable object has a condition of its own, so a change wakes only the
// threads that wait on that object: a streaming worker's completion does not
// wake every other waiter in the process. Driver code is never called with the
// lock held, so a driver may complete a request from inside submit or cancel.
#include "hosted.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "device_namespace.h"
#include "os.h"

namespace vkm470::os {
namespace {

// The overlapped record's Internal field holds an NTSTATUS as on Windows:
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

struct Object {
  virtual ~Object() = default;
};

// An object that WaitForSingleObject waits on; changed is notified, under the
// lock, whenever it may have become signalled.
struct Waitable : Object {
  std::condition_variable changed;
};

struct Event : Waitable {
  Event(bool manual, bool signalled) : manual(manual), signalled(signalled) {}
  bool manual;
  bool signalled;
};

struct Mutex : Waitable {
  Dword owner = 0;  // thread id; 0 when free
  Dword count = 0;  // recursion depth of the owner
  bool abandoned = false;
};

struct Thread : Waitable {
  bool done = false;
  Dword exitCode = kStillActive;
};

class RequestImpl;

struct File : Object {
  bool overlapped = false;
  bool closed = false;
  // Pending requests, and cancelled ones: a driver may still race a late
  // completion against a cancel, so those live as long as the device does.
  std::map<RequestImpl*, std::shared_ptr<RequestImpl>> live;
  // Declared after live: the driver's handle goes first, and with it any
  // driver thread that might still reach a request.
  std::unique_ptr<hosted::Device> device;
};

struct State {
  std::mutex lock;
  // A request ended: what blocking calls and GetOverlappedResult wait on.
  std::condition_variable completed;
  std::vector<std::shared_ptr<Object>> handles;
  std::deque<std::size_t> freeSlots;
  // Owning thread id -> the mutexes it holds, abandoned when it ends.
  std::multimap<Dword, std::shared_ptr<Mutex>> owned;
  std::atomic<Dword> nextThreadId{1};
  std::atomic<bool> virtualClock{false};
  std::atomic<unsigned> failingThreads{0};
  std::atomic<unsigned> failingEvents{0};
  std::atomic<std::uint64_t> virtualMicroseconds{0};
};

// Never destroyed: threads still running at exit, and thread-local cleanup
// after main returns, may reach it.
State& state() {
  static State* s = new State;
  return *s;
}

thread_local Dword t_threadId = 0;
thread_local Dword t_lastError = 0;

void abandonOwnedLocked(Dword thread) {
  auto& owned = state().owned;
  auto [first, last] = owned.equal_range(thread);
  for (auto it = first; it != last; ++it) {
    it->second->owner = 0;
    it->second->count = 0;
    it->second->abandoned = true;
    it->second->changed.notify_all();
  }
  owned.erase(first, last);
}

void threadEnded(Dword thread, Thread* object, Dword exitCode);

#if !defined(_WIN32)
// Ends the threads that the seam did not create (the application's own) the
// same way as its own. MinGW's thread-local destructors are not reliable, so
// there only the seam's threads get this.
struct ThreadExit {
  Dword thread = 0;
  ~ThreadExit() {
    if (thread != 0) threadEnded(thread, nullptr, 0);
  }
};
thread_local ThreadExit t_exit;
#endif

Dword currentThreadId() {
  if (t_threadId == 0) t_threadId = state().nextThreadId.fetch_add(1);
#if !defined(_WIN32)
  t_exit.thread = t_threadId;
#endif
  return t_threadId;
}

std::uint64_t realMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void advanceVirtual(Dword milliseconds) {
  state().virtualMicroseconds.fetch_add(std::uint64_t{milliseconds} * 1000);
}

Handle insertLocked(std::shared_ptr<Object> object) {
  State& s = state();
  std::size_t slot;
  if (!s.freeSlots.empty()) {
    slot = s.freeSlots.front();
    s.freeSlots.pop_front();
    s.handles[slot] = std::move(object);
  } else {
    slot = s.handles.size();
    s.handles.push_back(std::move(object));
  }
  // Multiples of four from 4 up, as the platform hands them out: never null,
  // never the invalid-handle value.
  return reinterpret_cast<Handle>(static_cast<std::uintptr_t>((slot + 1) * 4));
}

Handle insert(std::shared_ptr<Object> object) {
  std::lock_guard<std::mutex> lk(state().lock);
  return insertLocked(std::move(object));
}

bool slotOf(Handle handle, std::size_t* slot) {
  auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % 4 != 0) return false;
  *slot = value / 4 - 1;
  return *slot < state().handles.size() && state().handles[*slot] != nullptr;
}

std::shared_ptr<Object> lookupLocked(Handle handle) {
  std::size_t slot;
  return slotOf(handle, &slot) ? state().handles[slot] : nullptr;
}

template <typename T>
std::shared_ptr<T> lookupLocked(Handle handle) {
  return std::dynamic_pointer_cast<T>(lookupLocked(handle));
}

// lookupLocked for a service's argument: a handle that is unknown or of
// another kind leaves ERROR_INVALID_HANDLE.
template <typename T>
std::shared_ptr<T> argumentLocked(Handle handle) {
  auto object = lookupLocked<T>(handle);
  if (!object) t_lastError = kErrorInvalidHandle;
  return object;
}

class RequestImpl final : public hosted::Request {
 public:
  RequestImpl(File* file, hosted::RequestKind kind, Dword code, const void* input, Dword inputSize,
              void* output, Dword outputSize, Overlapped* overlapped, std::shared_ptr<Event> event)
      : file_(file),
        kind_(kind),
        code_(code),
        input_(input),
        inputSize_(inputSize),
        output_(output),
        outputSize_(outputSize),
        overlapped_(overlapped),
        event_(std::move(event)),
        issuer_(currentThreadId()) {}

  hosted::RequestKind kind() const override { return kind_; }
  Dword code() const override { return code_; }
  const void* input() const override { return input_; }
  Dword inputSize() const override { return inputSize_; }
  void* output() override { return output_; }
  Dword outputSize() const override { return outputSize_; }

  void complete(Dword status, Dword bytes) override {
    std::shared_ptr<RequestImpl> self;  // released last: may free this
    State& s = state();
    {
      std::lock_guard<std::mutex> lk(s.lock);
      if (done) return;
      done = true;
      // A driver cannot report more than the buffer holds.
      Dword limit = kind_ == hosted::RequestKind::Write ? inputSize_ : outputSize_;
      status_ = status;
      bytes_ = std::min(bytes, limit);
      if (overlapped_ != nullptr) {
        overlapped_->InternalHigh = bytes_;
        overlapped_->Internal = encodeStatus(status_);
      }
      if (event_) {
        event_->signalled = true;
        event_->changed.notify_all();
      }
      if (!cancelled) {
        auto it = file_->live.find(this);
        self = std::move(it->second);
        file_->live.erase(it);
      }
      s.completed.notify_all();
    }
  }

  // Guarded by the state lock.
  bool done = false;
  bool inSubmit = true;
  bool cancelRequested = false;  // a cancel arrived while the driver was in submit
  bool cancelled = false;
  Dword issuer() const { return issuer_; }
  Dword status() const { return status_; }
  Dword bytes() const { return bytes_; }

 private:
  File* file_;
  hosted::RequestKind kind_;
  Dword code_;
  const void* input_;
  Dword inputSize_;
  void* output_;
  Dword outputSize_;
  Overlapped* overlapped_;
  std::shared_ptr<Event> event_;
  Dword issuer_;
  Dword status_ = kErrorSuccess;
  Dword bytes_ = 0;
};

void cancelRequest(File& file, const std::shared_ptr<RequestImpl>& request) {
  {
    std::lock_guard<std::mutex> lk(state().lock);
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

// As on the platform, a thread's end cancels the I/O it has pending and
// abandons the mutexes it holds, before its handle is signalled.
void threadEnded(Dword thread, Thread* object, Dword exitCode) {
  std::vector<std::pair<std::shared_ptr<File>, std::shared_ptr<RequestImpl>>> pending;
  {
    std::lock_guard<std::mutex> lk(state().lock);
    for (auto& handle : state().handles) {
      auto file = std::dynamic_pointer_cast<File>(handle);
      if (!file) continue;
      for (auto& [raw, request] : file->live) {
        if (!request->done && request->issuer() == thread) pending.emplace_back(file, request);
      }
    }
  }
  for (auto& [file, request] : pending) cancelRequest(*file, request);
  std::lock_guard<std::mutex> lk(state().lock);
  abandonOwnedLocked(thread);
  if (object != nullptr) {
    object->exitCode = exitCode;
    object->done = true;
    object->changed.notify_all();
  }
}

bool issue(Handle device, hosted::RequestKind kind, Dword code, const void* input, Dword inputSize,
           void* output, Dword outputSize, Dword* bytes, Overlapped* overlapped) {
  State& s = state();
  std::shared_ptr<File> file;
  std::shared_ptr<RequestImpl> request;
  {
    std::lock_guard<std::mutex> lk(s.lock);
    file = argumentLocked<File>(device);
    if (!file) return false;
    if (file->closed) {
      t_lastError = kErrorInvalidHandle;
      return false;
    }
    std::shared_ptr<Event> event;
    if (overlapped != nullptr) {
      if (overlapped->hEvent != nullptr) {
        event = argumentLocked<Event>(overlapped->hEvent);
        if (!event) return false;
        // As on the platform: the event is cleared when the request starts.
        event->signalled = false;
      }
      overlapped->Internal = kStatusPending;
      overlapped->InternalHigh = 0;
    }
    request = std::make_shared<RequestImpl>(file.get(), kind, code, input, inputSize, output,
                                            outputSize, overlapped, std::move(event));
    file->live[request.get()] = request;
  }

  file->device->submit(*request);

  bool cancelNow;
  {
    std::lock_guard<std::mutex> lk(s.lock);
    request->inSubmit = false;
    cancelNow = request->cancelRequested && !request->done;
  }
  if (cancelNow) cancelRequest(*file, request);

  // Without a record, or on a handle opened without the overlapped flag, the
  // caller waits for the driver.
  bool blocking = overlapped == nullptr || !file->overlapped;
  std::unique_lock<std::mutex> lk(s.lock);
  if (blocking) s.completed.wait(lk, [&] { return request->done; });
  if (!request->done) {
    if (bytes != nullptr) *bytes = 0;
    t_lastError = kErrorIoPending;
    return false;
  }
  if (bytes != nullptr) *bytes = request->bytes();
  if (request->status() != kErrorSuccess) {
    t_lastError = request->status();
    return false;
  }
  return true;
}

// Takes object for the calling thread if it is signalled; false when the
// caller would have to wait.
bool tryAcquireLocked(const std::shared_ptr<Object>& object, Dword* result) {
  if (auto event = std::dynamic_pointer_cast<Event>(object)) {
    if (!event->signalled) return false;
    if (!event->manual) event->signalled = false;
    *result = kWaitObject0;
    return true;
  }
  if (auto mutex = std::dynamic_pointer_cast<Mutex>(object)) {
    Dword self = currentThreadId();
    if (mutex->count != 0 && mutex->owner != self) return false;
    *result = mutex->abandoned ? kWaitAbandoned : kWaitObject0;
    mutex->abandoned = false;
    if (mutex->count == 0) {
      mutex->owner = self;
      state().owned.emplace(self, mutex);
    }
    ++mutex->count;
    return true;
  }
  auto thread = std::static_pointer_cast<Thread>(object);
  if (!thread->done) return false;
  *result = kWaitObject0;
  return true;
}

// Takes one of the failures that failCreations asked for.
bool injectedFailure(std::atomic<unsigned>& failing) {
  unsigned left = failing.load();
  while (left > 0 && !failing.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) return false;
  t_lastError = kErrorNotEnoughMemory;
  return true;
}

// The library's callers see no seam: where Windows leaves an open's reason in
// GetLastError, here the thread's errno carries it out through the exports.
void setErrnoFor(Dword error) { errno = hosted::errnoFromError(error); }

}  // namespace

Handle CreateFile(const char* path, Dword access, Dword share, Dword /*creation*/, Dword flags) {
  static const std::string prefix = "\\\\.\\";
  if (path == nullptr || std::string(path).compare(0, prefix.size(), prefix) != 0 ||
      path[prefix.size()] == '\0') {
    t_lastError = kErrorFileNotFound;
    setErrnoFor(t_lastError);
    return invalidHandle();
  }
  Dword error = kErrorSuccess;
  auto device = hosted::openDevice(path + prefix.size(), access, share, &error);
  if (!device) {
    t_lastError = error != kErrorSuccess ? error : kErrorGenFailure;
    setErrnoFor(t_lastError);
    return invalidHandle();
  }
  auto file = std::make_shared<File>();
  file->overlapped = (flags & kFileFlagOverlapped) != 0;
  file->device = std::move(device);
  return insert(std::move(file));
}

bool CloseHandle(Handle handle) {
  std::shared_ptr<Object> object;
  std::vector<std::shared_ptr<RequestImpl>> pending;
  {
    std::lock_guard<std::mutex> lk(state().lock);
    std::size_t slot;
    if (!slotOf(handle, &slot)) {
      t_lastError = kErrorInvalidHandle;
      return false;
    }
    object = std::move(state().handles[slot]);
    state().freeSlots.push_back(slot);
    if (auto file = std::dynamic_pointer_cast<File>(object)) {
      file->closed = true;
      for (auto& [raw, request] : file->live) {
        if (!request->done) pending.push_back(request);
      }
    }
  }
  // Closing a device handle ends every request still pending on it, whichever
  // thread issued it.
  for (auto& request : pending) cancelRequest(static_cast<File&>(*object), request);
  return true;
}

bool DeviceIoControl(Handle device, Dword code, const void* input, Dword inputSize, void* output,
                     Dword outputSize, Dword* bytesReturned, Overlapped* overlapped) {
  return issue(device, hosted::RequestKind::IoControl, code, input, inputSize, output, outputSize,
               bytesReturned, overlapped);
}

bool ReadFile(Handle device, void* buffer, Dword size, Dword* bytesRead, Overlapped* overlapped) {
  return issue(device, hosted::RequestKind::Read, 0, nullptr, 0, buffer, size, bytesRead,
               overlapped);
}

bool WriteFile(Handle device, const void* buffer, Dword size, Dword* bytesWritten,
               Overlapped* overlapped) {
  return issue(device, hosted::RequestKind::Write, 0, buffer, size, nullptr, 0, bytesWritten,
               overlapped);
}

bool GetOverlappedResult(Handle /*device*/, Overlapped* overlapped, Dword* bytesTransferred,
                         bool wait) {
  if (overlapped == nullptr) {
    t_lastError = kErrorInvalidParameter;
    return false;
  }
  State& s = state();
  std::unique_lock<std::mutex> lk(s.lock);
  if (overlapped->Internal == kStatusPending) {
    if (!wait) {
      t_lastError = kErrorIoIncomplete;
      return false;
    }
    s.completed.wait(lk, [&] { return overlapped->Internal != kStatusPending; });
    // The platform waits on the record's event, which takes an auto-reset
    // event's signal.
    if (auto event = lookupLocked<Event>(overlapped->hEvent); event && !event->manual) {
      event->signalled = false;
    }
  }
  if (bytesTransferred != nullptr) *bytesTransferred = static_cast<Dword>(overlapped->InternalHigh);
  Dword status = decodeStatus(overlapped->Internal);
  if (status != kErrorSuccess) {
    t_lastError = status;
    return false;
  }
  return true;
}

bool CancelIo(Handle device) {
  std::shared_ptr<File> file;
  std::vector<std::shared_ptr<RequestImpl>> mine;
  {
    std::lock_guard<std::mutex> lk(state().lock);
    file = argumentLocked<File>(device);
    if (!file) return false;
    Dword self = currentThreadId();
    for (auto& [raw, request] : file->live) {
      if (!request->done && request->issuer() == self) mine.push_back(request);
    }
  }
  for (auto& request : mine) cancelRequest(*file, request);
  return true;
}

Handle CreateEvent(bool manualReset, bool initialState) {
  if (injectedFailure(state().failingEvents)) return nullptr;
  return insert(std::make_shared<Event>(manualReset, initialState));
}

namespace {

bool setSignalled(Handle event, bool signalled) {
  std::lock_guard<std::mutex> lk(state().lock);
  auto e = argumentLocked<Event>(event);
  if (!e) return false;
  e->signalled = signalled;
  if (signalled) e->changed.notify_all();
  return true;
}

}  // namespace

bool SetEvent(Handle event) { return setSignalled(event, true); }

bool ResetEvent(Handle event) { return setSignalled(event, false); }

Handle CreateMutex(bool initialOwner) {
  auto mutex = std::make_shared<Mutex>();
  std::lock_guard<std::mutex> lk(state().lock);
  if (initialOwner) {
    mutex->owner = currentThreadId();
    mutex->count = 1;
    state().owned.emplace(mutex->owner, mutex);
  }
  return insertLocked(std::move(mutex));
}

bool ReleaseMutex(Handle mutex) {
  std::lock_guard<std::mutex> lk(state().lock);
  auto m = argumentLocked<Mutex>(mutex);
  if (!m) return false;
  if (m->count == 0 || m->owner != currentThreadId()) {
    t_lastError = kErrorNotOwner;
    return false;
  }
  if (--m->count == 0) {
    auto [first, last] = state().owned.equal_range(m->owner);
    state().owned.erase(std::find_if(first, last, [&](const auto& o) { return o.second == m; }));
    m->owner = 0;
    m->changed.notify_all();
  }
  return true;
}

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
  State& s = state();
  std::unique_lock<std::mutex> lk(s.lock);
  auto target = lookupLocked(object);
  auto waitable = std::dynamic_pointer_cast<Waitable>(target);
  if (!waitable) {
    t_lastError = kErrorInvalidHandle;
    return kWaitFailed;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  Dword result;
  while (!tryAcquireLocked(target, &result)) {
    if (milliseconds == 0) return kWaitTimeout;
    if (milliseconds == kInfinite) {
      waitable->changed.wait(lk);
    } else if (s.virtualClock) {
      advanceVirtual(milliseconds);
      return kWaitTimeout;
    } else if (waitable->changed.wait_until(lk, deadline) == std::cv_status::timeout) {
      return tryAcquireLocked(target, &result) ? result : kWaitTimeout;
    }
  }
  return result;
}

Handle CreateThread(ThreadProc proc, void* parameter, Dword* threadId) {
  if (injectedFailure(state().failingThreads)) return nullptr;
  auto thread = std::make_shared<Thread>();
  Handle handle = insert(thread);
  Dword id = state().nextThreadId.fetch_add(1);
  try {
    std::thread([thread, proc, parameter, id] {
      t_threadId = id;
      threadEnded(id, thread.get(), proc(parameter));
#if !defined(_WIN32)
      t_exit.thread = 0;
#endif
    }).detach();
  } catch (const std::system_error&) {
    CloseHandle(handle);
    t_lastError = kErrorNotEnoughMemory;
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return handle;
}

bool GetExitCodeThread(Handle thread, Dword* exitCode) {
  std::lock_guard<std::mutex> lk(state().lock);
  auto t = lookupLocked<Thread>(thread);
  if (!t || exitCode == nullptr) {
    t_lastError = t ? kErrorInvalidParameter : kErrorInvalidHandle;
    return false;
  }
  *exitCode = t->exitCode;
  return true;
}

Dword GetLastError() { return t_lastError; }

void SetLastError(Dword error) { t_lastError = error; }

Dword GetTickCount() { return static_cast<Dword>(hosted::nowMicroseconds() / 1000); }

void Sleep(Dword milliseconds) {
  if (state().virtualClock) {
    advanceVirtual(milliseconds);
  } else if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

namespace hosted {

void failCreations(Creation what, unsigned count) {
  (what == Creation::Thread ? state().failingThreads : state().failingEvents) = count;
}

void setVirtualClock(bool enabled) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.lock);
  if (enabled && !s.virtualClock) s.virtualMicroseconds = realMicroseconds();
  s.virtualClock = enabled;
}

bool virtualClock() { return state().virtualClock; }

void setVirtualTick(Dword tick) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.lock);
  // Keeps the clock monotonic: only the low 32 bits of the millisecond count
  // move, forwards.
  std::uint64_t now = s.virtualMicroseconds;
  std::uint64_t ms = ((now / 1000) & ~std::uint64_t{0xFFFFFFFF}) | tick;
  if (ms * 1000 < now) ms += std::uint64_t{1} << 32;
  s.virtualMicroseconds = ms * 1000;
}

std::uint64_t nowMicroseconds() {
  State& s = state();
  return s.virtualClock ? s.virtualMicroseconds.load() : realMicroseconds();
}

}  // namespace hosted
}  // namespace vkm470::os
