// SPDX-License-Identifier: MIT
// The USB firmware model's request stream through the seam: control requests
// of every code with any setup and data stage, the information query, bulk
// writes and reads left pending on the loop-back, cancels, closes, second
// opens and the faults (time-out, failure, short answer, unplugging), all
// overlapped on one thread. A model of the module's documented behaviour (the
// program running, refusals, the answers, the DSP mailbox, a copy of the flash,
// the loop-back's bounded buffer and its queues) says after every step which
// requests have ended, with what status, byte count and data; the driver side
// is watched so that each request completes exactly once within its buffer.
#include "usb_module.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataflash.h"
#include "fuzz.h"
#include "hosted.h"
#include "os.h"
#include "vkm470_byte_order.h"
#include "watched.h"

namespace {

namespace os = vkm470::os;
namespace hosted = vkm470::os::hosted;
using os::Dword;
using os::Handle;
using vkm470::fuzz::fail;
using vkm470::fuzz::Input;
using vkm470::fuzz::WatchedDriver;
using vkm470::sim::DataFlash;
using vkm470::sim::PageMode;
using vkm470::sim::UsbModule;
using Fault = UsbModule::Fault;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uintptr_t kPending = 0x103;
constexpr Dword kNotConnected = UsbModule::kErrorDeviceNotConnected;
constexpr std::uint32_t kFlashBytes = DataFlash::kPages * 512;

// ---- the caller side: requests in flight and what each must end with

struct Expected {
  Dword status = 0;
  Dword bytes = 0;
  Bytes data;  // what an IN stage or a read must hold
  bool checkData = false;
};

struct Transfer {
  int handle;  // the slot it was sent on
  hosted::RequestKind kind;
  Bytes setup;
  Bytes buffer;
  os::Overlapped record{};
  bool ended = false;       // seen ended by the caller
  bool modelEnded = false;  // ended according to the model
  Expected expected;
  std::uint32_t id = 0;
};

// ---- the model

struct PendingWrite {
  Transfer* transfer;
  std::uint32_t moved;
};

class Model {
 public:
  Model(std::uint32_t type, std::size_t loopBack) : type_(type), capacity_(loopBack) {}

  // State.
  bool plugged = true;
  bool open = false;
  std::uint64_t session = 0;
  std::uint16_t program = UsbModule::kOtherProgram;
  bool binary = false;
  bool stuckBusy = false;
  Bytes flash = Bytes(kFlashBytes, 0xFF);
  std::vector<std::uint32_t> touchedPages;
  Fault fault = Fault::None;
  std::uint64_t answersBeforeFault = 0;
  unsigned resets = 0, streams = 0;

  void end(Transfer& t, Dword status, Dword bytes) {
    t.modelEnded = true;
    t.expected.status = status;
    t.expected.bytes = bytes;
  }

  bool openHandle(std::uint64_t* handleSession, Dword* error) {
    if (!plugged) {
      *error = os::kErrorFileNotFound;
      return false;
    }
    if (open) {
      *error = os::kErrorSharingViolation;
      return false;
    }
    open = true;
    *handleSession = ++session;
    program = UsbModule::kOtherProgram;
    ring_.clear();
    return true;
  }
  void closeHandle(std::uint64_t handleSession) {
    cancelAll(handleSession);
    if (session == handleSession) open = false;
  }
  // Every pending request of the handle ends, aborted with what it moved.
  void cancelAll(std::uint64_t handleSession) {
    if (handleSession != session) return;  // unplugging ended them already
    for (auto* queue : {&reads_, &writes_, &stalled_}) {
      for (auto it = queue->begin(); it != queue->end();) {
        end(*it->transfer, os::kErrorOperationAborted, it->moved);
        it = queue->erase(it);
      }
    }
  }

  void setFault(Fault f, std::uint64_t after) {
    fault = f;
    answersBeforeFault = after;
    if (f == Fault::Unplugged) {
      if (after == 0 && plugged) unplug();
    } else if (!plugged) {
      plugged = true;
      program = UsbModule::kOtherProgram;
      ring_.clear();
      mailbox_.clear();
    }
  }

  void information(Transfer& t, std::uint64_t handleSession) {
    if (!current(handleSession)) return end(t, kNotConnected, 0);
    if (t.buffer.size() < UsbModule::kInformationBytes)
      return end(t, os::kErrorInsufficientBuffer, 0);
    Bytes block(UsbModule::kInformationBytes, 0);
    block[0] = UsbModule::kInformationBytes;
    for (int i = 0; i < 4; ++i) block[36 + i] = std::uint8_t(type_ >> (8 * i));
    t.expected.data = block;
    t.expected.checkData = true;
    end(t, os::kErrorSuccess, UsbModule::kInformationBytes);
  }

