// SPDX-License-Identifier: MIT
#include "usb_module.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "vkm470_byte_order.h"

namespace vkm470::sim {

namespace {

using byte_order::loadLe16;
using byte_order::storeLe32;
using os::Dword;
using os::hosted::Request;
using os::hosted::RequestKind;

constexpr std::uint8_t kStatusReady = 0x80;
constexpr std::uint8_t kStatusBinaryPages = 0x01;
constexpr std::uint32_t kFlashPageBytes = 512;
constexpr std::uint32_t kFlashBytes = DataFlash::kPages * kFlashPageBytes;
// How long the firmware waits for a busy chip before it gives the request up.
constexpr std::uint64_t kReadyTimeoutMicroseconds = 5'000'000;
constexpr char kNameText[] = "VKM470";  // sent with its zero byte

std::array<std::uint8_t, 208> makeDescriptor() {
  std::array<std::uint8_t, 208> d{};
  d[0] = 208;
  d[3] = 0x01;
  std::memcpy(&d[4], "VKM470", 6);
  std::memcpy(&d[20], "virtual module", 14);
  return d;
}

// An IN stage takes exactly length bytes: the answer cut or zero-padded.
void answerInto(std::uint8_t* stage, Dword length, const std::uint8_t* answer, std::size_t n) {
  const std::size_t copied = std::min<std::size_t>(length, n);
  std::copy_n(answer, copied, stage);
  std::fill(stage + copied, stage + length, std::uint8_t{0});
}

struct Setup {
  std::uint16_t direction;
  std::uint16_t request;
  std::uint16_t value;
  std::uint16_t index;
};

struct Answer {
  Dword status;
  Dword bytes;
};

constexpr Answer kRefused{os::kErrorGenFailure, 0};

// ---- the firmware's side of the chip

bool waitReady(DataFlash& chip) {
  const std::uint64_t start = os::hosted::nowMicroseconds();
  while (!(chip.status() & kStatusReady)) {
    if (os::hosted::nowMicroseconds() - start >= kReadyTimeoutMicroseconds) return false;
    os::Sleep(1);
  }
  return true;
}

// The chip address of a byte among the first 512 of a page, in the chip's mode.
std::uint32_t chipAddress(bool binary, std::uint32_t page, std::uint32_t offset) {
  return binary ? page << 9 | offset : page << 10 | offset;
}

bool flashWrite(DataFlash& chip, std::uint32_t address, const std::uint8_t* data,
                std::uint32_t length) {
  if (!waitReady(chip)) return false;
  const bool binary = chip.status() & kStatusBinaryPages;
  while (length > 0) {
    const std::uint32_t offset = address % kFlashPageBytes;
    const std::uint32_t piece = std::min(length, kFlashPageBytes - offset);
    const std::uint32_t at = chipAddress(binary, address / kFlashPageBytes, offset);
    // The program erases the whole page: a page written in part (in standard
    // mode every page, whose last 16 bytes are not ours) is first copied into
    // the buffer so that its other bytes survive.
    if (!binary || piece != kFlashPageBytes) {
      if (!chip.pageToBuffer(at) || !waitReady(chip)) return false;
    }
    if (!chip.programPage(at, data, piece) || !waitReady(chip)) return false;
    address += piece;
    data += piece;
    length -= piece;
  }
  return true;
}

bool flashRead(DataFlash& chip, std::uint32_t address, std::uint8_t* out, std::uint32_t length) {
  if (!waitReady(chip)) return false;
  const bool binary = chip.status() & kStatusBinaryPages;
  while (length > 0) {
    const std::uint32_t offset = address % kFlashPageBytes;
    const std::uint32_t piece = std::min(length, kFlashPageBytes - offset);
    if (!chip.read(chipAddress(binary, address / kFlashPageBytes, offset), out, piece))
      return false;
    address += piece;
    out += piece;
    length -= piece;
  }
  return true;
}

bool flashInformation(DataFlash& chip, std::array<std::uint8_t, 8>& block) {
  if (!waitReady(chip)) return false;
  block[0] = chip.status();
  const std::array<std::uint8_t, 4> id = chip.id();
  std::copy(id.begin(), id.end(), block.begin() + 4);
  return chip.readRegister(DataFlash::kProtectionRead, &block[1], 1) &&
         chip.readRegister(DataFlash::kLockdownRead, &block[2], 1) &&
         chip.readRegister(DataFlash::kSecurityRead, &block[3], 1);
}

// ---- bulk bookkeeping

// Pending requests in arrival order, with the bytes each has moved so far.
// Grows by doubling and never shrinks, so steady streaming allocates nothing.
class Queue {
 public:
  struct Entry {
    Request* request;
    Dword moved;
  };

