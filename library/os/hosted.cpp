// SPDX-License-Identifier: MIT
// The hosted backend: Win32 kernel-service semantics in portable C++17.
//
// Each kernel object has a lock of its own, and a wait blocks on a waiter of
// its own (on the waiting thread's stack) that the objects it waits on wake
// when they change. So a wake-up (a request completing and setting its event,
// a mutex released, a thread ending) takes only the locks of the objects
// involved and of the waiter it wakes: no lock shared by the process and no
// handle lookup, and it wakes only the threads that wait on that object.
// Handles are looked up when a call begins, under the handle table's reader
// lock. Driver code is never called with a lock held, so a driver may
// complete a request from inside submit or cancel.
//
// Lock order: the handle table, then a file, then an object, then a waiter.
// A waiter's lock is a leaf.
#include "hosted.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
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

// The record's status fields are written by the thread that completes the
// request and read by the caller's, as the platform's kernel and its caller
// share them: every access is atomic, the status stored last.
std::uintptr_t loadField(std::uintptr_t& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
void storeField(std::uintptr_t& field, std::uintptr_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

// One blocked call: the objects it waits on wake it when they change. It
// lives on the waiting thread's stack; an object wakes it only while holding
// the lock that the waiter needs to leave the object's list, so it is alive.
struct Waiter {
  std::mutex lock;
  std::condition_variable wake;
  bool woken = false;

  void notify() {
    {
      std::lock_guard<std::mutex> lk(lock);
      woken = true;
    }
    wake.notify_one();
  }
  void clear() {
    std::lock_guard<std::mutex> lk(lock);
    woken = false;
  }
  // False when the deadline passed first.
  bool sleep(bool endless, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lk(lock);
    if (endless) {
      wake.wait(lk, [this] { return woken; });
      return true;
    }
    return wake.wait_until(lk, deadline, [this] { return woken; });
  }
};

struct Object : std::enable_shared_from_this<Object> {
  virtual ~Object() = default;
};

// An object that WaitForSingleObject waits on. Its state and its list of
// waiters are guarded by its own lock.
struct Waitable : Object {
  std::mutex lock;
  std::vector<Waiter*> waiters;

  // With lock held: takes the object for the calling thread if it is
  // signalled, with kWaitObject0 or kWaitAbandoned.
  virtual bool tryAcquireLocked(Dword* result) = 0;
  // With lock held, after a change that may have signalled it. Every waiter
  // looks again: one of them may be waiting on another object as well, and
  // must not be the only one told.
  void changedLocked() {
    for (Waiter* waiter : waiters) waiter->notify();
  }
};

struct Event final : Waitable {
  Event(bool manual, bool signalled) : manual(manual), signalled(signalled) {}
  bool tryAcquireLocked(Dword* result) override {
    if (!signalled) return false;
    if (!manual) signalled = false;
    *result = kWaitObject0;
    return true;
  }
  void set(bool value) {
    std::lock_guard<std::mutex> lk(lock);
    signalled = value;
    if (value) changedLocked();
  }
  const bool manual;
  bool signalled;
};

struct Mutex;

// The mutexes the calling thread owns, abandoned when it ends. Only the owner
// adds or removes, so the list needs no lock; a plain pointer, because
// MinGW's thread-local destructors are not reliable.
thread_local std::vector<std::shared_ptr<Mutex>>* t_owned = nullptr;

Dword currentThreadId();

struct Mutex final : Waitable {
  bool tryAcquireLocked(Dword* result) override {
    const Dword self = currentThreadId();
    if (count != 0 && owner != self) return false;
    *result = abandoned ? kWaitAbandoned : kWaitObject0;
    abandoned = false;
    if (count == 0) {
      owner = self;
      if (t_owned == nullptr) t_owned = new std::vector<std::shared_ptr<Mutex>>;
      t_owned->push_back(std::static_pointer_cast<Mutex>(shared_from_this()));
    }
    ++count;
    return true;
  }
  Dword owner = 0;  // thread id; 0 when free
  Dword count = 0;  // recursion depth of the owner
  bool abandoned = false;
};

struct Thread final : Waitable {
  bool tryAcquireLocked(Dword* result) override {
    if (!done) return false;
    *result = kWaitObject0;
    return true;
  }
  bool done = false;
  Dword exitCode = kStillActive;
};

class RequestImpl;

struct File final : Object {
  std::mutex lock;  // guards closed, live and the state of each request
  bool overlapped = false;
  bool closed = false;
  // Pending requests, and cancelled ones: a driver may still race a late
  // completion against a cancel, so those live as long as the device does.
  // In the order they were issued, which is the order cancels reach the
  // driver.
  std::map<std::uint64_t, std::shared_ptr<RequestImpl>> live;
  std::uint64_t issued = 0;
  // Declared after live: the driver's handle goes first, and with it any
  // driver thread that might still reach a request.
  std::unique_ptr<hosted::Device> device;
};

struct State {
  // The handle table: written by the creators and CloseHandle, read by every
  // call that takes a handle.
  std::shared_mutex tableLock;
  std::vector<std::shared_ptr<Object>> handles;
  std::deque<std::size_t> freeSlots;
  // What GetOverlappedResult waits on for a record without an event.
  std::mutex eventlessLock;
  std::condition_variable eventlessCompleted;
  std::mutex clockLock;
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
  if (t_threadId == 0) {
    t_threadId = state().nextThreadId.fetch_add(1);
#if !defined(_WIN32)
    t_exit.thread = t_threadId;
#endif
  }
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

Handle insert(std::shared_ptr<Object> object) {
  State& s = state();
  std::unique_lock<std::shared_mutex> lk(s.tableLock);
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

// With the table lock held.
bool slotOf(Handle handle, std::size_t* slot) {
  auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % 4 != 0) return false;
  *slot = value / 4 - 1;
  return *slot < state().handles.size() && state().handles[*slot] != nullptr;
}

template <typename T>
std::shared_ptr<T> lookup(Handle handle) {
  std::shared_lock<std::shared_mutex> lk(state().tableLock);
  std::size_t slot;
  if (!slotOf(handle, &slot)) return nullptr;
  return std::dynamic_pointer_cast<T>(state().handles[slot]);
}

// lookup for a service's argument: a handle that is unknown or of another
// kind leaves ERROR_INVALID_HANDLE.
template <typename T>
std::shared_ptr<T> argument(Handle handle) {
  auto object = lookup<T>(handle);
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
    bool eventless = false;
    {
      std::lock_guard<std::mutex> lk(file_->lock);
      if (done) return;
      done = true;
      // A driver cannot report more than the buffer holds.
      Dword limit = kind_ == hosted::RequestKind::Write ? inputSize_ : outputSize_;
      status_ = status;
      bytes_ = std::min(bytes, limit);
      if (overlapped_ != nullptr) {
        storeField(overlapped_->InternalHigh, bytes_);
        storeField(overlapped_->Internal, encodeStatus(status_));
        eventless = !event_;
      }
      // Set before the request counts as done: a caller that sees it done
      // without waiting goes on to its next request on the same event, whose
      // start clears the event, and a late set here would signal that one.
      if (event_) event_->set(true);
      if (blocked != nullptr) blocked->notify();
      if (!cancelled) {
        auto it = file_->live.find(sequence);
        self = std::move(it->second);
        file_->live.erase(it);
      }
    }
    if (eventless) {
      { std::lock_guard<std::mutex> lk(state().eventlessLock); }
      state().eventlessCompleted.notify_all();
    }
  }

  // Guarded by the file's lock.
  bool done = false;
  bool inSubmit = true;
  bool cancelRequested = false;  // a cancel arrived while the driver was in submit
  bool cancelled = false;
  Waiter* blocked = nullptr;   // the issuer, waiting in a blocking call
  std::uint64_t sequence = 0;  // its key in the file's live requests
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

// The calling thread's mutexes, as it ends.
void abandonOwned(Dword thread) {
  if (t_owned == nullptr) return;
  for (const auto& mutex : *t_owned) {
    std::lock_guard<std::mutex> lk(mutex->lock);
    if (mutex->owner != thread) continue;
    mutex->owner = 0;
    mutex->count = 0;
    mutex->abandoned = true;
    mutex->changedLocked();
  }
  delete t_owned;
  t_owned = nullptr;
}

// As on the platform, a thread's end cancels the I/O it has pending and
// abandons the mutexes it holds, before its handle is signalled. Runs on the
// ending thread.
void threadEnded(Dword thread, Thread* object, Dword exitCode) {
  std::vector<std::pair<std::shared_ptr<File>, std::shared_ptr<RequestImpl>>> pending;
  {
    std::shared_lock<std::shared_mutex> lk(state().tableLock);
    for (auto& handle : state().handles) {
      auto file = std::dynamic_pointer_cast<File>(handle);
      if (!file) continue;
      std::lock_guard<std::mutex> fileLock(file->lock);
      for (auto& [raw, request] : file->live) {
        if (!request->done && request->issuer() == thread) pending.emplace_back(file, request);
      }
    }
  }
  for (auto& [file, request] : pending) cancelRequest(*file, request);
  abandonOwned(thread);
  if (object != nullptr) {
    std::lock_guard<std::mutex> lk(object->lock);
    object->exitCode = exitCode;
    object->done = true;
    object->changedLocked();
  }
}

bool issue(Handle device, hosted::RequestKind kind, Dword code, const void* input, Dword inputSize,
           void* output, Dword outputSize, Dword* bytes, Overlapped* overlapped) {
  std::shared_ptr<File> file = argument<File>(device);
  if (!file) return false;
  std::shared_ptr<Event> event;
  if (overlapped != nullptr) {
    if (overlapped->hEvent != nullptr) {
      event = argument<Event>(overlapped->hEvent);
      if (!event) return false;
    }
  }
  auto request = std::make_shared<RequestImpl>(file.get(), kind, code, input, inputSize, output,
                                               outputSize, overlapped, event);
  {
    std::lock_guard<std::mutex> lk(file->lock);
    if (file->closed) {
      t_lastError = kErrorInvalidHandle;
      return false;
    }
    // As on the platform: the event is cleared when the request starts.
    if (event) event->set(false);
    if (overlapped != nullptr) {
      storeField(overlapped->Internal, kStatusPending);
      storeField(overlapped->InternalHigh, 0);
    }
    request->sequence = ++file->issued;
    file->live[request->sequence] = request;
  }

  file->device->submit(*request);

  bool cancelNow;
  {
    std::lock_guard<std::mutex> lk(file->lock);
    request->inSubmit = false;
    cancelNow = request->cancelRequested && !request->done;
  }
  if (cancelNow) cancelRequest(*file, request);

  // Without a record, or on a handle opened without the overlapped flag, the
  // caller waits for the driver.
  bool blocking = overlapped == nullptr || !file->overlapped;
  std::unique_lock<std::mutex> lk(file->lock);
  if (blocking && !request->done) {
    Waiter waiter;
    request->blocked = &waiter;
    while (!request->done) {
      lk.unlock();
      waiter.sleep(true, {});
      waiter.clear();
      lk.lock();
    }
    request->blocked = nullptr;
  }
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

// Takes the first of objects that can be taken, in their order; false when
// none can. With waiter, registers it on each object that it is not yet
// registered on: *registered counts them, a prefix of objects.
bool tryObjects(const std::vector<std::shared_ptr<Waitable>>& objects, Waiter* waiter,
                std::size_t* registered, Dword* result) {
  for (std::size_t i = 0; i < objects.size(); ++i) {
    std::lock_guard<std::mutex> lk(objects[i]->lock);
    Dword r;
    if (objects[i]->tryAcquireLocked(&r)) {
      *result = r + static_cast<Dword>(i);
      return true;
    }
    if (waiter != nullptr && i == *registered) {
      objects[i]->waiters.push_back(waiter);
      ++*registered;
    }
  }
  return false;
}

// Waits until one of objects can be taken; the result as
// WaitForMultipleObjects gives it. It sleeps until an object it waits on
// changes or the time is up, and never wakes for anything else.
Dword waitFor(const std::vector<std::shared_ptr<Waitable>>& objects, Dword milliseconds) {
  Dword result = kWaitTimeout;
  std::size_t registered = 0;
  if (milliseconds == 0) {
    tryObjects(objects, nullptr, &registered, &result);
    return result;
  }
  const bool endless = milliseconds == kInfinite;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  Waiter waiter;
  for (;;) {
    // Cleared before the look: a change after it wakes the sleep below.
    waiter.clear();
    if (tryObjects(objects, &waiter, &registered, &result)) break;
    if (!endless && state().virtualClock) {
      advanceVirtual(milliseconds);
      break;
    }
    if (!waiter.sleep(endless, deadline)) {
      // The time is up: one more look, as a wait that ends as the object is
      // signalled takes it.
      tryObjects(objects, nullptr, &registered, &result);
      break;
    }
  }
  for (std::size_t i = 0; i < registered; ++i) {
    std::lock_guard<std::mutex> lk(objects[i]->lock);
    auto& list = objects[i]->waiters;
    list.erase(std::find(list.begin(), list.end(), &waiter));
  }
  return result;
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
  {
    std::unique_lock<std::shared_mutex> lk(state().tableLock);
    std::size_t slot;
    if (!slotOf(handle, &slot)) {
      t_lastError = kErrorInvalidHandle;
      return false;
    }
    object = std::move(state().handles[slot]);
    state().freeSlots.push_back(slot);
  }
  if (auto file = std::dynamic_pointer_cast<File>(object)) {
    std::vector<std::shared_ptr<RequestImpl>> pending;
    {
      std::lock_guard<std::mutex> lk(file->lock);
      file->closed = true;
      for (auto& [raw, request] : file->live) {
        if (!request->done) pending.push_back(request);
      }
    }
    // Closing a device handle ends every request still pending on it,
    // whichever thread issued it.
    for (auto& request : pending) cancelRequest(*file, request);
  }
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
  if (loadField(overlapped->Internal) == kStatusPending) {
    if (!wait) {
      t_lastError = kErrorIoIncomplete;
      return false;
    }
    auto event = overlapped->hEvent != nullptr ? lookup<Event>(overlapped->hEvent) : nullptr;
    if (event) {
      // The platform waits on the record's event, and so takes an auto-reset
      // event's signal: the completion sets it after the status is stored.
      std::vector<std::shared_ptr<Waitable>> objects{event};
      do {
        waitFor(objects, kInfinite);
      } while (loadField(overlapped->Internal) == kStatusPending);
    } else {
      State& s = state();
      std::unique_lock<std::mutex> lk(s.eventlessLock);
      s.eventlessCompleted.wait(lk,
                                [&] { return loadField(overlapped->Internal) != kStatusPending; });
    }
  }
  if (bytesTransferred != nullptr) {
    *bytesTransferred = static_cast<Dword>(loadField(overlapped->InternalHigh));
  }
  Dword status = decodeStatus(loadField(overlapped->Internal));
  if (status != kErrorSuccess) {
    t_lastError = status;
    return false;
  }
  return true;
}

bool CancelIo(Handle device) {
  std::shared_ptr<File> file = argument<File>(device);
  if (!file) return false;
  std::vector<std::shared_ptr<RequestImpl>> mine;
  {
    std::lock_guard<std::mutex> lk(file->lock);
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

bool SetEvent(Handle event) {
  auto e = argument<Event>(event);
  if (!e) return false;
  e->set(true);
  return true;
}

bool ResetEvent(Handle event) {
  auto e = argument<Event>(event);
  if (!e) return false;
  e->set(false);
  return true;
}

Handle CreateMutex(bool initialOwner) {
  auto mutex = std::make_shared<Mutex>();
  if (initialOwner) {
    std::lock_guard<std::mutex> lk(mutex->lock);
    Dword ignored;
    mutex->tryAcquireLocked(&ignored);
  }
  return insert(std::move(mutex));
}

bool ReleaseMutex(Handle mutex) {
  auto m = argument<Mutex>(mutex);
  if (!m) return false;
  std::lock_guard<std::mutex> lk(m->lock);
  if (m->count == 0 || m->owner != currentThreadId()) {
    t_lastError = kErrorNotOwner;
    return false;
  }
  if (--m->count == 0) {
    t_owned->erase(std::find(t_owned->begin(), t_owned->end(), m));
    m->owner = 0;
    m->changedLocked();
  }
  return true;
}

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
  auto waitable = lookup<Waitable>(object);
  if (!waitable) {
    t_lastError = kErrorInvalidHandle;
    return kWaitFailed;
  }
  return waitFor({std::move(waitable)}, milliseconds);
}

Dword WaitForMultipleObjects(Dword count, const Handle* objects, bool waitAll, Dword milliseconds) {
  if (count == 0 || count > kMaximumWaitObjects || objects == nullptr || waitAll) {
    t_lastError = kErrorInvalidParameter;
    return kWaitFailed;
  }
  std::vector<std::shared_ptr<Waitable>> waitables;
  waitables.reserve(count);
  for (Dword i = 0; i < count; ++i) {
    waitables.push_back(lookup<Waitable>(objects[i]));
    if (!waitables.back()) {
      t_lastError = kErrorInvalidHandle;
      return kWaitFailed;
    }
  }
  return waitFor(waitables, milliseconds);
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
  auto t = lookup<Thread>(thread);
  if (!t || exitCode == nullptr) {
    t_lastError = t ? kErrorInvalidParameter : kErrorInvalidHandle;
    return false;
  }
  std::lock_guard<std::mutex> lk(t->lock);
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
  std::lock_guard<std::mutex> lk(s.clockLock);
  if (enabled && !s.virtualClock) s.virtualMicroseconds = realMicroseconds();
  s.virtualClock = enabled;
}

bool virtualClock() { return state().virtualClock; }

void setVirtualTick(Dword tick) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.clockLock);
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