  void control(Transfer& t, std::uint64_t handleSession) {
    if (t.setup.size() != 8) return end(t, os::kErrorInvalidParameter, 0);
    if (!current(handleSession)) return end(t, kNotConnected, 0);
    Fault shown = Fault::None;
    if (fault != Fault::None) {
      if (answersBeforeFault > 0) {
        --answersBeforeFault;
      } else {
        shown = fault;
      }
    }
    if (shown == Fault::Unplugged) {
      unplug();
      return end(t, kNotConnected, 0);
    }
    if (shown == Fault::TimeOut) {
      stalled_.push_back({&t, 0});
      return;
    }
    if (shown == Fault::FailAtOnce) return end(t, os::kErrorGenFailure, 0);
    serve(t);
    if (shown == Fault::ShortAnswer && t.expected.status == os::kErrorSuccess &&
        t.expected.bytes != 0)
      --t.expected.bytes;
  }

  void bulk(Transfer& t, std::uint64_t handleSession) {
    const bool read = t.kind == hosted::RequestKind::Read;
    if (!current(handleSession)) return end(t, kNotConnected, 0);
    if (program != UsbModule::kApplication) return end(t, os::kErrorGenFailure, 0);
    if (t.buffer.empty()) return end(t, os::kErrorSuccess, 0);
    (read ? reads_ : writes_).push_back({&t, 0});
    pump();
  }

  void cancel(Transfer& t) {
    for (auto* queue : {&reads_, &writes_, &stalled_}) {
      for (auto it = queue->begin(); it != queue->end(); ++it) {
        if (it->transfer != &t) continue;
        end(t, os::kErrorOperationAborted, it->moved);
        queue->erase(it);
        return;
      }
    }
  }

 private:
  bool current(std::uint64_t handleSession) const { return plugged && handleSession == session; }

  void unplug() {
    plugged = false;
    open = false;
    ++session;
    for (auto* queue : {&reads_, &writes_, &stalled_}) {
      for (const PendingWrite& p : *queue) end(*p.transfer, kNotConnected, p.moved);
      queue->clear();
    }
  }

  // Reads take what is buffered, then straight from the queued writes; what
  // no read wants goes into the bounded buffer.
  void pump() {
    while (!reads_.empty() && (!ring_.empty() || !writes_.empty())) {
      Transfer& read = *reads_.front().transfer;
      Bytes got;
      while (got.size() < read.buffer.size() && !ring_.empty()) {
        got.push_back(ring_.front());
        ring_.pop_front();
      }
      while (got.size() < read.buffer.size() && !writes_.empty()) {
        PendingWrite& w = writes_.front();
        while (got.size() < read.buffer.size() && w.moved < w.transfer->buffer.size())
          got.push_back(w.transfer->buffer[w.moved++]);
        if (w.moved == w.transfer->buffer.size()) {
          end(*w.transfer, os::kErrorSuccess, w.moved);
          writes_.pop_front();
        }
      }
      read.expected.data = got;
      read.expected.checkData = true;
      end(read, os::kErrorSuccess, static_cast<Dword>(got.size()));
      reads_.pop_front();
    }
    while (!writes_.empty() && ring_.size() < capacity_) {
      PendingWrite& w = writes_.front();
      while (ring_.size() < capacity_ && w.moved < w.transfer->buffer.size())
        ring_.push_back(w.transfer->buffer[w.moved++]);
      if (w.moved != w.transfer->buffer.size()) break;
      end(*w.transfer, os::kErrorSuccess, w.moved);
      writes_.pop_front();
    }
  }

  // An IN stage: the answer cut or zero-padded to the stage.
  void answer(Transfer& t, const std::uint8_t* bytes = nullptr, std::size_t n = 0) {
    Bytes stage(t.buffer.size(), 0);
    for (std::size_t i = 0; i < n && i < stage.size(); ++i) stage[i] = bytes[i];
    t.expected.data = stage;
    t.expected.checkData = true;
  }

