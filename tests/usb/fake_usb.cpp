// SPDX-License-Identifier: MIT
#include "fake_usb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace usbtest {

namespace os = vkm470::os;

namespace {

constexpr Dword kIoctlControl = 0x22003E;
constexpr Dword kIoctlInformation = 0x22005E;

class FakeHandle : public os::hosted::Device {
 public:
  explicit FakeHandle(std::shared_ptr<FakeUsb> module) : module_(std::move(module)) {}
  ~FakeHandle() override { --module_->openHandles; }
  void submit(os::hosted::Request& request) override { module_->serve(request); }
  void cancel(os::hosted::Request& request) override { module_->cancel(request); }

 private:
  std::shared_ptr<FakeUsb> module_;
};

std::uint64_t nowMs() { return os::hosted::nowMicroseconds() / 1000; }

}  // namespace

std::string describe(const Sent& sent) {
  char line[64];
  switch (sent.kind) {
    case RequestKind::Read:
      std::snprintf(line, sizeof line, "read %u", unsigned{sent.length});
      break;
    case RequestKind::Write:
      std::snprintf(line, sizeof line, "write %u", unsigned{sent.length});
      break;
    case RequestKind::IoControl:
      if (sent.code == kIoctlControl) {
        std::snprintf(line, sizeof line, "%02X %u %04X %04X %u", unsigned{sent.setup.request},
                      unsigned{sent.setup.direction}, unsigned{sent.setup.value},
                      unsigned{sent.setup.index}, unsigned{sent.length});
      } else if (sent.code == kIoctlInformation) {
        std::snprintf(line, sizeof line, "info %u", unsigned{sent.length});
      } else {
        std::snprintf(line, sizeof line, "ioctl %06X %u", unsigned{sent.code},
                      unsigned{sent.length});
      }
      break;
  }
  return line;
}

std::unique_ptr<os::hosted::Device> FakeUsb::open(Dword access, Dword share, Dword* error) {
  ++opens;
  lastAccess = access;
  lastShare = share;
  if (openError != 0) {
    *error = openError;
    return nullptr;
  }
  // The module's driver serves one handle at a time.
  if (openHandles > 0) {
    *error = os::kErrorSharingViolation;
    return nullptr;
  }
  ++openHandles;
  return std::make_unique<FakeHandle>(shared_from_this());
}

void FakeUsb::onRequest(std::uint16_t request, Reply reply) {
  script = [request, reply](const Sent& s) {
    return s.kind == RequestKind::IoControl && s.code == kIoctlControl && s.setup.request == request
               ? reply
               : Reply::full();
  };
}

void FakeUsb::onBulk(RequestKind kind, Reply reply) {
  script = [kind, reply](const Sent& s) { return s.kind == kind ? reply : Reply::full(); };
}

Log FakeUsb::log() const {
  Log lines;
  for (const Sent& s : sent) lines.push_back(describe(s));
  return lines;
}

void FakeUsb::serve(os::hosted::Request& request) {
  Sent s;
  s.kind = request.kind();
  s.code = request.code();
  const auto* in = static_cast<const std::uint8_t*>(request.input());
  if (s.kind == RequestKind::Write) {
    s.length = request.inputSize();
    s.data.assign(in, in + s.length);
  } else {
    s.length = request.outputSize();
  }
  if (s.kind == RequestKind::IoControl && s.code == kIoctlControl &&
      request.inputSize() == sizeof(QUSB_REQUEST)) {
    std::memcpy(&s.setup, in, sizeof s.setup);
    if (s.setup.direction == 0) {
      const auto* out = static_cast<const std::uint8_t*>(request.output());
      if (out != nullptr) s.data.assign(out, out + s.length);
    }
  }
  s.submittedMs = nowMs();
  sent.push_back(s);

  const Reply reply = script ? script(s) : Reply::full();
  switch (reply.kind) {
    case Reply::Kind::Fail:
      request.complete(reply.error, 0);
      return;
    case Reply::Kind::Pending:
      parked_[&request] = {sent.size() - 1, reply};
      return;
    case Reply::Kind::Answer:
      answer(request, s, reply.bytes < 0 ? s.length : Dword(reply.bytes));
      return;
  }
}

void FakeUsb::cancel(os::hosted::Request& request) {
  auto it = parked_.find(&request);
  if (it == parked_.end()) {
    request.complete(os::kErrorOperationAborted, 0);
    return;
  }
  const Parked parked = it->second;
  parked_.erase(it);
  Sent& s = sent[parked.index];
  s.cancelled = true;
  s.waitedMs = Dword(nowMs() - s.submittedMs);
  if (parked.reply.cancelAbort) {
    request.complete(os::kErrorOperationAborted, 0);
  } else {
    answer(request, s, parked.reply.bytes < 0 ? s.length : Dword(parked.reply.bytes));
  }
}

// Fills what a read-like request returns, up to bytes, and completes it.
void FakeUsb::answer(os::hosted::Request& request, const Sent& s, Dword bytes) {
  auto* out = static_cast<std::uint8_t*>(request.output());
  const Dword filled = std::min(bytes, s.kind == RequestKind::Write ? 0 : request.outputSize());
  if (s.kind == RequestKind::IoControl && s.code == kIoctlInformation) {
    std::vector<std::uint8_t> block(80, 0);
    for (int i = 0; i < 4; ++i) block[36 + i] = std::uint8_t(moduleType >> (8 * i));
    std::memcpy(out, block.data(), std::min<std::size_t>(filled, block.size()));
  } else if (s.kind == RequestKind::IoControl && s.setup.direction == 1) {
    const std::uint32_t address = std::uint32_t(s.setup.index) << 16 | s.setup.value;
    for (Dword i = 0; i < filled; ++i) {
      out[i] = s.setup.request == 0x0B ? (i < name.size() ? std::uint8_t(name[i]) : 0)
                                       : pattern(address + i);
    }
  } else if (s.kind == RequestKind::Read) {
    for (Dword i = 0; i < filled; ++i) out[i] = pattern(i);
  }
  request.complete(os::kErrorSuccess, bytes);
}

}  // namespace usbtest
