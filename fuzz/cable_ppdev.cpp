// SPDX-License-Identifier: MIT
// The two drivers of the cable device side by side through the seam: the cable
// model as ALTLPT1 and the ppdev driver as ALTLPT2, over a stand-in for the
// ppdev system calls whose port lines drive a second virtual DataFlash the
// way the cable's do. The same requests go to both, through CreateFile,
// DeviceIoControl, ReadFile, WriteFile, CancelIo and CloseHandle, on handles
// opened with and without the overlapped flag, with and without an overlapped
// record and event.
//
// Each driver on its own: every request completes exactly once, inside its
// submit, with no more bytes than its buffer holds; the caller's view (result,
// last error, byte count, overlapped record, event, GetOverlappedResult)
// agrees with the completion. Against each other, as long as no fault made one
// side differ: the same results and answers, the same data and control
// registers, the same chip status, and the same chips at the end. They differ
// by design in two refusals: a port query with a short output buffer
// (insufficient buffer / invalid parameter), and a batch with an output buffer
// larger than its input, which only the cable accepts.
#include <errno.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cable.h"
#include "dataflash.h"
#include "fuzz.h"
#include "hosted.h"
#include "os.h"
#include "ppdev.h"
#include "watched.h"

namespace {

namespace os = vkm470::os;
namespace hosted = vkm470::os::hosted;
using os::Dword;
using os::Handle;
using vkm470::drivers::PpdevSystem;
using vkm470::fuzz::fail;
using vkm470::fuzz::Input;
using vkm470::fuzz::WatchedDriver;
using vkm470::sim::Cable;
using vkm470::sim::DataFlash;
using vkm470::sim::PageMode;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSck = 0x01;
constexpr std::uint8_t kSelect = 0x02;
constexpr std::uint8_t kSi = 0x40;

// ---- a parallel port under ppdev, wired to a chip as the cable is

class FakePort final : public PpdevSystem {
 public:
  explicit FakePort(DataFlash& chip) : chip_(chip) {}

  int open(const std::string&) override {
    if (openErrno != 0) return -std::exchange(openErrno, 0);
    const int fd = nextFd_++;
    fds_[fd] = false;
    return fd;
  }

  int ioctl(int fd, unsigned long request, void* argument) override {
    FUZZ_CHECK(fds_.count(fd) == 1, "ioctl on descriptor %d, which is not open", fd);
    if (failAfter == 0) {
      failAfter = -1;
      return -failErrno;
    }
    if (failAfter > 0) --failAfter;
    auto* byte = static_cast<unsigned char*>(argument);
    switch (request) {
      case PPEXCL:
        FUZZ_CHECK(!fds_[fd] && claimedBy_ != fd, "PPEXCL after the claim");
        fds_[fd] = true;
        return 0;
      case PPCLAIM:
        FUZZ_CHECK(fds_[fd], "the port is claimed without PPEXCL");
        if (claimedBy_ != -1) return -EBUSY;
        claimedBy_ = fd;
        return 0;
      case PPRELEASE:
        FUZZ_CHECK(claimedBy_ == fd, "PPRELEASE by descriptor %d, which holds no claim", fd);
        claimedBy_ = -1;
        return 0;
      case PPWDATA:
        FUZZ_CHECK(claimedBy_ == fd, "PPWDATA without the claim");
        putData(*byte);
        return 0;
      case PPWCONTROL:
        FUZZ_CHECK(claimedBy_ == fd, "PPWCONTROL without the claim");
        control = *byte;
        return 0;
      case PPRSTATUS:
        FUZZ_CHECK(claimedBy_ == fd, "PPRSTATUS without the claim");
        *byte = chip_.soHigh() ? 0x7F : 0xFF;
        return 0;
      default:
        fail("ioctl 0x%lX that the driver does not make", request);
    }
  }

  int close(int fd) override {
    FUZZ_CHECK(fds_.count(fd) == 1, "close of descriptor %d, which is not open", fd);
    // As the kernel does, the close ends a claim that a failed release left.
    if (claimedBy_ == fd) claimedBy_ = -1;
    fds_.erase(fd);
    return 0;
  }

  bool idle() const { return fds_.empty() && claimedBy_ == -1; }
  // The pages that a page program seen on the lines may have reached.
  const std::vector<std::uint32_t>& programmed() const { return programmed_; }

  std::uint8_t data = kSelect;
  std::uint8_t control = 0;
  int openErrno = 0;
  long failAfter = -1;  // the ioctl after this many more fails with failErrno
  int failErrno = EIO;