  Queue() : slots_(16) {}
  bool empty() const { return count_ == 0; }
  Entry& front() { return slots_[head_]; }
  void pop() {
    head_ = (head_ + 1) % slots_.size();
    --count_;
  }
  void push(Request* request) {
    if (count_ == slots_.size()) grow();
    slots_[(head_ + count_) % slots_.size()] = {request, 0};
    ++count_;
  }
  // Takes the request out wherever it stands; false when it is not queued.
  bool remove(Request* request, Dword* moved) {
    const std::size_t n = slots_.size();
    for (std::size_t i = 0; i < count_; ++i) {
      if (slots_[(head_ + i) % n].request != request) continue;
      *moved = slots_[(head_ + i) % n].moved;
      for (std::size_t j = i; j + 1 < count_; ++j)
        slots_[(head_ + j) % n] = slots_[(head_ + j + 1) % n];
      --count_;
      return true;
    }
    return false;
  }

 private:
  void grow() {
    std::vector<Entry> bigger(slots_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i) bigger[i] = slots_[(head_ + i) % slots_.size()];
    slots_.swap(bigger);
    head_ = 0;
  }

  std::vector<Entry> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

// The loop-back buffer: written bytes that no read has taken yet.
class Ring {
 public:
  explicit Ring(std::size_t capacity) : bytes_(std::max<std::size_t>(capacity, 1)) {}
  std::size_t size() const { return size_; }
  std::size_t room() const { return bytes_.size() - size_; }
  void clear() { head_ = size_ = 0; }
  std::size_t put(const std::uint8_t* data, std::size_t n) {
    n = std::min(n, room());
    const std::size_t tail = (head_ + size_) % bytes_.size();
    const std::size_t first = std::min(n, bytes_.size() - tail);
    std::memcpy(&bytes_[tail], data, first);
    std::memcpy(bytes_.data(), data + first, n - first);
    size_ += n;
    return n;
  }
  std::size_t take(std::uint8_t* out, std::size_t n) {
    n = std::min(n, size_);
    const std::size_t first = std::min(n, bytes_.size() - head_);
    std::memcpy(out, &bytes_[head_], first);
    std::memcpy(out + first, bytes_.data(), n - first);
    head_ = (head_ + n) % bytes_.size();
    size_ -= n;
    return n;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

// Completions gathered under the module's lock and delivered outside it.
struct Completion {
  Request* request;
  Dword status;
  Dword bytes;
};
using Completions = std::vector<Completion>;

}  // namespace

const std::array<std::uint8_t, 208> UsbModule::kDescriptorRecord = makeDescriptor();

// The module's state outlives the driver object for as long as a handle is open.
struct UsbModule::Module {
  Module(std::shared_ptr<DataFlash> flash, std::uint32_t type, std::size_t loopBackBytes)
      : chip(std::move(flash)), moduleType(type), ring(loopBackBytes) {
    inFlight.reserve(64);
    spareLists.reserve(4);
  }

  void information(Request& request, std::uint64_t handleSession);
  void control(Request& request, std::uint64_t handleSession);
  void bulk(Request& request, std::uint64_t handleSession);
  void cancel(Request& request);

  Answer serve(const Setup& setup, std::uint8_t* stage, Dword length);
  Answer special(const Setup& setup, std::uint8_t* stage, Dword length);
  Answer dspCommand(const Setup& setup, std::uint8_t* stage, Dword length);

  // The rest runs with mutex held.
  bool current(std::uint64_t handleSession) const { return plugged && handleSession == session; }
  Fault nextFault() {
    if (fault == Fault::None) return Fault::None;
    if (answersBeforeFault > 0) {
      --answersBeforeFault;
      return Fault::None;
    }
    return fault;
  }
  void powerUp() {
    plugged = true;
    startAddress = kOtherProgram;
    ring.clear();
    mailbox.clear();
  }
  void unplug(std::unique_lock<std::mutex>& lock);
  void pump(Completions& done);
  // Lets fill list what it completes, then completes those with the lock
  // released.
  template <typename Fill>
  void settle(std::unique_lock<std::mutex>& lock, Fill fill);

