#include "module.h"

#include <sys/stat.h>

#include <cerrno>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "cable.h"
#include "dataflash.h"
#include "image.h"
#include "usb_module.h"

namespace vkm470::sim {

namespace {

constexpr os::Dword kErrorBadFormat = 11;

// One image as this process has it open: the mapped file, the chip on it and
// the sides through which the views reach the chip.
struct Module {
  Module(const std::string& path, int fd)
      : image(path, fd, ModuleImage::Access::ReadWrite),
        chip(std::make_shared<DataFlash>(image.cells(), image.registers())),
        cable(std::make_shared<Cable>(chip)),
        usb(std::make_shared<UsbModule>(chip)) {}

  ModuleImage image;
  std::shared_ptr<DataFlash> chip;
  std::shared_ptr<Cable> cable;
  std::shared_ptr<UsbModule> usb;
};

// An open view: the side's own handle, the view's lock and the module under
// them, released in that order.
class ViewDevice : public os::hosted::Device {
 public:
  ViewDevice(std::shared_ptr<Module> module, ViewLock lock,
             std::unique_ptr<os::hosted::Device> side)
      : module_(std::move(module)), lock_(std::move(lock)), side_(std::move(side)) {}

  void submit(os::hosted::Request& request) override { side_->submit(request); }
  void cancel(os::hosted::Request& request) override { side_->cancel(request); }

 private:
  std::shared_ptr<Module> module_;
  ViewLock lock_;
  std::unique_ptr<os::hosted::Device> side_;
};

// Open modules by file identity, so a view reached through another link, or
// through a path that names a newer file since, finds the right chip.
using FileId = std::pair<dev_t, ino_t>;
struct Registry {
  std::mutex mutex;
  std::map<FileId, std::weak_ptr<Module>> modules;
};

// Never destroyed, as the seam's own state: threads still running at exit may
// open views.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<Module> moduleOf(const std::string& path, int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw ImageError(path + ": cannot examine");
  const FileId id{st.st_dev, st.st_ino};
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (auto module = r.modules[id].lock()) return module;
  for (auto it = r.modules.begin(); it != r.modules.end();)
    it = it->second.expired() ? r.modules.erase(it) : std::next(it);
  auto module = std::make_shared<Module>(path, fd);
  r.modules[id] = module;
  return module;
}

os::Dword systemError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return os::kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return os::kErrorAccessDenied;
    default:
      return os::kErrorGenFailure;
  }
}

}  // namespace

std::unique_ptr<os::hosted::Device> openImageEntry(const std::string& name, const std::string& path,
                                                   os::Dword access, os::Dword share,
                                                   os::Dword* error) {
  try {
    const std::optional<View> view = viewOfEntry(name);
    if (!view) {
      *error = os::kErrorFileNotFound;
      return nullptr;
    }
    ViewLock lock;
    switch (lock.take(path, *view)) {
      case ViewLock::Result::Taken:
        break;
      case ViewLock::Result::InUse:
        *error = os::kErrorSharingViolation;
        return nullptr;
      case ViewLock::Result::NoFile:
        *error = systemError(errno);
        return nullptr;
    }
    std::shared_ptr<Module> module = moduleOf(path, lock.fd());
    os::hosted::Driver& driver =
        *view == View::Usb ? static_cast<os::hosted::Driver&>(*module->usb) : *module->cable;
    std::unique_ptr<os::hosted::Device> side = driver.open(access, share, error);
    if (!side) return nullptr;
    return std::make_unique<ViewDevice>(std::move(module), std::move(lock), std::move(side));
  } catch (const ImageError&) {
    *error = kErrorBadFormat;
  } catch (const std::bad_alloc&) {
    *error = os::kErrorNotEnoughMemory;
  }
  return nullptr;
}

namespace {

class ImageResolver final : public os::hosted::Resolver {
 public:
  bool openEntry(const std::string& name, const std::string& path, os::Dword access,
                 os::Dword share, std::unique_ptr<os::hosted::Device>* device,
                 os::Dword* error) override {
    struct stat st;
    if (!viewOfEntry(name) || ::stat(path.c_str(), &st) != 0 || S_ISCHR(st.st_mode)) return false;
    *device = openImageEntry(name, path, access, share, error);
    return true;
  }
};

}  // namespace

std::shared_ptr<os::hosted::Resolver> imageResolver() { return std::make_shared<ImageResolver>(); }

}  // namespace vkm470::sim
