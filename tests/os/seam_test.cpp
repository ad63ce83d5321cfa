// SPDX-License-Identifier: MIT
// Kernel-service semantics that the library relies on, run against each
// backend: events, mutexes, threads, the last error, the tick, and overlapped
// I/O with cancel on a device whose reads stay pending.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "os.h"
#include "pending_device.h"

namespace vkm470::os {
namespace {

Dword VKM470_OS_THREADAPI runBody(void* body) {
  (*static_cast<std::function<void()>*>(body))();
  return 0;
}

// A seam thread running body; joined (and its handle closed) on destruction.
class Worker {
 public:
  explicit Worker(std::function<void()> body) : body_(std::move(body)) {
    handle_ = CreateThread(runBody, &body_, nullptr);
  }
  ~Worker() { join(); }
  void join() {
    if (handle_ == nullptr) return;
    EXPECT_EQ(WaitForSingleObject(handle_, kInfinite), kWaitObject0);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  std::function<void()> body_;
  Handle handle_;
};

void onOtherThread(std::function<void()> body) { Worker(std::move(body)).join(); }

// --- events ---

TEST(Events, AutoResetReleasesExactlyOneWait) {
  for (bool initial : {true, false}) {
    SCOPED_TRACE(initial ? "created signalled" : "set after creation");
    Handle event = CreateEvent(false, initial);
    ASSERT_NE(event, nullptr);
    if (!initial) {
      EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);
      ASSERT_TRUE(SetEvent(event));
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);
    CloseHandle(event);
  }
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  Handle event = CreateEvent(true, false);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(event, 0), kWaitObject0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);
  CloseHandle(event);
}

TEST(Events, InfiniteWaitWakesWhenAnotherThreadSets) {
  Handle ping = CreateEvent(false, false);
  Handle pong = CreateEvent(false, false);
  Dword seen = kWaitFailed;
  Worker worker([&] {
    seen = WaitForSingleObject(ping, kInfinite);
    SetEvent(pong);
  });
  SetEvent(ping);
  EXPECT_EQ(WaitForSingleObject(pong, kInfinite), kWaitObject0);
  worker.join();
  EXPECT_EQ(seen, kWaitObject0);
  CloseHandle(ping);
  CloseHandle(pong);
}

TEST(Events, TimedWaitEndsAfterItsTime) {
  Handle event = CreateEvent(false, false);
  Dword start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event, 40), kWaitTimeout);
  Dword elapsed = GetTickCount() - start;
  // The platform tick moves in steps of up to 16 ms.
  EXPECT_GE(elapsed, 40u - 16u);
  EXPECT_LT(elapsed, 5000u);
  CloseHandle(event);
}

// A wait on several objects takes the first signalled one in their order,
// and only that one; a blocked one wakes for whichever is set.
TEST(Events, WaitOnSeveralTakesTheFirstSignalledOnly) {
  Handle events[] = {CreateEvent(false, false), CreateEvent(false, false)};
  EXPECT_EQ(WaitForMultipleObjects(2, events, false, 0), kWaitTimeout);
  ASSERT_TRUE(SetEvent(events[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, events, false, 0), kWaitObject0 + 1);
  ASSERT_TRUE(SetEvent(events[0]));
  ASSERT_TRUE(SetEvent(events[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, events, false, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(events[1], 0), kWaitObject0);

  Dword seen = kWaitFailed;
  Worker worker([&] { seen = WaitForMultipleObjects(2, events, false, kInfinite); });
  ASSERT_TRUE(SetEvent(events[1]));
  worker.join();
  EXPECT_EQ(seen, kWaitObject0 + 1);

  // An abandoned mutex among them says so, with its place.
  Handle both[] = {events[0], CreateMutex(false)};
  onOtherThread([&] { EXPECT_EQ(WaitForSingleObject(both[1], 0), kWaitObject0); });
  EXPECT_EQ(WaitForMultipleObjects(2, both, false, kInfinite), kWaitAbandoned + 1);
  EXPECT_TRUE(ReleaseMutex(both[1]));
  for (Handle h : {events[0], events[1], both[1]}) CloseHandle(h);
}

TEST(Handles, NullHandleIsRefusedWithInvalidHandle) {
  struct Case {
    const char* call;
    std::function<bool()> fails;
  };
  const Case cases[] = {
      {"WaitForSingleObject", [] { return WaitForSingleObject(nullptr, 0) == kWaitFailed; }},
      {"SetEvent", [] { return !SetEvent(nullptr); }},
      {"ReleaseMutex", [] { return !ReleaseMutex(nullptr); }},
      {"CloseHandle", [] { return !CloseHandle(nullptr); }},
      {"CancelIo", [] { return !CancelIo(nullptr); }},
      {"ReadFile",
       [] {
         char byte;
         Dword n;
         return !ReadFile(nullptr, &byte, 1, &n, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    SetLastError(0);
    EXPECT_TRUE(c.fails());
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  }
}

// --- mutexes ---

// Whether another thread finds the mutex held, or can take (and give back) it.
void expectHeldElsewhere(Handle mutex) {
  onOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), kWaitTimeout); });
}

void expectFreeElsewhere(Handle mutex) {
  onOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), kWaitObject0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  });
}