  const std::shared_ptr<DataFlash> chip;
  const std::uint32_t moduleType;
  // Control requests run one at a time, as on the module's control endpoint.
  std::mutex endpoint;

  std::mutex mutex;
  bool plugged = true;
  bool open = false;
  std::uint64_t session = 0;  // which open handle is served; moves on at each open and unplug
  std::uint16_t startAddress = kOtherProgram;
  Fault fault = Fault::None;
  std::uint64_t answersBeforeFault = 0;
  unsigned dspResets = 0;
  unsigned streamRequests = 0;
  std::map<std::uint32_t, std::vector<std::uint8_t>> mailbox;
  Ring ring;
  Queue reads;
  Queue writes;
  Queue stalled;  // control requests left pending by the time-out fault
  // Requests being completed with the lock released; a cancel of one of them
  // waits until its completion has returned, so that the caller's buffer is
  // no longer touched once cancel returns.
  std::vector<Request*> inFlight;
  std::condition_variable delivered;
  unsigned cancelWaiters = 0;
  std::vector<Completions> spareLists;
};

namespace {

class Handle : public os::hosted::Device {
 public:
  Handle(std::shared_ptr<UsbModule::Module> module, std::uint64_t session)
      : module_(std::move(module)), session_(session) {}
  ~Handle() override {
    std::lock_guard<std::mutex> lock(module_->mutex);
    if (module_->session == session_) module_->open = false;
  }

  void submit(Request& request) override {
    if (request.kind() != RequestKind::IoControl) return module_->bulk(request, session_);
    switch (request.code()) {
      case UsbModule::kInformation:
        return module_->information(request, session_);
      case UsbModule::kControl:
        return module_->control(request, session_);
      default:
        return request.complete(os::kErrorInvalidFunction, 0);
    }
  }
  void cancel(Request& request) override { module_->cancel(request); }