 private:
  void putData(std::uint8_t value) {
    watch(value);
    data = value;
    std::lock_guard<std::mutex> lock(chip_.mutex());
    chip_.setLines(value & kSelect, value & kSck, value & kSi);
  }

  // Follows the bytes of each select window far enough to see a page program
  // and its address.
  void watch(std::uint8_t value) {
    const bool selected = !(value & kSelect);
    if (selected && (data & kSelect)) {
      bits_ = 0;
      header_ = 0;
    } else if (selected && (value & kSck) && !(data & kSck) && bits_ < 32) {
      header_ = header_ << 1 | ((value & kSi) ? 1 : 0);
      ++bits_;
    } else if (!selected && !(data & kSelect) && bits_ == 32 &&
               header_ >> 24 == DataFlash::kBufferToPage) {
      const std::uint32_t address = header_ & 0xFFFFFF;
      for (std::uint32_t page : {address >> 9, address >> 10, (address >> 10) + 1})
        programmed_.push_back(page % DataFlash::kPages);
    }
  }

  DataFlash& chip_;
  std::map<int, bool> fds_;  // open descriptors, and whether PPEXCL was set on each
  int nextFd_ = 3;
  int claimedBy_ = -1;
  int bits_ = 0;
  std::uint32_t header_ = 0;
  std::vector<std::uint32_t> programmed_;
};

class PpdevDriver final : public hosted::Driver {
 public:
  explicit PpdevDriver(std::shared_ptr<FakePort> port) : port_(std::move(port)) {}
  std::unique_ptr<hosted::Device> open(Dword, Dword, Dword* error) override {
    return vkm470::drivers::openPpdev("/dev/parport-fuzz", error, port_);
  }

