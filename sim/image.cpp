// SPDX-License-Identifier: MIT
#include "image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "vkm470_byte_order.h"

namespace vkm470::sim {

namespace {

constexpr std::uint32_t kHeaderBytes = ModuleImage::kArrayOffset;
constexpr std::uint32_t kVersionOffset = 8;
constexpr std::uint32_t kPagesOffset = 12;
constexpr std::uint32_t kPageBytesOffset = 16;
constexpr std::uint32_t kArrayOffsetOffset = 20;
constexpr std::uint32_t kProtectionOffset = 32;
constexpr std::uint32_t kLockdownOffset = 48;
constexpr std::uint32_t kSecurityOffset = 64;
constexpr std::uint32_t kUsbFaultOffset = 192;
constexpr std::uint32_t kCableFaultOffset = 193;
constexpr std::uint32_t kBusyOffset = 194;
constexpr std::uint32_t kFlipMaskOffset = 195;
constexpr std::uint32_t kFlipAddressOffset = 196;
constexpr std::uint32_t kUsbAnswersOffset = 200;
constexpr std::uint32_t kCableAnswersOffset = 208;
constexpr std::uint8_t kLastUsbFault = static_cast<std::uint8_t>(FaultSetting::Usb::Unplugged);
constexpr std::uint8_t kLastCableFault = static_cast<std::uint8_t>(FaultSetting::Cable::Silent);

using byte_order::loadLe32;
using byte_order::loadLe64;
using byte_order::storeLe32;
using byte_order::storeLe64;

ImageError failure(const std::string& path, const std::string& what) {
  return ImageError(path + ": " + what);
}

ImageError systemFailure(const std::string& path, const std::string& what) {
  return failure(path, what + ": " + std::strerror(errno));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::array<std::uint8_t, kHeaderBytes> factoryHeader() {
  std::array<std::uint8_t, kHeaderBytes> header{};
  std::copy(std::begin(ModuleImage::kMagic), std::end(ModuleImage::kMagic), header.begin());
  storeLe32(&header[kVersionOffset], ModuleImage::kVersion);
  storeLe32(&header[kPagesOffset], DataFlash::kPages);
  storeLe32(&header[kPageBytesOffset], DataFlash::kPageBytes);
  storeLe32(&header[kArrayOffsetOffset], ModuleImage::kArrayOffset);
  const DataFlash::Registers registers = DataFlash::factoryRegisters();
  std::copy(registers.protection.begin(), registers.protection.end(), &header[kProtectionOffset]);
  std::copy(registers.lockdown.begin(), registers.lockdown.end(), &header[kLockdownOffset]);
  std::copy(registers.security.begin(), registers.security.end(), &header[kSecurityOffset]);
  return header;
}

void refuseIrregular(const std::string& path, mode_t mode) {
  if (!S_ISREG(mode)) throw failure(path, "not a module image (a " + fileKind(mode) + ")");
}

// Checks what the header and the size say; throws for a file that is not a
// module image of this format.
void check(const std::string& path, int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw systemFailure(path, "cannot examine");
  refuseIrregular(path, st.st_mode);
  std::array<std::uint8_t, kHeaderBytes> header{};
  const ssize_t n = ::pread(fd, header.data(), header.size(), 0);
  if (n < 0) throw systemFailure(path, "cannot read");
  if (n < static_cast<ssize_t>(sizeof ModuleImage::kMagic) ||
      !std::equal(std::begin(ModuleImage::kMagic), std::end(ModuleImage::kMagic), header.begin()))
    throw failure(path, "not a module image (no VKM470MI magic at its start)");
  if (n < static_cast<ssize_t>(kHeaderBytes))
    throw failure(path, "damaged module image (" + std::to_string(n) + " bytes, expected " +
                            std::to_string(ModuleImage::kFileBytes) + ")");
  const std::uint32_t version = loadLe32(&header[kVersionOffset]);
  if (version != ModuleImage::kVersion)
    throw failure(path, "module image of format version " + std::to_string(version) +
                            ", this build reads version " + std::to_string(ModuleImage::kVersion));
  const std::uint32_t pages = loadLe32(&header[kPagesOffset]);
  const std::uint32_t pageBytes = loadLe32(&header[kPageBytesOffset]);
  const std::uint32_t arrayOffset = loadLe32(&header[kArrayOffsetOffset]);
  if (pages != DataFlash::kPages || pageBytes != DataFlash::kPageBytes ||
      arrayOffset != ModuleImage::kArrayOffset)
    throw failure(path, "damaged module image (geometry " + std::to_string(pages) + " pages of " +
                            std::to_string(pageBytes) + " bytes at offset " +
                            std::to_string(arrayOffset) + ", expected 4096 of 528 at 512)");
  if (static_cast<std::uint64_t>(st.st_size) != ModuleImage::kFileBytes)
    throw failure(path, "damaged module image (" + std::to_string(st.st_size) +
                            " bytes, expected " + std::to_string(ModuleImage::kFileBytes) + ")");
  const std::uint8_t pageSwitch = header[ModuleImage::kSwitchOffset];
  if (pageSwitch > 1)
    throw failure(path, "damaged module image (page-size switch " + std::to_string(pageSwitch) +
                            ", expected 0 or 1)");
  const auto refuseAbove = [&](std::uint32_t offset, std::uint8_t last, const char* what) {
    if (header[offset] > last)
      throw failure(path, std::string("damaged module image (") + what + " " +
                              std::to_string(header[offset]) + ", expected 0 to " +
                              std::to_string(last) + ")");
  };
  refuseAbove(kUsbFaultOffset, kLastUsbFault, "USB fault");
  refuseAbove(kCableFaultOffset, kLastCableFault, "cable fault");
  refuseAbove(kBusyOffset, 1, "chip fault");
}

struct flock lockRecord(View view, short type) {
  struct flock record {};
  record.l_type = type;
  record.l_whence = SEEK_SET;
  record.l_start = view == View::Usb ? 0 : 1;
  record.l_len = 1;
  return record;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string fileKind(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "";
    case S_IFIFO:
      return "named pipe";
    case S_IFDIR:
      return "directory";
    case S_IFCHR:
      return "character device";
    case S_IFBLK:
      return "block device";
    case S_IFSOCK:
      return "socket";
  }
  return "file of an unknown type";
}

std::optional<View> viewOfEntry(const std::string& name) {
  const std::string key = upper(name);
  if (key.size() == 7 && key.compare(0, 6, "ALTLPT") == 0 && key[6] >= '1' && key[6] <= '9')
    return View::Cable;
  if (key.size() < 5 || key.size() > 7 || key.compare(0, 4, "QDEV") != 0) return std::nullopt;
  const std::string digits = key.substr(4);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  // As the library formats the number: decimal, no leading zeros.
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  if (std::stoi(digits) > 255) return std::nullopt;
  return View::Usb;
}

void ModuleImage::create(const std::string& path, bool replace) {
  const std::filesystem::path target(path);
  std::error_code ec;
  if (!replace &&
      std::filesystem::symlink_status(target, ec).type() != std::filesystem::file_type::not_found)
    throw failure(path, "file exists");
  // A module image that a program has open is left as it is: replacing it
  // would leave that program's writes in a file without a name. Its views are
  // held from the check until the new file has the name.
  Descriptor held(replace ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                          : -1);
  if (held.get() >= 0 && isModuleImage(held.get()) && !holdViews(held.get()))
    throw failure(path, "a module image in use by a program; left as it is");
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string temporary = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  Descriptor fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) throw systemFailure(path, "cannot create");

  // mkstemp makes the file private; a module image gets the usual mode.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const auto header = factoryHeader();
  const std::vector<std::uint8_t> erased(std::size_t{DataFlash::kPageBytes} * 64, 0xFF);
  bool ok =
      ::fchmod(fd.get(), 0666 & ~mask) == 0 && writeAll(fd.get(), header.data(), header.size());
  for (std::uint32_t page = 0; ok && page < DataFlash::kPages; page += 64)
    ok = writeAll(fd.get(), erased.data(), erased.size());
  if (!ok) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    throw systemFailure(path, "cannot write");
  }
  // Without replace, link refuses a file that appeared meanwhile.
  const bool placed = replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                              : ::link(temporary.c_str(), path.c_str()) == 0;
  const int error = errno;
  if (!placed || !replace) ::unlink(temporary.c_str());
  if (!placed) {
    errno = error;
    if (error == EEXIST) throw failure(path, "file exists");
    throw systemFailure(path, "cannot create");
  }
}

ModuleImage::ModuleImage(const std::string& path, Access access)
    : path_(path), writable_(access == Access::ReadWrite) {
  // Opening a named pipe waits for its other end, and opening a device may
  // act on it: such files are refused by their type first. O_NONBLOCK covers
  // one that takes the name meanwhile; check() then refuses it.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw systemFailure(path, "cannot open");
  refuseIrregular(path, st.st_mode);
  Descriptor fd(
      ::open(path.c_str(), (writable_ ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) throw systemFailure(path, "cannot open");
  map(fd.get());
}

ModuleImage::ModuleImage(const std::string& path, int fd, Access access)
    : path_(path), writable_(access == Access::ReadWrite) {
  map(fd);
}

void ModuleImage::map(int fd) {
  check(path_, fd);
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* base = ::mmap(nullptr, kFileBytes, protection, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) throw systemFailure(path_, "cannot map");
  base_ = static_cast<std::uint8_t*>(base);
}

ModuleImage::~ModuleImage() {
  if (base_ != nullptr) ::munmap(base_, kFileBytes);
}

DataFlash::Cells ModuleImage::cells() {
  if (!writable_) throw failure(path_, "opened read-only");
  return {base_ + kArrayOffset, base_ + kSwitchOffset};
}

DataFlash::Registers ModuleImage::registers() const {
  DataFlash::Registers registers;
  std::copy_n(base_ + kProtectionOffset, registers.protection.size(), registers.protection.begin());
  std::copy_n(base_ + kLockdownOffset, registers.lockdown.size(), registers.lockdown.begin());
  std::copy_n(base_ + kSecurityOffset, registers.security.size(), registers.security.begin());
  return registers;
}

PageMode ModuleImage::pageMode() const {
  return base_[kSwitchOffset] != 0 ? PageMode::Binary : PageMode::Standard;
}

std::uint8_t ModuleImage::at(std::uint32_t address) const {
  const std::uint32_t page = address / DataFlash::kBinaryPageBytes % DataFlash::kPages;
  return this->page(page)[address % DataFlash::kBinaryPageBytes];
}

const std::uint8_t* ModuleImage::page(std::uint32_t page) const {
  return base_ + kArrayOffset + std::size_t{page % DataFlash::kPages} * DataFlash::kPageBytes;
}

FaultSetting ModuleImage::faults() const {
  FaultSetting faults;
  // The file was checked when it opened, but another program may have
  // written it since: a kind out of range counts as none.
  const std::uint8_t usb = base_[kUsbFaultOffset];
  const std::uint8_t cable = base_[kCableFaultOffset];
  if (usb <= kLastUsbFault) faults.usb = static_cast<FaultSetting::Usb>(usb);
  if (cable <= kLastCableFault) faults.cable = static_cast<FaultSetting::Cable>(cable);
  faults.usbAnswers = loadLe64(base_ + kUsbAnswersOffset);
  faults.cableAnswers = loadLe64(base_ + kCableAnswersOffset);
  faults.busy = base_[kBusyOffset] == 1;
  faults.flipAddress = loadLe32(base_ + kFlipAddressOffset);
  faults.flipMask = base_[kFlipMaskOffset];
  return faults;
}

void ModuleImage::setFaults(const FaultSetting& faults) {
  if (!writable_) throw failure(path_, "opened read-only");
  base_[kUsbFaultOffset] = static_cast<std::uint8_t>(faults.usb);
  base_[kCableFaultOffset] = static_cast<std::uint8_t>(faults.cable);
  base_[kBusyOffset] = faults.busy ? 1 : 0;
  base_[kFlipMaskOffset] = faults.flipMask;
  storeLe32(base_ + kFlipAddressOffset, faults.flipAddress);
  storeLe64(base_ + kUsbAnswersOffset, faults.usbAnswers);
  storeLe64(base_ + kCableAnswersOffset, faults.cableAnswers);
}

bool ModuleImage::countAnswer(View view) {
  if (!writable_) throw failure(path_, "opened read-only");
  std::uint8_t* count = base_ + (view == View::Usb ? kUsbAnswersOffset : kCableAnswersOffset);
  const std::uint64_t left = loadLe64(count);
  if (left == 0) return false;
  storeLe64(count, left - 1);
  return true;
}

ViewLock::~ViewLock() {
  if (fd_ >= 0) ::close(fd_);
}

ViewLock::ViewLock(ViewLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ViewLock& ViewLock::operator=(ViewLock&& other) noexcept {
  std::swap(fd_, other.fd_);
  return *this;
}

ViewLock::Result ViewLock::take(const std::string& path, View view) {
  // A file that took the name between the open and the lock (an image
  // replaced by create --force or export while it was held) is the one to
  // lock: the open is tried again on it.
  for (int attempt = 0;; ++attempt) {
    if (const std::optional<Result> result = takeOnce(path, view)) return *result;
    if (attempt == 10) {
      errno = EBUSY;
      return Result::InUse;
    }
  }
}

std::optional<ViewLock::Result> ViewLock::takeOnce(const std::string& path, View view) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Result::NoFile;
  struct flock record = lockRecord(view, F_WRLCK);
  if (::fcntl(fd, F_OFD_SETLK, &record) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EAGAIN || error == EACCES) return Result::InUse;
    errno = error;
    return Result::NoFile;
  }
  struct stat opened, named;
  if (::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
      (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)) {
    ::close(fd);
    return std::nullopt;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return Result::Taken;
}

bool viewInUse(const std::string& path, View view) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  return fd.get() >= 0 && viewInUse(fd.get(), view);
}

bool viewInUse(int fd, View view) {
  struct flock record = lockRecord(view, F_WRLCK);
  if (::fcntl(fd, F_OFD_GETLK, &record) != 0) return false;
  return record.l_type != F_UNLCK;
}

bool isModuleImage(int fd) {
  char magic[sizeof ModuleImage::kMagic];
  return ::pread(fd, magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
         std::equal(std::begin(magic), std::end(magic), std::begin(ModuleImage::kMagic));
}

bool holdViews(int fd) {
  struct flock record {};
  record.l_type = F_RDLCK;
  record.l_whence = SEEK_SET;
  record.l_start = 0;
  record.l_len = 2;
  if (::fcntl(fd, F_OFD_SETLK, &record) == 0) return true;
  return errno != EAGAIN && errno != EACCES;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vkm470::sim