 private:
  std::shared_ptr<UsbModule::Module> module_;
  std::uint64_t session_;
};

}  // namespace

template <typename Fill>
void UsbModule::Module::settle(std::unique_lock<std::mutex>& lock, Fill fill) {
  // Threads settle at the same time, each with a list of its own; the lists
  // are kept and only grow, so steady streaming allocates nothing.
  Completions done;
  if (!spareLists.empty()) {
    done.swap(spareLists.back());
    spareLists.pop_back();
  }
  fill(done);
  if (!done.empty()) {
    for (const Completion& c : done) inFlight.push_back(c.request);
    lock.unlock();
    for (const Completion& c : done) c.request->complete(c.status, c.bytes);
    lock.lock();
    for (const Completion& c : done) {
      auto it = std::find(inFlight.begin(), inFlight.end(), c.request);
      *it = inFlight.back();
      inFlight.pop_back();
    }
    if (cancelWaiters != 0) delivered.notify_all();
    done.clear();
  }
  spareLists.push_back(std::move(done));
}

void UsbModule::Module::pump(Completions& done) {
  // Oldest read first: it takes the buffered bytes, then straight from the
  // queued writes, up to its size. A read pends only while nothing is buffered
  // or queued, so every read completes with at least one byte.
  while (!reads.empty() && (ring.size() != 0 || !writes.empty())) {
    Request* read = reads.front().request;
    auto* out = static_cast<std::uint8_t*>(read->output());
    const Dword size = read->outputSize();
    Dword got = static_cast<Dword>(ring.take(out, size));
    while (got < size && !writes.empty()) {
      Queue::Entry& write = writes.front();
      const Dword n = std::min(size - got, write.request->inputSize() - write.moved);
      std::memcpy(out + got, static_cast<const std::uint8_t*>(write.request->input()) + write.moved,
                  n);
      got += n;
      write.moved += n;
      if (write.moved == write.request->inputSize()) {
        done.push_back({write.request, os::kErrorSuccess, write.moved});
        writes.pop();
      }
    }
    done.push_back({read, os::kErrorSuccess, got});
    reads.pop();
  }
  // What no read wants yet goes into the buffer while it has room.
  while (!writes.empty() && ring.room() != 0) {
    Queue::Entry& write = writes.front();
    write.moved += static_cast<Dword>(
        ring.put(static_cast<const std::uint8_t*>(write.request->input()) + write.moved,
                 write.request->inputSize() - write.moved));
    if (write.moved != write.request->inputSize()) break;
    done.push_back({write.request, os::kErrorSuccess, write.moved});
    writes.pop();
  }
}

void UsbModule::Module::unplug(std::unique_lock<std::mutex>& lock) {
  plugged = false;
  open = false;
  ++session;
  settle(lock, [this](Completions& done) {
    for (Queue* queue : {&reads, &writes, &stalled}) {
      for (; !queue->empty(); queue->pop())
        done.push_back({queue->front().request, kErrorDeviceNotConnected, queue->front().moved});
    }
  });
}

void UsbModule::Module::cancel(Request& request) {
  std::unique_lock<std::mutex> lock(mutex);
  Dword moved = 0;
  if (reads.remove(&request, &moved) || writes.remove(&request, &moved) ||
      stalled.remove(&request, &moved)) {
    lock.unlock();
    request.complete(os::kErrorOperationAborted, moved);
    return;
  }
  ++cancelWaiters;
  delivered.wait(lock, [&] {
    return std::find(inFlight.begin(), inFlight.end(), &request) == inFlight.end();
  });
  --cancelWaiters;
}

void UsbModule::Module::information(Request& request, std::uint64_t handleSession) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!current(handleSession)) return request.complete(kErrorDeviceNotConnected, 0);
  }
  if (request.outputSize() < kInformationBytes)
    return request.complete(os::kErrorInsufficientBuffer, 0);
  auto* out = static_cast<std::uint8_t*>(request.output());
  std::memset(out, 0, kInformationBytes);
  storeLe32(out, kInformationBytes);
  storeLe32(out + kTypeOffset, moduleType);
  request.complete(os::kErrorSuccess, kInformationBytes);
}

void UsbModule::Module::control(Request& request, std::uint64_t handleSession) {
  if (request.inputSize() != 8) return request.complete(os::kErrorInvalidParameter, 0);
  std::lock_guard<std::mutex> oneAtATime(endpoint);
  Fault shown;
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!current(handleSession)) {
      lock.unlock();
      return request.complete(kErrorDeviceNotConnected, 0);
    }
    shown = nextFault();
    if (shown == Fault::Unplugged) {
      unplug(lock);
      lock.unlock();
      return request.complete(kErrorDeviceNotConnected, 0);
    }
    if (shown == Fault::TimeOut) return stalled.push(&request);
  }
  if (shown == Fault::FailAtOnce) return request.complete(os::kErrorGenFailure, 0);

  const auto* in = static_cast<const std::uint8_t*>(request.input());
  const Setup setup{loadLe16(in), loadLe16(in + 2), loadLe16(in + 4), loadLe16(in + 6)};
  Answer answer = serve(setup, static_cast<std::uint8_t*>(request.output()), request.outputSize());
  if (shown == Fault::ShortAnswer && answer.status == os::kErrorSuccess && answer.bytes != 0)
    --answer.bytes;
  request.complete(answer.status, answer.bytes);
}

void UsbModule::Module::bulk(Request& request, std::uint64_t handleSession) {
  const bool read = request.kind() == RequestKind::Read;
  std::unique_lock<std::mutex> lock(mutex);
  Dword status = os::kErrorSuccess;
  if (!current(handleSession)) {
    status = kErrorDeviceNotConnected;
  } else if (startAddress != kApplication) {
    status = os::kErrorGenFailure;
  } else if ((read ? request.outputSize() : request.inputSize()) != 0) {
    (read ? reads : writes).push(&request);
    settle(lock, [this](Completions& done) { pump(done); });
    return;
  }
  lock.unlock();
  request.complete(status, 0);
}

// ---- the firmware

