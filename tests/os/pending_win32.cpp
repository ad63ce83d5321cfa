// SPDX-License-Identifier: MIT
// The pending device on Windows: the client end of a named pipe, whose reads
// wait for the server end to write.
#include <windows.h>

#include <atomic>
#include <stdexcept>

#undef CreateFile

#include "pending_device.h"

namespace vkm470::os::testing {
namespace {

class PipeDevice : public PendingDevice {
 public:
  PipeDevice() {
    static std::atomic<int> counter{0};
    path_ = "\\\\.\\pipe\\vkm470-seam-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(counter++);
    server_ = ::CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                 nullptr);
    if (server_ == INVALID_HANDLE_VALUE) throw std::runtime_error("CreateNamedPipe failed");
  }
  ~PipeDevice() override { ::CloseHandle(server_); }

  Handle open(bool overlapped) override {
    return os::CreateFile(path_.c_str(), kGenericRead | kGenericWrite, 0, kOpenExisting,
                          overlapped ? kFileFlagOverlapped : kFileAttributeNormal);
  }

  void feed(const std::string& data) override {
    DWORD written = 0;
    ::WriteFile(server_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  }

  std::string written() override {
    DWORD available = 0;
    ::PeekNamedPipe(server_, nullptr, 0, nullptr, &available, nullptr);
    std::string data(available, '\0');
    DWORD read = 0;
    if (available != 0) ::ReadFile(server_, data.data(), available, &read, nullptr);
    received_ += data.substr(0, read);
    return received_;
  }

 private:
  std::string path_;
  HANDLE server_;
  std::string received_;
};

}  // namespace

std::unique_ptr<PendingDevice> makePendingDevice() { return std::make_unique<PipeDevice>(); }

}  // namespace vkm470::os::testing