  void serve(Transfer& t) {
    auto word = [&](int i) { return vkm470::byte_order::loadLe16(&t.setup[2 * i]); };
    const std::uint16_t direction = word(0), request = word(1), value = word(2), index = word(3);
    const auto length = static_cast<Dword>(t.buffer.size());
    const bool in = direction == 1;
    const bool application = program == UsbModule::kApplication;
    auto refuse = [&] { end(t, os::kErrorGenFailure, 0); };
    auto whole = [&] { end(t, os::kErrorSuccess, length); };
    if (direction > 1) return refuse();
    switch (request) {
      case UsbModule::kName: {
        if (!in) return refuse();
        static const char kName[] = "VKM470";
        answer(t, reinterpret_cast<const std::uint8_t*>(kName), sizeof kName);
        return whole();
      }
      case UsbModule::kCallApplication:
        if (length != 0) return refuse();
        program = value;
        return whole();
      case UsbModule::kDescriptor:
        if (!in || application || value != 0x2FF0 || index != 0x8300) return refuse();
        answer(t, UsbModule::kDescriptorRecord.data(), UsbModule::kDescriptorRecord.size());
        return whole();
      case UsbModule::kStream:
      case UsbModule::kResetDsp:
        if (!application || length != 0) return refuse();
        ++(request == UsbModule::kStream ? streams : resets);
        return whole();
      case UsbModule::kDspCommand: {
        if (!application || length > 4096) return refuse();
        const std::uint32_t key = std::uint32_t{value} << 16 | index;
        if (!in) {
          mailbox_[key] = t.buffer;
        } else {
          const auto it = mailbox_.find(key);
          if (it == mailbox_.end())
            answer(t);
          else
            answer(t, it->second.data(), it->second.size());
        }
        return whole();
      }
      case UsbModule::kFlashWrite:
      case UsbModule::kFlashRead: {
        const std::uint32_t address = value | std::uint32_t{index} << 16;
        if (!application || in != (request == UsbModule::kFlashRead) || length > 4096 ||
            address > kFlashBytes || length > kFlashBytes - address || stuckBusy)
          return refuse();
        if (in) {
          answer(t, flash.data() + address, length);
        } else {
          std::copy(t.buffer.begin(), t.buffer.end(), flash.begin() + address);
          for (std::uint32_t a = address; a < address + length; a += 512)
            touchedPages.push_back(a / 512);
          if (length != 0) touchedPages.push_back((address + length - 1) / 512);
        }
        return whole();
      }
      case UsbModule::kSpecial:
        if (!application) return refuse();
        if (index == UsbModule::kSpecialBinaryPages) {
          if (stuckBusy) return refuse();
          binary = true;
          if (in) answer(t);
          return whole();
        }
        if (index == UsbModule::kSpecialInformation) {
          if ((!in && length != 0) || stuckBusy) return refuse();
          const std::uint8_t block[8] = {
              std::uint8_t(0x80 | 0x2C | (binary ? 1 : 0)), 0x00, 0x00, 0xFF, 0x1F, 0x26, 0, 0};
          answer(t, block, sizeof block);
          return whole();
        }
        return refuse();
      default:
        return refuse();
    }
  }

  const std::uint32_t type_;
  const std::size_t capacity_;
  std::deque<std::uint8_t> ring_;
  std::list<PendingWrite> reads_, writes_, stalled_;
  std::map<std::uint32_t, Bytes> mailbox_;
};

// Control requests the library and the fuzzer send.
Bytes setupFor(Input& in) {
  static constexpr std::uint16_t kCodes[] = {
      UsbModule::kStream,     UsbModule::kDspCommand, UsbModule::kSpecial,
      UsbModule::kFlashWrite, UsbModule::kFlashRead,  UsbModule::kName,
      UsbModule::kResetDsp,   UsbModule::kDescriptor, UsbModule::kCallApplication};
  const std::uint8_t how = in.byte();
  std::uint16_t direction = how & 1;
  if ((how & 0x0E) == 0) direction = in.u16();
  const std::uint16_t request = (how & 0xF0) == 0 ? in.u16() : kCodes[(how >> 4) % 9];
  std::uint16_t value = in.u16(), index = in.u16();
  if (request == UsbModule::kDescriptor && (how & 2)) {
    value = 0x2FF0;
    index = 0x8300;
  }
  if (request == UsbModule::kCallApplication && (how & 2)) value = 0;
  if (request == UsbModule::kSpecial && (how & 2)) index = 1 + (how & 4 ? 1 : 0);
  if ((request == UsbModule::kFlashWrite || request == UsbModule::kFlashRead) && (how & 2))
    index &= 0x1F;
  Bytes setup;
  for (std::uint16_t w : {direction, request, value, index}) {
    setup.push_back(std::uint8_t(w));
    setup.push_back(std::uint8_t(w >> 8));
  }
  return setup;
}

struct Slot {
  Handle handle = os::invalidHandle();
  std::uint64_t session = 0;
};

class Run {
 public:
  Run(DataFlash& chip, std::uint32_t type, std::size_t loopBack)
      : chip_(chip),
        module_(std::make_shared<UsbModule>(std::shared_ptr<DataFlash>(&chip, [](DataFlash*) {}),
                                            type, loopBack)),
        model_(type, loopBack) {
    hosted::registerDevice("QDev0", std::make_shared<WatchedDriver>(module_, false));
  }
  ~Run() { hosted::unregisterDevice("QDev0"); }

