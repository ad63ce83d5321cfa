// SPDX-License-Identifier: MIT
#include "stream/threads.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>

namespace vkm470::stream {

namespace {

os::Dword VKM470_OS_THREADAPI ThreadEntry(void* object) {
  static_cast<TThread*>(object)->Execute();
  return 0;
}

bool isNone(os::Handle handle) { return handle == nullptr || handle == os::invalidHandle(); }

template <typename T>
std::unique_ptr<T[]> allocate(std::size_t count, std::size_t unit = 1) {
  if (unit != 0 && count > std::numeric_limits<std::size_t>::max() / sizeof(T) / unit) {
    throw std::bad_alloc();
  }
  // Not the throwing new: a sanitizer's ends the program instead of throwing.
  T* storage = new (std::nothrow) T[count * unit];
  if (storage == nullptr) throw std::bad_alloc();
  return std::unique_ptr<T[]>(storage);
}

std::size_t slotCount(std::int32_t blockCount) {
  return blockCount > 0 ? std::size_t(blockCount) : 0;
}

// A transfer that could not be started leaves its slot without one: the record
// is cleared so that shutdown finds it finished.
void clearFailedStart(os::Overlapped& slot) {
  const os::Handle event = slot.hEvent;
  slot = os::Overlapped{};
  slot.hEvent = event;
}

}  // namespace

TThread::TThread() : handle(os::invalidHandle()), stopped(1) {}

TThread::~TThread() {
  Stop();
  WaitFor();
}

void TThread::Execute() {}

os::Handle TThread::Start() {
  if (running()) Stop();
  // Also a thread that stopped itself and was not waited for: it may still be
  // in its loop, and two threads must never share the slots.
  WaitFor();
  stopped.store(0, std::memory_order_relaxed);
  handle = os::CreateThread(ThreadEntry, this, nullptr);
  if (isNone(handle)) {
    handle = os::invalidHandle();
    stopped.store(1, std::memory_order_relaxed);
  }
  return handle;
}

void TThread::Stop() { stopped.store(1, std::memory_order_relaxed); }

void TThread::WaitFor() {
  if (!isNone(handle) && os::WaitForSingleObject(handle, os::kInfinite) == os::kWaitObject0) {
    os::CloseHandle(handle);
  }
  handle = os::invalidHandle();
}

TFIFOThread::TFIFOThread(os::Handle device, std::int32_t blockCount, std::uint32_t blockSize,
                         std::uint32_t fifoSize)
    : device(device),
      blockSize(blockSize),
      blockCount(blockCount),
      blocks(allocate<std::uint8_t>(slotCount(blockCount), blockSize)),
      slots(allocate<os::Overlapped>(slotCount(blockCount))),
      fifo(std::make_unique<TFIFO_BASE_BYTE>(std::max(fifoSize, blockSize))),
      stopEvent(os::CreateEvent(true, false)) {}

TFIFOThread::~TFIFOThread() {
  Stop();
  WaitFor();
  if (stopEvent != nullptr) os::CloseHandle(stopEvent);
}

bool TFIFOThread::setUpSlots() {
  // A stop that came before this thread began has already set stopped, which
  // the loop tests before its first wait.
  if (stopEvent != nullptr) os::ResetEvent(stopEvent);
  if (blockCount < 1) return false;
  for (std::int32_t i = 0; i < blockCount; ++i) {
    slots[i] = os::Overlapped{};
    slots[i].hEvent = os::CreateEvent(false, true);
    if (slots[i].hEvent == nullptr) {
      while (i-- > 0) {
        os::CloseHandle(slots[i].hEvent);
        slots[i].hEvent = nullptr;
      }
      return false;
    }
  }
  return true;
}

void TFIFOThread::shutDown() {
  os::CancelIo(device);
  for (std::int32_t i = 0; i < blockCount; ++i) {
    // A cancelled transfer still owns its buffer, record and event until it
    // completes; a slot with none in flight reads as finished at once.
    os::Dword bytes = 0;
    os::GetOverlappedResult(device, &slots[i], &bytes, true);
    os::CloseHandle(slots[i].hEvent);
    slots[i].hEvent = nullptr;
  }
}

bool TFIFOThread::slotFinished(std::int32_t i) {
  if (stopEvent == nullptr) {
    return os::WaitForSingleObject(slots[i].hEvent, kSlotWaitMs) == os::kWaitObject0;
  }
  // The slot first: of a transfer that completes as the stop comes, the
  // result is taken (and the stop seen on the next pass).
  const os::Handle events[] = {slots[i].hEvent, stopEvent};
  return os::WaitForMultipleObjects(2, events, false, os::kInfinite) == os::kWaitObject0;
}

void TFIFOThread::Stop() {
  TThread::Stop();
  if (stopEvent != nullptr) os::SetEvent(stopEvent);
  dataWait.notify();
  roomWait.notify();
}

template <typename Ready>
bool TFIFOThread::waitUntil(RingWait& wait, Ready ready) {
  while (!ready()) {
    wait.wait([&] { return ready() || !running(); }, os::kInfinite);
    if (!running()) return false;
  }
  return true;
}

TReadFIFOThread::TReadFIFOThread(os::Handle device, std::int32_t blockCount,
                                 std::uint32_t blockSize, std::uint32_t fifoSize)
    : TFIFOThread(device, blockCount, blockSize & ~(kTransferUnit - 1), fifoSize) {}

TReadFIFOThread::~TReadFIFOThread() {
  Stop();
  WaitFor();
}

void TReadFIFOThread::Execute() {
  if (!setUpSlots()) {
    Stop();
    return;
  }
  std::int32_t i = 0;
  while (running()) {
    if (!slotFinished(i)) continue;
    os::Dword received = 0;
    if (!os::GetOverlappedResult(device, &slots[i], &received, false)) Stop();
    if (received > 0 && running() &&
        waitUntil(roomWait, [&] { return fifo->GetWriteFree() >= received; })) {
      fifo->Write(block(i), received);
      dataWait.notify();
    }
    // Re-armed even after a stop; shutdown cancels it.
    if (!os::ReadFile(device, block(i), blockSize, nullptr, &slots[i]) &&
        os::GetLastError() != os::kErrorIoPending) {
      clearFailedStart(slots[i]);
      Stop();
    }
    i = (i + 1) % blockCount;
  }
  shutDown();
}

TWriteFIFOThread::TWriteFIFOThread(os::Handle device, std::int32_t blockCount,
                                   std::uint32_t blockSize, std::uint32_t fifoSize)
    : TFIFOThread(device, blockCount, blockSize, fifoSize),
      carried_(allocate<os::Dword>(slotCount(blockCount))) {}

TWriteFIFOThread::~TWriteFIFOThread() {
  Stop();
  WaitFor();
}

void TWriteFIFOThread::Execute() {
  if (!setUpSlots()) {
    Stop();
    return;
  }
  std::fill_n(carried_.get(), blockCount, 0);
  std::int32_t i = 0;
  while (running()) {
    if (!slotFinished(i)) continue;
    // A write that took fewer bytes than it carried lost the rest: that ends
    // the stream as a failed transfer does.
    os::Dword sent = 0;
    if (!os::GetOverlappedResult(device, &slots[i], &sent, false) || sent != carried_[i]) Stop();
    if (!running()) break;
    std::uint32_t ready = 0;
    if (!waitUntil(dataWait, [&] { return (ready = fifo->GetReadReady()) >= kTransferUnit; })) {
      break;
    }
    const std::uint32_t n = std::min(blockSize, ready) & ~(kTransferUnit - 1);
    fifo->Read(block(i), n);
    roomWait.notify();
    carried_[i] = n;
    if (!os::WriteFile(device, block(i), n, nullptr, &slots[i]) &&
        os::GetLastError() != os::kErrorIoPending) {
      clearFailedStart(slots[i]);
      Stop();
    }
    i = (i + 1) % blockCount;
  }
  shutDown();
}

}  // namespace vkm470::stream