Answer UsbModule::Module::serve(const Setup& setup, std::uint8_t* stage, Dword length) {
  if (setup.direction > 1) return kRefused;
  const bool in = setup.direction == 1;
  const Answer whole{os::kErrorSuccess, length};
  bool application;
  {
    std::lock_guard<std::mutex> lock(mutex);
    application = startAddress == kApplication;
  }

  switch (setup.request) {
    case kName:
      if (!in) return kRefused;
      answerInto(stage, length, reinterpret_cast<const std::uint8_t*>(kNameText),
                 sizeof(kNameText));
      return whole;
    case kCallApplication: {
      if (length != 0) return kRefused;
      std::lock_guard<std::mutex> lock(mutex);
      startAddress = setup.value;
      return whole;
    }
    case kDescriptor:
      if (!in || application || setup.value != kDescriptorValue || setup.index != kDescriptorIndex)
        return kRefused;
      answerInto(stage, length, kDescriptorRecord.data(), kDescriptorRecord.size());
      return whole;
    case kStream:
    case kResetDsp: {
      if (!application || length != 0) return kRefused;
      std::lock_guard<std::mutex> lock(mutex);
      ++(setup.request == kStream ? streamRequests : dspResets);
      return whole;
    }
    case kDspCommand:
      if (!application || length > kMaxDataStage) return kRefused;
      return dspCommand(setup, stage, length);
    case kFlashWrite:
    case kFlashRead: {
      const std::uint32_t address = setup.value | std::uint32_t{setup.index} << 16;
      if (!application || in != (setup.request == kFlashRead) || length > kMaxDataStage ||
          address > kFlashBytes || length > kFlashBytes - address)
        return kRefused;
      const bool done =
          in ? flashRead(*chip, address, stage, length) : flashWrite(*chip, address, stage, length);
      return done ? whole : kRefused;
    }
    case kSpecial:
      if (!application) return kRefused;
      return special(setup, stage, length);
    default:
      return kRefused;
  }
}

Answer UsbModule::Module::special(const Setup& setup, std::uint8_t* stage, Dword length) {
  const bool in = setup.direction == 1;
  switch (setup.index) {
    case kSpecialBinaryPages:
      if (!waitReady(*chip) || !chip->setBinaryPages() || !waitReady(*chip)) return kRefused;
      if (in) std::fill_n(stage, length, std::uint8_t{0});
      return {os::kErrorSuccess, length};
    case kSpecialInformation: {
      if (!in && length != 0) return kRefused;
      std::array<std::uint8_t, 8> block{};
      if (!flashInformation(*chip, block)) return kRefused;
      answerInto(stage, length, block.data(), block.size());
      return {os::kErrorSuccess, length};
    }
    default:
      return kRefused;
  }
}

Answer UsbModule::Module::dspCommand(const Setup& setup, std::uint8_t* stage, Dword length) {
  const std::uint32_t key = std::uint32_t{setup.value} << 16 | setup.index;
  std::lock_guard<std::mutex> lock(mutex);
  if (setup.direction == 0) {
    mailbox[key].assign(stage, stage + length);
  } else {
    auto it = mailbox.find(key);
    if (it == mailbox.end())
      std::fill_n(stage, length, std::uint8_t{0});
    else
      answerInto(stage, length, it->second.data(), it->second.size());
  }
  return {os::kErrorSuccess, length};
}

// ---- the driver object

UsbModule::UsbModule(std::shared_ptr<DataFlash> chip, std::uint32_t moduleType,
                     std::size_t loopBackBytes)
    : module_(std::make_shared<Module>(std::move(chip), moduleType, loopBackBytes)) {}

std::unique_ptr<os::hosted::Device> UsbModule::open(Dword, Dword, Dword* error) {
  std::lock_guard<std::mutex> lock(module_->mutex);
  if (!module_->plugged) {
    *error = os::kErrorFileNotFound;
    return nullptr;
  }
  if (module_->open) {
    *error = os::kErrorSharingViolation;
    return nullptr;
  }
  module_->open = true;
  ++module_->session;
  module_->startAddress = kOtherProgram;
  module_->ring.clear();
  return std::make_unique<Handle>(module_, module_->session);
}

DataFlash& UsbModule::chip() { return *module_->chip; }

std::uint16_t UsbModule::startAddress() {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->startAddress;
}

unsigned UsbModule::dspResets() {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->dspResets;
}

unsigned UsbModule::streamRequests() {
  std::lock_guard<std::mutex> lock(module_->mutex);
  return module_->streamRequests;
}

void UsbModule::setFault(Fault fault, std::uint64_t after) {
  std::unique_lock<std::mutex> lock(module_->mutex);
  module_->fault = fault;
  module_->answersBeforeFault = after;
  if (fault == Fault::Unplugged) {
    if (after == 0 && module_->plugged) module_->unplug(lock);
  } else if (!module_->plugged) {
    module_->powerUp();
  }
}

}  // namespace vkm470::sim
