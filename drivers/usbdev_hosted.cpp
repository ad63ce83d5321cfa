// SPDX-License-Identifier: MIT
// Real modules on USB behind the hosted seam: the resolver that serves QDevN
// names and device-directory links to usbfs nodes.
#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>

#include "usbdev.h"

namespace vkm470::drivers {
namespace {

using os::Dword;

// A usbfs node /dev/bus/usb/BBB/DDD: its bus and address.
bool usbfsNode(const std::string& path, UsbDeviceId* where) {
  static const std::string prefix = "/dev/bus/usb/";
  if (path.size() != prefix.size() + 7 || path.compare(0, prefix.size(), prefix) != 0 ||
      path[prefix.size() + 3] != '/') {
    return false;
  }
  int parts[2] = {0, 0};
  for (int part = 0; part < 2; ++part) {
    for (std::size_t i = 0; i < 3; ++i) {
      const char c = path[prefix.size() + 4 * part + i];
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      parts[part] = parts[part] * 10 + (c - '0');
    }
  }
  if (parts[0] > 255 || parts[1] > 255) return false;
  where->bus = static_cast<std::uint8_t>(parts[0]);
  where->address = static_cast<std::uint8_t>(parts[1]);
  return true;
}

// Where a chain of links ends, by name: the node itself is opened by that name
// so that libusb and the kernel see the usbfs path.
std::string followLinks(std::string path) {
  namespace fs = std::filesystem;
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code ec;
    if (!fs::is_symlink(path, ec)) break;
    fs::path target = fs::read_symlink(path, ec);
    if (ec) break;
    if (target.is_relative()) target = fs::path(path).parent_path() / target;
    path = target.lexically_normal().string();
  }
  return path;
}

class UsbResolver final : public os::hosted::Resolver {
 public:
  explicit UsbResolver(std::shared_ptr<UsbModules> modules) : modules_(std::move(modules)) {}

  bool openEntry(const std::string& name, const std::string& path, Dword, Dword,
                 std::unique_ptr<os::hosted::Device>* device, Dword* error) override {
    UsbDeviceId where;
    const std::string node = followLinks(path);
    if (deviceNumber(name) < 0 || !usbfsNode(node, &where)) return false;
    modules_->openNode(node, where, device, error);
    return true;
  }

  bool openName(const std::string& name, Dword, Dword, std::unique_ptr<os::hosted::Device>* device,
                Dword* error) override {
    return modules_->openNumber(name, device, error);
  }

 private:
  std::shared_ptr<UsbModules> modules_;
};

}  // namespace

std::shared_ptr<os::hosted::Resolver> usbResolver(std::shared_ptr<UsbBackend> backend) {
  return std::make_shared<UsbResolver>(std::make_shared<UsbModules>(std::move(backend)));
}

std::shared_ptr<os::hosted::Resolver> usbResolver() {
  // One bus, and so one event-handling thread, for the process.
  static const auto modules = std::make_shared<UsbModules>(libusbBackend());
  return std::make_shared<UsbResolver>(modules);
}

}  // namespace vkm470::drivers
