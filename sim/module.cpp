// SPDX-License-Identifier: MIT
#include "module.h"

#include <sys/stat.h>

#include <cerrno>
#include <iterator>
#include <limits>
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

UsbModule::Fault usbFaultOf(FaultSetting::Usb fault) {
  switch (fault) {
    case FaultSetting::Usb::TimeOut:
      return UsbModule::Fault::TimeOut;
    case FaultSetting::Usb::ShortAnswer:
      return UsbModule::Fault::ShortAnswer;
    case FaultSetting::Usb::FailAtOnce:
      return UsbModule::Fault::FailAtOnce;
    case FaultSetting::Usb::Unplugged:
      return UsbModule::Fault::Unplugged;
    case FaultSetting::Usb::None:
      break;
  }
  return UsbModule::Fault::None;
}

// One image as this process has it open: the mapped file, the chip on it and
// the sides through which the views reach the chip.
struct Module {
  Module(const std::string& path, int fd)
      : image(path, fd, ModuleImage::Access::ReadWrite),
        chip(std::make_shared<DataFlash>(image.cells(), image.registers())),
        cable(std::make_shared<Cable>(chip)),
        usb(std::make_shared<UsbModule>(chip)) {}

  // Puts the image's fault setting on the chip and on the view's side, before
  // the side opens, so that an unplugged module does not open at all.
  void applyFaults(View view) {
    const FaultSetting faults = image.faults();
    chip->setStuckBusy(faults.busy);
    if (faults.flipMask == 0) {
      chip->clearFlip();
    } else {
      // The chip decodes the address in its page mode; the setting names the
      // byte as the flash is addressed in 512-byte pages.
      const std::uint32_t page =
          faults.flipAddress / DataFlash::kBinaryPageBytes % DataFlash::kPages;
      const std::uint32_t offset = faults.flipAddress % DataFlash::kBinaryPageBytes;
      const bool binary = chip->pageMode() == PageMode::Binary;
      chip->flipOnRead(binary ? page << 9 | offset : page << 10 | offset, faults.flipMask);
    }
    std::lock_guard<std::mutex> lock(faultMutex);
    if (view == View::Usb) {
      usbFault = faults.usb;
      usbFaultShown = usbFault != FaultSetting::Usb::None && faults.usbAnswers == 0;
      usb->setFault(usbFaultShown ? usbFaultOf(usbFault) : UsbModule::Fault::None);
    } else {
      cableFault = faults.cable;
      cable->setPresence(cableFault == FaultSetting::Cable::Absent
                             ? Cable::Presence::QueryAnswersZero
                             : Cable::Presence::Present);
      cableSilent = cableFault == FaultSetting::Cable::Silent && faults.cableAnswers == 0;
      cable->stopAnsweringAfter(cableSilent ? 0 : std::numeric_limits<std::uint64_t>::max());
    }
  }

  // Counts a request on a view against the answers left before its fault, and
  // shows the fault once they are spent. The USB side counts control requests.
  void beforeRequest(View view, const os::hosted::Request& request) {
    if (view == View::Usb && (request.kind() != os::hosted::RequestKind::IoControl ||
                              request.code() != UsbModule::kControl))
      return;
    std::lock_guard<std::mutex> lock(faultMutex);
    const bool counted = view == View::Usb ? usbFault != FaultSetting::Usb::None
                                           : cableFault == FaultSetting::Cable::Silent;
    bool& shown = view == View::Usb ? usbFaultShown : cableSilent;
    if (!counted || shown || image.countAnswer(view)) return;
    shown = true;
    if (view == View::Usb)
      usb->setFault(usbFaultOf(usbFault));
    else
      cable->stopAnsweringAfter(0);
  }

  ModuleImage image;
  std::shared_ptr<DataFlash> chip;
  std::shared_ptr<Cable> cable;
  std::shared_ptr<UsbModule> usb;

  // The fault of each side as it found the setting when it opened.
  std::mutex faultMutex;
  FaultSetting::Usb usbFault = FaultSetting::Usb::None;
  bool usbFaultShown = false;
  FaultSetting::Cable cableFault = FaultSetting::Cable::None;
  bool cableSilent = false;
};

// An open view: the side's own handle, the view's lock and the module under
// them, released in that order.
class ViewDevice : public os::hosted::Device {
 public:
  ViewDevice(std::shared_ptr<Module> module, View view, ViewLock lock,
             std::unique_ptr<os::hosted::Device> side)
      : module_(std::move(module)), view_(view), lock_(std::move(lock)), side_(std::move(side)) {}

  void submit(os::hosted::Request& request) override {
    module_->beforeRequest(view_, request);
    side_->submit(request);
  }
  void cancel(os::hosted::Request& request) override { side_->cancel(request); }

 private:
  std::shared_ptr<Module> module_;
  View view_;
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
        *error = os::hosted::errorFromErrno(errno);
        return nullptr;
    }
    std::shared_ptr<Module> module = moduleOf(path, lock.fd());
    module->applyFaults(*view);
    os::hosted::Driver& driver =
        *view == View::Usb ? static_cast<os::hosted::Driver&>(*module->usb) : *module->cable;
    std::unique_ptr<os::hosted::Device> side = driver.open(access, share, error);
    if (!side) return nullptr;
    return std::make_unique<ViewDevice>(std::move(module), *view, std::move(lock), std::move(side));
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