 private:
  std::shared_ptr<FakePort> port_;
};

// ---- one request, built once and issued on each side

struct Request {
  hosted::RequestKind kind = hosted::RequestKind::IoControl;
  Dword code = 0;
  Bytes input;
  Dword outputSize = 0;
  bool inPlace = false;  // a batch given one buffer for input and output
  bool overlapped = false;
  int event = 0;  // 0 none, 1 manual reset, 2 auto reset
  bool countBytes = true;
};

struct Outcome {
  bool result = false;
  Dword error = 0;
  Dword bytes = 0;
  Bytes output;
};

// The library's batch entries, and what it does with them: line writes,
// status reads, and whole bytes shifted out and in as the library shifts them.
void batchEntries(Input& in, Bytes& batch) {
  std::uint8_t latch = in.byte() & (kSck | kSelect | kSi);
  auto entry = [&](std::uint16_t op, std::uint16_t value) {
    batch.insert(batch.end(), {std::uint8_t(op), std::uint8_t(op >> 8), std::uint8_t(value),
                               std::uint8_t(value >> 8)});
  };
  const std::uint32_t steps = in.below(40);
  for (std::uint32_t step = 0; step < steps && batch.size() < 8192; ++step) {
    const std::uint8_t what = in.byte();
    switch (what % 8) {
      case 0:
        entry(Cable::kPutData, in.u16());
        break;
      case 1:
        entry(Cable::kGetStatus, in.u16());
        break;
      case 2:  // an entry the drivers do not know
        entry(in.u16(), in.u16());
        break;
      case 3:
      case 4: {  // one byte out, most significant bit first
        const std::uint8_t byte = in.byte();
        latch |= kSck | kSi;
        for (int bit = 7; bit >= 0; --bit) {
          latch = (byte >> bit) & 1 ? latch | kSi : latch & ~kSi;
          entry(Cable::kPutData, latch & ~kSck);
          entry(Cable::kPutData, latch | kSck);
        }
        latch |= kSck | kSi;
        break;
      }
      case 5:  // one byte in
        latch |= kSck | kSi;
        for (int bit = 0; bit < 8; ++bit) {
          entry(Cable::kPutData, latch & ~kSck);
          entry(Cable::kPutData, latch);
          entry(Cable::kGetStatus, 0);
        }
        break;
      case 6:
        latch &= ~kSelect;
        entry(Cable::kPutData, latch);
        break;
      default:
        latch |= kSelect;
        entry(Cable::kPutData, latch);
        break;
    }
  }
  // Now and then a batch that is not whole entries.
  if (!batch.empty() && in.below(16) == 0) batch.pop_back();
}

Request makeRequest(Input& in) {
  Request r;
  const std::uint8_t shape = in.byte();
  switch (shape % 8) {
    case 0:
      r.code = Cable::kPortQuery;
      r.outputSize = in.below(9);
      if (in.below(4) == 0) r.input.resize(in.below(9), 0x11);
      break;
    case 1:
    case 2: {
      r.code = Cable::kRegisterWrite;
      const std::uint32_t reg = in.below(8) == 0 ? in.u32() : in.below(4);
      const std::uint32_t value = in.below(8) == 0 ? in.u32() : in.byte();
      for (std::uint32_t word : {reg, value})
        for (int i = 0; i < 4; ++i) r.input.push_back(std::uint8_t(word >> (8 * i)));
      if (in.below(16) == 0) r.input.resize(in.below(12));
      if (in.below(8) == 0) r.outputSize = in.below(9);
      break;
    }
    case 3:
    case 4:
    case 5:
      r.code = Cable::kBatch;
      batchEntries(in, r.input);
      r.inPlace = in.below(4) != 0;
      r.outputSize = static_cast<Dword>(r.input.size());
      if (!r.inPlace && in.below(8) == 0) r.outputSize = in.below(r.outputSize + 9);
      break;
    case 6:
      r.code = in.below(2) == 0 ? in.u32() : 0x00160000u | (in.u16() & 0xFFFC);
      r.input.resize(in.below(9), 0x22);
      r.outputSize = in.below(9);
      break;
    default:
      r.kind = in.flag() ? hosted::RequestKind::Read : hosted::RequestKind::Write;
      if (r.kind == hosted::RequestKind::Write)
        r.input.resize(in.below(17), 0x33);
      else
        r.outputSize = in.below(17);
      break;
  }
  const std::uint8_t how = in.byte();
  r.overlapped = how & 1;
  r.event = (how >> 1) % 3;
  r.countBytes = (how & 8) == 0;
  return r;
}

// One side: the path of its driver and its handles.
struct Side {
  const char* path;
  Handle handles[2] = {os::invalidHandle(), os::invalidHandle()};
};

void checkBytes(const char* side, const Request& r, const Outcome& o) {
  const Dword limit = r.kind == hosted::RequestKind::Write
                          ? static_cast<Dword>(r.input.size())
                          : (r.inPlace ? static_cast<Dword>(r.input.size()) : r.outputSize);
  FUZZ_CHECK(o.bytes <= limit, "%s: %u bytes reported for a %u-byte buffer", side, o.bytes, limit);
  FUZZ_CHECK(o.result || o.error != os::kErrorSuccess, "%s: a failure with no error", side);
  FUZZ_CHECK(o.result || o.bytes == 0, "%s: a failed request moved %u bytes", side, o.bytes);
}

Outcome issue(const char* name, Handle handle, const Request& r) {
  Outcome o;
  Bytes input = r.input;
  Bytes separate(r.outputSize, 0xEE);
  void* output = r.inPlace ? static_cast<void*>(input.data()) : separate.data();
  const Dword outputSize = r.inPlace ? static_cast<Dword>(input.size()) : r.outputSize;
  if (outputSize == 0 && !r.inPlace) output = nullptr;
  const void* in = input.empty() ? nullptr : input.data();

  os::Overlapped record{};
  Handle event = nullptr;
  if (r.overlapped && r.event != 0) {
    event = os::CreateEvent(r.event == 1, false);
    FUZZ_CHECK(event != nullptr, "no event");
  }
  record.hEvent = event;
  os::Overlapped* overlapped = r.overlapped ? &record : nullptr;
  Dword count = 0xDEADBEEF;
  Dword* bytes = r.countBytes || overlapped == nullptr ? &count : nullptr;

  os::SetLastError(os::kErrorSuccess);
  switch (r.kind) {
    case hosted::RequestKind::IoControl:
      o.result = os::DeviceIoControl(handle, r.code, in, static_cast<Dword>(input.size()), output,
                                     outputSize, bytes, overlapped);
      break;
    case hosted::RequestKind::Read:
      o.result = os::ReadFile(handle, output, outputSize, bytes, overlapped);
      break;
    case hosted::RequestKind::Write:
      o.result = os::WriteFile(handle, in, static_cast<Dword>(input.size()), bytes, overlapped);
      break;
  }
  o.error = o.result ? os::kErrorSuccess : os::GetLastError();
  FUZZ_CHECK(o.error != os::kErrorIoPending, "%s: a request left pending", name);
  // A handle the seam does not know reaches no driver and leaves the count.
  const bool known = handle != os::invalidHandle() && o.error != os::kErrorInvalidHandle;
  o.bytes = bytes != nullptr && known ? count : 0;
  if (overlapped != nullptr && known) {
    // The record and the event tell the same story as the call.
    Dword again = 0;
    const bool result = os::GetOverlappedResult(handle, &record, &again, false);
    FUZZ_CHECK(result == o.result, "%s: GetOverlappedResult %d, the call %d", name, result,
               o.result);
    FUZZ_CHECK(result || os::GetLastError() == o.error, "%s: GetOverlappedResult error %u, %u",
               name, os::GetLastError(), o.error);
    if (bytes == nullptr) o.bytes = again;
    FUZZ_CHECK(again == o.bytes && record.InternalHigh == o.bytes,
               "%s: %u bytes from the call, %u from the record", name, o.bytes, again);
    if (event != nullptr) {
      FUZZ_CHECK(os::WaitForSingleObject(event, 0) == os::kWaitObject0,
                 "%s: the event is not signalled", name);
    }
  }
  if (event != nullptr) os::CloseHandle(event);
  checkBytes(name, r, o);
  if (o.result) {
    o.output = r.inPlace ? input : separate;
    o.output.resize(std::min<std::size_t>(o.output.size(), o.bytes));
  }
  return o;
}

// The known refusals that differ between the drivers.
bool differsByDesign(const Request& r) {
  if (r.kind != hosted::RequestKind::IoControl) return false;
  if (r.code == Cable::kPortQuery) return r.outputSize < 4;
  if (r.code == Cable::kBatch) return !r.inPlace && r.outputSize > r.input.size();
  return false;
}

void compare(const Request& r, const Outcome& cable, const Outcome& ppdev, bool* diverged) {
  if (differsByDesign(r)) {
    FUZZ_CHECK(!ppdev.result, "ppdev took a request it refuses by design");
    // The cable may have moved lines the other side did not.
    if (cable.result) *diverged = true;
    return;
  }
  FUZZ_CHECK(cable.result == ppdev.result, "cable %s (%u), ppdev %s (%u)",
             cable.result ? "succeeded" : "failed", cable.error,
             ppdev.result ? "succeeded" : "failed", ppdev.error);
  FUZZ_CHECK(cable.error == ppdev.error, "cable error %u, ppdev error %u", cable.error,
             ppdev.error);
  FUZZ_CHECK(cable.bytes == ppdev.bytes, "cable %u bytes, ppdev %u bytes", cable.bytes,
             ppdev.bytes);
  if (cable.output != ppdev.output) {
    std::size_t i = 0;
    while (i + 1 < cable.output.size() && cable.output[i] == ppdev.output[i]) ++i;
    fail("answers differ at byte %zu: cable 0x%02X, ppdev 0x%02X", i, cable.output[i],
         ppdev.output[i]);
  }
}

// The two chips; made again when a fault may have left them different.
struct Chips {
  std::unique_ptr<DataFlash> cable, ppdev;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint64_t now = 0;
  static const DataFlash::Clock clock = [] { return now; };
  static Chips chips;
  if (!chips.cable) {
    hosted::setVirtualClock(true);
    chips.cable = std::make_unique<DataFlash>(clock);
    chips.ppdev = std::make_unique<DataFlash>(clock);
  }
  auto cable = std::make_shared<Cable>(std::shared_ptr<DataFlash>(chips.cable.get(), [](auto*) {}));
  auto port = std::make_shared<FakePort>(*chips.ppdev);
  hosted::registerDevice("ALTLPT1", std::make_shared<WatchedDriver>(cable, true));
  hosted::registerDevice(
      "ALTLPT2", std::make_shared<WatchedDriver>(std::make_shared<PpdevDriver>(port), true));
  Side sides[2] = {{"\\\\.\\ALTLPT1"}, {"\\\\.\\ALTLPT2"}};
  static const char* const kNames[2] = {"cable", "ppdev"};
  bool diverged = false;
  bool busyEver = false;