  void step(Input& in) {
    const std::uint8_t op = in.byte();
    const int slot = (op >> 4) & 1;
    switch (op % 9) {
      case 0:
        open(slot);
        break;
      case 1:
        close(slot);
        break;
      case 2:
      case 3:
        control(slot, in);
        break;
      case 4:
        bulk(slot, in, hosted::RequestKind::Write);
        break;
      case 5:
        bulk(slot, in, hosted::RequestKind::Read);
        break;
      case 6:
        cancel(slot);
        break;
      case 7: {
        Transfer& t = start(slot, hosted::RequestKind::IoControl, {}, in.below(100));
        issue(t, UsbModule::kInformation);
        model_.information(t, slots_[slot].session);
        break;
      }
      default: {
        const std::uint8_t what = in.byte();
        if (what & 1) {
          model_.stuckBusy = (what & 2) != 0;
          chip_.setStuckBusy(model_.stuckBusy);
        } else {
          const auto fault = static_cast<Fault>((what >> 1) % 5);
          const std::uint64_t after = in.below(8);
          module_->setFault(fault, after);
          model_.setFault(fault, after);
        }
        break;
      }
    }
    compare();
  }

  void finish() {
    for (int slot = 0; slot < 2; ++slot) close(slot);
    compare();
    FUZZ_CHECK(module_->dspResets() == model_.resets && module_->streamRequests() == model_.streams,
               "%u DSP resets and %u stream requests, expected %u and %u", module_->dspResets(),
               module_->streamRequests(), model_.resets, model_.streams);
    const bool binary = chip_.pageMode() == PageMode::Binary;
    FUZZ_CHECK(binary == model_.binary, "page mode differs");
    // The pages written, against the copy, then erased again for the next input.
    chip_.setStuckBusy(false);
    os::Sleep(100);
    Bytes page(512);
    std::vector<std::uint32_t>& pages = model_.touchedPages;
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    for (std::uint32_t p : pages) {
      FUZZ_CHECK(chip_.read(binary ? p << 9 : p << 10, page.data(), page.size()),
                 "page %u could not be read", p);
      if (!std::equal(page.begin(), page.end(), model_.flash.begin() + p * 512))
        fail("page %u differs from the copy", p);
      for (std::uint32_t offset = 0; offset < DataFlash::kPageBytes; ++offset)
        chip_.poke(p, offset, 0xFF);
    }
    chip_.forcePageMode(PageMode::Standard);
    chip_.pageToBuffer(0);
    os::Sleep(100);
  }

 private:
  void open(int slot) {
    close(slot);
    const Handle handle = os::CreateFile("\\\\.\\QDev0", os::kGenericRead | os::kGenericWrite, 0,
                                         os::kOpenExisting, os::kFileFlagOverlapped);
    const Dword error = handle == os::invalidHandle() ? os::GetLastError() : 0;
    std::uint64_t session = 0;
    Dword expectedError = 0;
    const bool expected = model_.openHandle(&session, &expectedError);
    FUZZ_CHECK(expected == (handle != os::invalidHandle()), "open %s, expected %s",
               handle != os::invalidHandle() ? "succeeded" : "failed",
               expected ? "success" : "a failure");
    FUZZ_CHECK(error == expectedError, "open failed with %u, expected %u", error, expectedError);
    if (expected) slots_[slot] = {handle, session};
  }

  void close(int slot) {
    if (slots_[slot].handle == os::invalidHandle()) return;
    FUZZ_CHECK(os::CloseHandle(slots_[slot].handle), "close failed");
    model_.closeHandle(slots_[slot].session);
    // Requests of a closed handle are done with; their records stay readable.
    compare();
    for (auto it = transfers_.begin(); it != transfers_.end();)
      it = it->handle == slot ? transfers_.erase(it) : std::next(it);
    slots_[slot] = {};
  }

  void cancel(int slot) {
    if (slots_[slot].handle == os::invalidHandle()) return;
    FUZZ_CHECK(os::CancelIo(slots_[slot].handle), "CancelIo failed");
    for (Transfer& t : transfers_)
      if (t.handle == slot && !t.modelEnded) model_.cancel(t);
  }

