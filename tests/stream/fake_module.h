// SPDX-License-Identifier: MIT
// A module for the stream tests on the hosted seam, registered under a QDevN
// name: it answers control requests (recording their codes, failing chosen
// ones), and holds bulk reads and writes for the test to complete, fail or
// leave pending, or loops written bytes back to reads as the firmware does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hosted.h"

namespace streamtest {

namespace os = vkm470::os;
namespace hosted = vkm470::os::hosted;

enum class Writes {
  Take,      // complete at once with every byte, kept in taken
  Short,     // complete at once one unit (512 bytes) short, the rest kept
  Refuse,    // refused at once: the write call itself fails
  Hold,      // left pending until the test completes them or they are cancelled
  LoopBack,  // into the loop-back buffer; held while it is full
};

enum class Reads {
  Hold,      // left pending until the test completes them or they are cancelled
  Refuse,    // refused at once: the read call itself fails
  LoopBack,  // from the loop-back buffer as soon as it has bytes
};

struct ModuleState {
  std::mutex lock;
  std::condition_variable changed;
  Writes writes = Writes::Take;
  Reads reads = Reads::Hold;
  bool completesCancels = false;               // cancel only parks; releaseCancelled ends them
  std::set<std::uint16_t> failing;             // control request codes that fail
  std::vector<std::uint16_t> control;          // codes of the control requests seen
  std::vector<std::size_t> inFlightAtControl;  // bulk transfers held when each came
  std::deque<hosted::Request*> heldReads, heldWrites, cancelled;
  std::vector<os::Dword> writeSizes;  // length of every write submitted
  std::string taken;                  // bytes that writes delivered
  std::uint64_t readsSubmitted = 0, cancels = 0;
  // Loop-back buffer: bytes written, not yet read.
  std::vector<std::uint8_t> loop;
  std::size_t loopHead = 0, loopCount = 0;
  std::uint64_t writeOffset = 0;  // bytes of the oldest held write already taken
};

class FakeModule final : public hosted::Driver {
 public:
  explicit FakeModule(std::size_t loopBackBytes = 256 * 1024);
  std::unique_ptr<hosted::Device> open(os::Dword access, os::Dword share,
                                       os::Dword* error) override;

  // Runs change with the state locked, then wakes waiters.
  void set(const std::function<void(ModuleState&)>& change);
  // Waits (10 s at most) until ready holds on the locked state.
  bool waitUntil(const std::function<bool(ModuleState&)>& ready);
  template <typename T>
  T get(const std::function<T(ModuleState&)>& read) {
    std::lock_guard<std::mutex> lk(state_->lock);
    return read(*state_);
  }

  // Completes the held read at position index (0: the oldest) with data.
  void completeRead(std::size_t index, const std::string& data);
  void failRead(std::size_t index, os::Dword error);
  // Completes the held write at position index with bytes taken, or fails it.
  void completeWrite(std::size_t index, os::Dword bytes);
  void failWrite(std::size_t index, os::Dword error);
  // Completes every cancelled request that the driver parked, as aborted.
  void releaseCancelled();

 private:
  std::shared_ptr<ModuleState> state_;
};

}  // namespace streamtest