TEST(Mutexes, InitialOwnerHoldsItUntilRelease) {
  Handle mutex = CreateMutex(true);
  ASSERT_NE(mutex, nullptr);
  expectHeldElsewhere(mutex);
  ASSERT_TRUE(ReleaseMutex(mutex));
  expectFreeElsewhere(mutex);
  CloseHandle(mutex);
}

TEST(Mutexes, OwnerReentersAndReleasesAsOftenAsItTook) {
  Handle mutex = CreateMutex(false);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(mutex, kInfinite), kWaitObject0);
  ASSERT_TRUE(ReleaseMutex(mutex));
  expectHeldElsewhere(mutex);
  ASSERT_TRUE(ReleaseMutex(mutex));
  expectFreeElsewhere(mutex);
  CloseHandle(mutex);
}

TEST(Mutexes, ReleaseWithoutOwnershipFails) {
  Handle mutex = CreateMutex(false);
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), kErrorNotOwner);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), kWaitObject0);
  onOtherThread([&] {
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), kErrorNotOwner);
  });
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST(Mutexes, EndingOwnerAbandonsItToTheNextWaiter) {
  Handle mutex = CreateMutex(false);
  onOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), kWaitObject0); });
  EXPECT_EQ(WaitForSingleObject(mutex, kInfinite), kWaitAbandoned);
  // The abandoned wait handed ownership over.
  onOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), kWaitTimeout); });
  ASSERT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), kWaitObject0);
  ASSERT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST(Mutexes, BlockedWaiterTakesTheMutexFromAnEndingOwner) {
  Handle mutex = CreateMutex(false);
  Handle held = CreateEvent(false, false);
  Handle finish = CreateEvent(false, false);
  Worker owner([&] {
    WaitForSingleObject(mutex, kInfinite);
    SetEvent(held);
    WaitForSingleObject(finish, kInfinite);
  });
  ASSERT_EQ(WaitForSingleObject(held, kInfinite), kWaitObject0);
  Dword seen = kWaitFailed;
  Worker waiter([&] {
    seen = WaitForSingleObject(mutex, kInfinite);
    ReleaseMutex(mutex);
  });
  SetEvent(finish);
  waiter.join();
  EXPECT_EQ(seen, kWaitAbandoned);
  owner.join();
  CloseHandle(mutex);
  CloseHandle(held);
  CloseHandle(finish);
}

// --- threads and the thread state ---

Dword VKM470_OS_THREADAPI doubleIt(void* value) {
  *static_cast<int*>(value) *= 2;
  return 42;
}

TEST(Threads, RunWithTheirParameterAndSignalTheirEnd) {
  int value = 21;
  Dword id = 0;
  Handle thread = CreateThread(doubleIt, &value, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(thread, kInfinite), kWaitObject0);
  EXPECT_EQ(value, 42);
  Dword code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), kWaitObject0);
  CloseHandle(thread);
}

Dword VKM470_OS_THREADAPI waitForGate(void* gate) {
  WaitForSingleObject(static_cast<Handle>(gate), kInfinite);
  return 7;
}