  Input in(data, size);
  while (in.more()) {
    const std::uint8_t op = in.byte();
    const int slot = (op >> 4) & 1;
    switch (op % 8) {
      case 0: {  // open
        const bool overlapped = op & 0x20;
        Handle opened[2];
        Dword errors[2];
        for (int s = 0; s < 2; ++s) {
          if (sides[s].handles[slot] != os::invalidHandle()) {
            os::CloseHandle(sides[s].handles[slot]);
            sides[s].handles[slot] = os::invalidHandle();
          }
          os::SetLastError(0);
          opened[s] = os::CreateFile(
              sides[s].path, os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting,
              overlapped ? os::kFileFlagOverlapped : os::kFileAttributeNormal);
          errors[s] = opened[s] == os::invalidHandle() ? os::GetLastError() : 0;
          sides[s].handles[slot] = opened[s];
        }
        if (!diverged) {
          FUZZ_CHECK(errors[0] == errors[1], "open: cable error %u, ppdev error %u", errors[0],
                     errors[1]);
        }
        break;
      }
      case 1:  // close
        for (Side& side : sides) {
          if (side.handles[slot] == os::invalidHandle()) continue;
          FUZZ_CHECK(os::CloseHandle(side.handles[slot]), "close failed");
          side.handles[slot] = os::invalidHandle();
        }
        break;
      case 2:
      case 3:
      case 4: {  // a request on both sides
        const Request r = makeRequest(in);
        Outcome outcomes[2];
        for (int s = 0; s < 2; ++s) outcomes[s] = issue(kNames[s], sides[s].handles[slot], r);
        if (!diverged) compare(r, outcomes[0], outcomes[1], &diverged);
        break;
      }
      case 5:  // cancel: nothing is pending, so nothing reaches a driver
        for (Side& side : sides) {
          if (side.handles[slot] != os::invalidHandle())
            FUZZ_CHECK(os::CancelIo(side.handles[slot]), "CancelIo failed");
        }
        break;
      case 6:
        now += in.u16();
        break;
      default: {  // a fault under ppdev: the two sides part ways
        const std::uint8_t kind = in.byte();
        static constexpr int kErrnos[] = {ENOENT, EACCES, EBUSY, EIO, ENODEV, EPERM, ENXIO, EINVAL};
        const int e = kErrnos[kind % 8];
        if (kind & 0x80) {
          // An open that fails in the system call says why.
          port->openErrno = e;
          const Handle probe = os::CreateFile(sides[1].path, os::kGenericRead | os::kGenericWrite,
                                              0, os::kOpenExisting, os::kFileAttributeNormal);
          FUZZ_CHECK(probe == os::invalidHandle(), "the port opened when its open failed");
          FUZZ_CHECK(os::GetLastError() == os::hosted::errorFromErrno(e),
                     "open failed with %u for errno %d", os::GetLastError(), e);
        } else {
          port->failAfter = in.below(64);
          port->failErrno = e;
          diverged = true;
        }
        break;
      }
    }
    if (!diverged) {
      FUZZ_CHECK(cable->dataRegister() == port->data, "data register 0x%02X on the cable, 0x%02X",
                 cable->dataRegister(), port->data);
      FUZZ_CHECK(cable->controlRegister() == port->control, "control register differs");
      FUZZ_CHECK(chips.cable->status() == chips.ppdev->status(), "chip status differs");
    }
    for (auto& chip : {chips.cable.get(), chips.ppdev.get()})
      if (!(chip->status() & 0x80)) busyEver = true;
  }

