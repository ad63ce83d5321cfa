// SPDX-License-Identifier: MIT
// The device namespace of the hosted backend: the in-process drivers, the
// resolvers, the device directory and the lookup of its entries. Product
// policy rather than kernel service, so it keeps a lock of its own apart
// from the kernel objects; it is never held while a driver or resolver runs.
#include "device_namespace.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace vkm470::os::hosted {
namespace {

struct Names {
  std::mutex lock;
  std::map<std::string, std::shared_ptr<Driver>> drivers;  // by upper-case name
  std::vector<std::shared_ptr<Resolver>> resolvers;
};

// Never destroyed: static destructors of other files may still open devices.
Names& names() {
  static Names* n = new Names;
  return *n;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::shared_ptr<Resolver>> resolvers() {
  std::lock_guard<std::mutex> lk(names().lock);
  return names().resolvers;
}

const char* variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// Step 2 of the resolution: an entry of the device directory. Sets *found
// when there is one.
std::unique_ptr<Device> openDirectoryEntry(const std::string& name, Dword access, Dword share,
                                           bool* found, Dword* error) {
  *found = false;
  std::string dir;
  if (!deviceDirectory(&dir, nullptr)) return nullptr;
  const std::optional<std::string> entry = findDeviceEntry(dir, name);
  if (!entry) return nullptr;
  *found = true;
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::status(*entry, ec))) {
    *error = kErrorFileNotFound;
    return nullptr;
  }
  std::unique_ptr<Device> device;
  for (const auto& resolver : resolvers()) {
    if (resolver->openEntry(name, *entry, access, share, &device, error)) return device;
  }
  *error = kErrorFileNotFound;
  return nullptr;
}

}  // namespace

bool deviceDirectory(std::string* path, std::string* whyNone) {
  if (const char* dir = variable("VKM470_DEVICES")) {
    *path = dir;
    return true;
  }
  const char* home = std::getenv("HOME");
#if defined(_WIN32)
  if (home == nullptr) home = variable("USERPROFILE");
#endif
  if (home != nullptr && *home != '\0') {
    *path = (std::filesystem::path(home) / ".vkm470" / "devices").string();
    return true;
  }
  // An empty HOME names no folder; a relative path made from it would name
  // the working directory's, so that a module would be found or not
  // depending on where a program runs.
  path->clear();
  if (whyNone != nullptr) {
    *whyNone = home != nullptr ? "VKM470_DEVICES is not set and HOME is empty"
                               : "neither VKM470_DEVICES nor HOME is set";
  }
  return false;
}

std::optional<std::string> findDeviceEntry(const std::string& dir, const std::string& name) {
  const std::string wanted = upper(name);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (upper(it->path().filename().string()) == wanted) return it->path().string();
  }
  return std::nullopt;
}

std::unique_ptr<Device> openDevice(const std::string& name, Dword access, Dword share,
                                   Dword* error) {
  std::shared_ptr<Driver> driver;
  {
    std::lock_guard<std::mutex> lk(names().lock);
    auto it = names().drivers.find(upper(name));
    if (it != names().drivers.end()) driver = it->second;
  }
  if (driver) return driver->open(access, share, error);

  bool found;
  auto device = openDirectoryEntry(name, access, share, &found, error);
  if (found) return device;

  for (const auto& resolver : resolvers()) {
    if (resolver->openName(name, access, share, &device, error)) return device;
  }
  *error = kErrorFileNotFound;
  return nullptr;
}

void registerDevice(const std::string& name, std::shared_ptr<Driver> driver) {
  std::lock_guard<std::mutex> lk(names().lock);
  names().drivers[upper(name)] = std::move(driver);
}

void unregisterDevice(const std::string& name) {
  std::lock_guard<std::mutex> lk(names().lock);
  names().drivers.erase(upper(name));
}

bool Resolver::openEntry(const std::string&, const std::string&, Dword, Dword,
                         std::unique_ptr<Device>*, Dword*) {
  return false;
}

bool Resolver::openName(const std::string&, Dword, Dword, std::unique_ptr<Device>*, Dword*) {
  return false;
}

void registerResolver(std::shared_ptr<Resolver> resolver) {
  std::lock_guard<std::mutex> lk(names().lock);
  auto& all = names().resolvers;
  if (std::find(all.begin(), all.end(), resolver) == all.end()) all.push_back(std::move(resolver));
}

void unregisterResolver(const std::shared_ptr<Resolver>& resolver) {
  std::lock_guard<std::mutex> lk(names().lock);
  auto& all = names().resolvers;
  all.erase(std::remove(all.begin(), all.end(), resolver), all.end());
}

}  // namespace vkm470::os::hosted
