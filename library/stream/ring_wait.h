// SPDX-License-Identifier: MIT
// A wait for the other side of a byte ring to move bytes: an event count.
// The waiter announces itself, looks at the ring once more, and only then
// waits on an event; the other side, once it has published its total, sets
// the event only when a waiter is announced. Bytes published between the
// waiter's look and its wait are therefore never missed, and a side that moves
// bytes while no one waits pays one uncontended atomic operation. A wait thus
// needs no bound of its own: it ends when the other side moves, when the
// caller's deadline passes, or when a stop notifies it.
//
// One waiter at a time: a ring has one consumer and one producer.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "os/os.h"

namespace vkm470::stream {

// Without an event (none could be created) a wait cannot be woken, so it
// sleeps this long at most and the caller looks again.
constexpr os::Dword kRingPollMs = 5;

class RingWait {
 public:
  RingWait() : event_(os::CreateEvent(false, false)) {}
  ~RingWait() {
    if (event_ != nullptr) os::CloseHandle(event_);
  }
  RingWait(const RingWait&) = delete;
  RingWait& operator=(const RingWait&) = delete;

  // Returns once ready() holds, once the other side has notified since the
  // announcement, or after at most boundMs (os::kInfinite: no bound): the
  // caller looks again.
  template <typename Ready>
  void wait(Ready ready, os::Dword boundMs) {
    if (event_ == nullptr) {
      os::Sleep(std::min(boundMs, kRingPollMs));
      return;
    }
    waiting_.exchange(1, std::memory_order_acq_rel);
    if (!ready()) os::WaitForSingleObject(event_, boundMs);
    waiting_.exchange(0, std::memory_order_acq_rel);
  }

  // The other side, after publishing its total: wakes the waiter, if any.
  void notify() {
    // A read-modify-write, not a plain load: a load could be served before
    // the total's store is visible, so that the waiter's second look misses
    // the bytes while this misses the waiter. Every access to waiting_ is a
    // read-modify-write, so either this one sees the announcement or the
    // announcement reads what this one wrote, and with it the total.
    if (waiting_.fetch_or(0, std::memory_order_acq_rel) != 0) os::SetEvent(event_);
  }

 private:
  // Its own line: written by the waiter, touched by the other side's every move.
  alignas(64) std::atomic<std::uint32_t> waiting_{0};
  os::Handle event_;
};

}  // namespace vkm470::stream