  Transfer& start(int slot, hosted::RequestKind kind, Bytes setup, std::uint32_t size) {
    Transfer& t = transfers_.emplace_back();
    t.handle = slot;
    t.kind = kind;
    t.setup = std::move(setup);
    t.buffer.assign(size, 0xEE);
    t.id = nextId_++;
    return t;
  }

  void issue(Transfer& t, Dword code) {
    const Handle handle = slots_[t.handle].handle;
    if (handle == os::invalidHandle()) {
      // Nothing to send it on; it never starts.
      t.ended = t.modelEnded = true;
      return;
    }
    bool done = false;
    Dword bytes = 0;
    switch (t.kind) {
      case hosted::RequestKind::IoControl:
        done = os::DeviceIoControl(handle, code, t.setup.data(), static_cast<Dword>(t.setup.size()),
                                   t.buffer.empty() ? nullptr : t.buffer.data(),
                                   static_cast<Dword>(t.buffer.size()), &bytes, &t.record);
        break;
      case hosted::RequestKind::Read:
        done = os::ReadFile(handle, t.buffer.data(), static_cast<Dword>(t.buffer.size()), &bytes,
                            &t.record);
        break;
      case hosted::RequestKind::Write:
        done = os::WriteFile(handle, t.buffer.data(), static_cast<Dword>(t.buffer.size()), &bytes,
                             &t.record);
        break;
    }
    const Dword error = done ? 0 : os::GetLastError();
    FUZZ_CHECK(done || error != 0, "a failure without an error");
    FUZZ_CHECK((error == os::kErrorIoPending) == (t.record.Internal == kPending),
               "the call says %u, the record %s", error,
               t.record.Internal == kPending ? "pending" : "ended");
  }

  void control(int slot, Input& in) {
    Bytes setup = setupFor(in);
    if (in.below(32) == 0) setup.resize(in.below(12));
    const std::uint32_t size = in.below(4) == 0 ? in.below(4200) : in.below(20);
    Transfer& t = start(slot, hosted::RequestKind::IoControl, std::move(setup), size);
    const std::uint8_t seed = in.byte();
    for (std::uint32_t i = 0; i < size; ++i) t.buffer[i] = std::uint8_t(seed + 3 * i);
    issue(t, UsbModule::kControl);
    if (slots_[slot].handle != os::invalidHandle()) model_.control(t, slots_[slot].session);
  }

  void bulk(int slot, Input& in, hosted::RequestKind kind) {
    const std::uint32_t size = in.below(700);
    Transfer& t = start(slot, kind, {}, size);
    if (kind == hosted::RequestKind::Write)
      for (std::uint32_t i = 0; i < size; ++i) t.buffer[i] = std::uint8_t(t.id * 29 + i);
    issue(t, 0);
    if (slots_[slot].handle != os::invalidHandle()) model_.bulk(t, slots_[slot].session);
  }

  // Each request in flight: ended exactly when the model says, as it says.
  void compare() {
    for (Transfer& t : transfers_) {
      if (t.ended) continue;
      const bool ended = t.record.Internal != kPending;
      FUZZ_CHECK(ended == t.modelEnded, "request %u %s, the model has it %s", t.id,
                 ended ? "ended" : "pending", t.modelEnded ? "ended" : "pending");
      if (!ended) continue;
      t.ended = true;
      Dword bytes = 0;
      const bool ok = os::GetOverlappedResult(slots_[t.handle].handle, &t.record, &bytes, false);
      const Dword status = ok ? 0 : os::GetLastError();
      FUZZ_CHECK(status == t.expected.status && bytes == t.expected.bytes,
                 "request %u ended with %u and %u bytes, expected %u and %u bytes", t.id, status,
                 bytes, t.expected.status, t.expected.bytes);
      if (t.expected.checkData && status == 0) {
        const Bytes got(
            t.buffer.begin(),
            t.buffer.begin() + std::min<std::size_t>(t.buffer.size(), t.expected.data.size()));
        if (got != t.expected.data) fail("request %u: the data differs", t.id);
      }
    }
  }

  DataFlash& chip_;
  std::shared_ptr<UsbModule> module_;
  Model model_;
  Slot slots_[2];
  std::list<Transfer> transfers_;
  std::uint32_t nextId_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One chip for every input, its written pages erased again after each.
  static DataFlash* const chip = [] {
    hosted::setVirtualClock(true);
    return new DataFlash;
  }();
  Input in(data, size);
  const std::uint8_t shape = in.byte();
  const std::uint32_t type = shape & 1 ? in.u32() : UsbModule::kModuleType;
  const std::size_t loopBack = 1 + in.below(shape & 2 ? 4096 : 64);
  Run run(*chip, type, loopBack);
  while (in.more()) run.step(in);
  run.finish();
  return 0;
}
