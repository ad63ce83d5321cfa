// SPDX-License-Identifier: MIT
#include "ppdev.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "lpt/driver_protocol.h"
#include "vkm470_byte_order.h"

namespace vkm470::drivers {
namespace {

using byte_order::loadLe16;
using byte_order::loadLe32;
using os::Dword;
// The cable device's requests, as the library sends them.
using lpt::kBatchEntrySize;
using lpt::kBatchReadStatus;
using lpt::kBatchWriteData;
using lpt::kIoctlBatch;
using lpt::kIoctlPortQuery;
using lpt::kIoctlWriteRegister;
using lpt::kPortPresent;
using lpt::kPortQueryBytes;
using lpt::kRegisterControl;
using lpt::kRegisterData;
using lpt::kWriteRegisterBytes;

class RealSystem final : public PpdevSystem {
 public:
  int open(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    return ::ioctl(fd, request, argument) < 0 ? -errno : 0;
  }
  int close(int fd) override { return ::close(fd) < 0 ? -errno : 0; }
};

class PpdevDevice final : public os::hosted::Device {
 public:
  PpdevDevice(std::shared_ptr<PpdevSystem> system, int fd) : system_(std::move(system)), fd_(fd) {}

  ~PpdevDevice() override {
    system_->ioctl(fd_, PPRELEASE, nullptr);
    system_->close(fd_);
  }

  void submit(os::hosted::Request& request) override {
    if (request.kind() != os::hosted::RequestKind::IoControl) {
      request.complete(os::kErrorInvalidFunction, 0);
      return;
    }
    // Handles may be shared between threads; one batch must not interleave
    // with another request's line changes.
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request.code()) {
      case kIoctlPortQuery:
        queryPort(request);
        return;
      case kIoctlWriteRegister:
        writeRegister(request);
        return;
      case kIoctlBatch:
        runBatch(request);
        return;
      default:
        request.complete(os::kErrorInvalidFunction, 0);
    }
  }

 private:
  void queryPort(os::hosted::Request& request) {
    // A port this driver holds is there.
    if (request.outputSize() < kPortQueryBytes) {
      request.complete(os::kErrorInvalidParameter, 0);
      return;
    }
    const unsigned char answer[kPortQueryBytes] = {kPortPresent, 0, 0, 0};
    std::memcpy(request.output(), answer, sizeof answer);
    request.complete(os::kErrorSuccess, sizeof answer);
  }

  void writeRegister(os::hosted::Request& request) {
    if (request.inputSize() != kWriteRegisterBytes) {
      request.complete(os::kErrorInvalidParameter, 0);
      return;
    }
    const auto* input = static_cast<const unsigned char*>(request.input());
    const Dword reg = loadLe32(input);
    unsigned char value = input[4];
    unsigned long call;
    if (reg == kRegisterData) {
      call = PPWDATA;
    } else if (reg == kRegisterControl) {
      call = PPWCONTROL;
    } else {
      request.complete(os::kErrorInvalidParameter, 0);
      return;
    }
    request.complete(system_->ioctl(fd_, call, &value) < 0 ? os::kErrorGenFailure : 0, 0);
  }

  void runBatch(os::hosted::Request& request) {
    const Dword size = request.inputSize();
    if (size % kBatchEntrySize != 0 || request.outputSize() != size) {
      request.complete(os::kErrorInvalidParameter, 0);
      return;
    }
    // Entries are carried out in the output buffer, which the library passes
    // as the input too; a batch with an entry the driver does not know changes
    // no line.
    auto* entries = static_cast<unsigned char*>(request.output());
    if (size != 0 && request.input() != request.output()) {
      std::memmove(entries, request.input(), size);
    }
    for (Dword at = 0; at < size; at += kBatchEntrySize) {
      const std::uint16_t op = loadLe16(&entries[at]);
      if (op != kBatchWriteData && op != kBatchReadStatus) {
        request.complete(os::kErrorInvalidParameter, 0);
        return;
      }
    }
    for (Dword at = 0; at < size; at += kBatchEntrySize) {
      unsigned char* value = &entries[at + 2];
      int result;
      if (loadLe16(&entries[at]) == kBatchWriteData) {
        result = system_->ioctl(fd_, PPWDATA, value);
      } else {
        unsigned char status = 0;
        result = system_->ioctl(fd_, PPRSTATUS, &status);
        *value = status;
      }
      if (result < 0) {
        request.complete(os::kErrorGenFailure, 0);
        return;
      }
    }
    request.complete(os::kErrorSuccess, size);
  }

  std::shared_ptr<PpdevSystem> system_;
  int fd_;
  std::mutex mutex_;
};

}  // namespace

std::shared_ptr<PpdevSystem> ppdevSystemCalls() { return std::make_shared<RealSystem>(); }

std::unique_ptr<os::hosted::Device> openPpdev(const std::string& path, os::Dword* error) {
  return openPpdev(path, error, ppdevSystemCalls());
}

std::unique_ptr<os::hosted::Device> openPpdev(const std::string& path, os::Dword* error,
                                              std::shared_ptr<PpdevSystem> system) {
  auto fail = [error](int result) -> std::unique_ptr<os::hosted::Device> {
    if (error != nullptr) *error = os::hosted::errorFromErrno(-result);
    return nullptr;
  };
  const int fd = system->open(path);
  if (fd < 0) return fail(fd);
  // Exclusive: no other driver of this machine may share the port while the
  // cable is held, as no other handle may share the cable device.
  for (unsigned long call :
       {static_cast<unsigned long>(PPEXCL), static_cast<unsigned long>(PPCLAIM)}) {
    const int result = system->ioctl(fd, call, nullptr);
    if (result < 0) {
      system->close(fd);
      return fail(result);
    }
  }
  if (error != nullptr) *error = os::kErrorSuccess;
  return std::make_unique<PpdevDevice>(std::move(system), fd);
}

namespace {

// ALTLPTn, in any case: the port number n (1 to 9), or 0 for another name.
int portNumber(const std::string& name) {
  if (name.size() != 7 || name[6] < '1' || name[6] > '9') return 0;
  for (int i = 0; i < 6; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "ALTLPT"[i]) return 0;
  }
  return name[6] - '0';
}

class PpdevResolver final : public os::hosted::Resolver {
 public:
  bool openEntry(const std::string& name, const std::string& path, os::Dword, os::Dword,
                 std::unique_ptr<os::hosted::Device>* device, os::Dword* error) override {
    std::error_code ec;
    if (portNumber(name) == 0 || !std::filesystem::is_character_file(path, ec)) return false;
    *device = openPpdev(path, error);
    return true;
  }

  bool openName(const std::string& name, os::Dword, os::Dword,
                std::unique_ptr<os::hosted::Device>* device, os::Dword* error) override {
    const int port = portNumber(name);
    if (port == 0) return false;
    const std::string path = "/dev/parport" + std::to_string(port - 1);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return false;
    *device = openPpdev(path, error);
    return true;
  }
};

}  // namespace

std::shared_ptr<os::hosted::Resolver> ppdevResolver() { return std::make_shared<PpdevResolver>(); }

}  // namespace vkm470::drivers