TEST(Threads, RunningThreadReportsStillActive) {
  Handle gate = CreateEvent(true, false);
  Handle thread = CreateThread(waitForGate, gate, nullptr);
  Dword code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, kStillActive);
  EXPECT_EQ(WaitForSingleObject(thread, 0), kWaitTimeout);
  SetEvent(gate);
  ASSERT_EQ(WaitForSingleObject(thread, kInfinite), kWaitObject0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  CloseHandle(gate);
}

TEST(Threads, LastErrorBelongsToEachThread) {
  SetLastError(5);
  onOtherThread([] {
    SetLastError(7);
    EXPECT_EQ(GetLastError(), 7u);
  });
  EXPECT_EQ(GetLastError(), 5u);
}

TEST(Clock, TickAdvancesOverASleep) {
  Dword start = GetTickCount();
  Sleep(40);
  Dword elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 40u - 16u);
  EXPECT_LT(elapsed, 5000u);
}

// --- overlapped I/O ---

class Overlapping : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = testing::makePendingDevice();
    handle_ = device_->open(true);
    ASSERT_NE(handle_, invalidHandle()) << GetLastError();
    ASSERT_NE(handle_, nullptr);
    event_ = CreateEvent(false, true);
    overlapped_ = Overlapped{};
    overlapped_.hEvent = event_;
  }
  void TearDown() override {
    if (handle_ != invalidHandle()) CloseHandle(handle_);
    CloseHandle(event_);
  }

  // Starts a read that the device leaves pending.
  void startPendingRead(Overlapped* overlapped) {
    Dword n = 123;
    SetLastError(0);
    ASSERT_FALSE(ReadFile(handle_, buffer_, sizeof buffer_, &n, overlapped));
    ASSERT_EQ(GetLastError(), kErrorIoPending);
  }

  std::unique_ptr<testing::PendingDevice> device_;
  Handle handle_ = invalidHandle();
  Handle event_ = nullptr;
  Overlapped overlapped_{};
  char buffer_[16] = {};
};

TEST_F(Overlapping, ImmediateCompletionReturnsTrueAndSignalsTheEvent) {
  ResetEvent(event_);
  Dword n = 0;
  ASSERT_TRUE(WriteFile(handle_, "abc", 3, &n, &overlapped_));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(WaitForSingleObject(event_, 0), kWaitObject0);
  Dword result = 0;
  ASSERT_TRUE(GetOverlappedResult(handle_, &overlapped_, &result, false));
  EXPECT_EQ(result, 3u);
  EXPECT_EQ(device_->written(), "abc");
}

TEST_F(Overlapping, PendingReadCompletesWhenDataArrives) {
  // Starting the read clears the event, although it was created signalled.
  startPendingRead(&overlapped_);
  EXPECT_EQ(WaitForSingleObject(event_, 0), kWaitTimeout);
  Dword n = 99;
  EXPECT_FALSE(GetOverlappedResult(handle_, &overlapped_, &n, false));
  EXPECT_EQ(GetLastError(), kErrorIoIncomplete);

  device_->feed("wxyz");
  ASSERT_EQ(WaitForSingleObject(event_, kInfinite), kWaitObject0);
  ASSERT_TRUE(GetOverlappedResult(handle_, &overlapped_, &n, false));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buffer_, n), "wxyz");
}

TEST_F(Overlapping, WaitingForTheResultBlocksUntilCompletion) {
  startPendingRead(&overlapped_);
  Worker feeder([&] { device_->feed("late"); });
  Dword n = 0;
  ASSERT_TRUE(GetOverlappedResult(handle_, &overlapped_, &n, true));
  EXPECT_EQ(std::string(buffer_, n), "late");
}

TEST_F(Overlapping, CancelEndsOnlyTheCallingThreadsRequests) {
  startPendingRead(&overlapped_);
  onOtherThread([&] { EXPECT_TRUE(CancelIo(handle_)); });
  Dword n = 0;
  EXPECT_FALSE(GetOverlappedResult(handle_, &overlapped_, &n, false));
  EXPECT_EQ(GetLastError(), kErrorIoIncomplete);

  ASSERT_TRUE(CancelIo(handle_));
  ASSERT_EQ(WaitForSingleObject(event_, kInfinite), kWaitObject0);
  EXPECT_FALSE(GetOverlappedResult(handle_, &overlapped_, &n, false));
  EXPECT_EQ(GetLastError(), kErrorOperationAborted);
  EXPECT_EQ(n, 0u);

  // The handle goes on working, and the cancelled read took no data.
  device_->feed("next");
  Overlapped again{};
  again.hEvent = event_;
  ASSERT_TRUE(
      ReadFile(handle_, buffer_, 4, &n, &again) ||
      (GetLastError() == kErrorIoPending && GetOverlappedResult(handle_, &again, &n, true)));
  EXPECT_EQ(std::string(buffer_, n), "next");
}