  for (Side& side : sides)
    for (Handle& handle : side.handles)
      if (handle != os::invalidHandle()) FUZZ_CHECK(os::CloseHandle(handle), "close failed");
  FUZZ_CHECK(port->idle(), "ppdev left a descriptor open or the port claimed");
  Dword error = 0;
  FUZZ_CHECK(cable->open(0, 0, &error) != nullptr, "the cable stayed open");
  hosted::unregisterDevice("ALTLPT1");
  hosted::unregisterDevice("ALTLPT2");

  // The select line goes high on both chips, which may end a command; then
  // every page a program may have reached is compared and erased again.
  for (auto& chip : {chips.cable.get(), chips.ppdev.get()}) {
    {
      std::lock_guard<std::mutex> lock(chip->mutex());
      chip->setLines(true, true, true);
    }
    if (!(chip->status() & 0x80)) busyEver = true;
  }
  std::vector<std::uint32_t> pages = port->programmed();
  pages.push_back(0);
  now += 1'000'000;
  if (diverged && busyEver) {
    chips = Chips{};
    return 0;
  }
  Bytes a(DataFlash::kPageBytes), b(DataFlash::kPageBytes);
  for (auto& chip : {chips.cable.get(), chips.ppdev.get()}) chip->forcePageMode(PageMode::Standard);
  for (std::uint32_t page : pages) {
    FUZZ_CHECK(chips.cable->read(page << 10, a.data(), a.size()) &&
                   chips.ppdev->read(page << 10, b.data(), b.size()),
               "page %u could not be read", page);
    FUZZ_CHECK(diverged || a == b, "page %u differs between the chips", page);
    for (auto& chip : {chips.cable.get(), chips.ppdev.get()})
      for (std::uint32_t offset = 0; offset < DataFlash::kPageBytes; ++offset)
        chip->poke(page, offset, 0xFF);
  }
  for (auto& chip : {chips.cable.get(), chips.ppdev.get()}) chip->pageToBuffer(0);
  now += 1'000'000;
  return 0;
}