TEST_F(Overlapping, RequestsOfOtherThreadsSurviveTheirCancel) {
  Overlapped theirs{};
  theirs.hEvent = CreateEvent(true, false);
  Handle issued = CreateEvent(false, false);
  Handle done = CreateEvent(false, false);
  char theirBuffer[4];
  Worker other([&] {
    Dword n;
    EXPECT_FALSE(ReadFile(handle_, theirBuffer, sizeof theirBuffer, &n, &theirs));
    EXPECT_EQ(GetLastError(), kErrorIoPending);
    SetEvent(issued);
    // Stays alive: a thread's end would cancel its requests.
    WaitForSingleObject(done, kInfinite);
  });
  ASSERT_EQ(WaitForSingleObject(issued, kInfinite), kWaitObject0);
  ASSERT_TRUE(CancelIo(handle_));
  Dword n = 0;
  EXPECT_FALSE(GetOverlappedResult(handle_, &theirs, &n, false));
  EXPECT_EQ(GetLastError(), kErrorIoIncomplete);
  device_->feed("ok");
  ASSERT_TRUE(GetOverlappedResult(handle_, &theirs, &n, true));
  EXPECT_EQ(std::string(theirBuffer, n), "ok");
  SetEvent(done);
  other.join();
  CloseHandle(theirs.hEvent);
  CloseHandle(issued);
  CloseHandle(done);
}

TEST_F(Overlapping, EndingThreadCancelsItsPendingRequests) {
  Overlapped theirs{};
  theirs.hEvent = CreateEvent(true, false);
  char theirBuffer[4];
  onOtherThread([&] {
    Dword n;
    EXPECT_FALSE(ReadFile(handle_, theirBuffer, sizeof theirBuffer, &n, &theirs));
    EXPECT_EQ(GetLastError(), kErrorIoPending);
  });
  ASSERT_EQ(WaitForSingleObject(theirs.hEvent, 10000), kWaitObject0);
  Dword n = 0;
  EXPECT_FALSE(GetOverlappedResult(handle_, &theirs, &n, false));
  EXPECT_EQ(GetLastError(), kErrorOperationAborted);
  CloseHandle(theirs.hEvent);
}

TEST_F(Overlapping, ClosingTheHandleEndsItsPendingRequests) {
  startPendingRead(&overlapped_);
  ASSERT_TRUE(CloseHandle(handle_));
  Handle closed = handle_;
  handle_ = invalidHandle();
  ASSERT_EQ(WaitForSingleObject(event_, 10000), kWaitObject0);
  // The device picks the failure (the seam's fakes abort, a pipe breaks).
  Dword n = 0;
  EXPECT_FALSE(GetOverlappedResult(closed, &overlapped_, &n, false));
  EXPECT_NE(GetLastError(), kErrorIoIncomplete);
  EXPECT_NE(GetLastError(), kErrorSuccess);
}

// Without a record, or on a handle opened without the overlapped flag, a call
// waits for the device and returns its result.
TEST(Synchronous, CallsWaitForTheDevice) {
  for (bool overlappedHandle : {true, false}) {
    SCOPED_TRACE(overlappedHandle ? "overlapped handle" : "plain handle");
    auto device = testing::makePendingDevice();
    Handle handle = device->open(overlappedHandle);
    ASSERT_NE(handle, invalidHandle()) << GetLastError();
    char buffer[8] = {};
    Dword n = 0;
    {
      Worker feeder([&] { device->feed("sync"); });
      ASSERT_TRUE(ReadFile(handle, buffer, 4, &n, nullptr)) << GetLastError();
    }
    EXPECT_EQ(std::string(buffer, n), "sync");
    ASSERT_TRUE(WriteFile(handle, "out", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(device->written(), "out");
    CloseHandle(handle);
  }
}

}  // namespace
}  // namespace vkm470::os
