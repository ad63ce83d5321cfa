// SPDX-License-Identifier: MIT
// A module image: one file that holds a virtual module's DataFlash, so a
// module outlives the processes that burn and read it. Little-endian, of a
// fixed size: the file never grows or shrinks after it is created.
//
//   offset  bytes    contents
//   0       8        magic "VKM470MI"
//   8       4        format version, 1
//   12      4        pages, 4096
//   16      4        bytes per page, 528
//   20      4        offset of the array, 512
//   24      1        page-size switch: 0 standard 528-byte pages, 1 binary
//                    512-byte pages (the chip's one-time switch: no way back)
//   25      7        zero
//   32      16       sector protection register
//   48      16       sector lockdown register
//   64      128      security register (64 user bytes, 64 factory bytes)
//   192     24       the fault setting (FaultSetting below), zero for none:
//     192   1          USB side: 0 none, 1 timeout, 2 short, 3 fail, 4 unplugged
//     193   1          cable: 0 none, 1 absent, 2 silent
//     194   1          chip: 0 ready, 1 busy
//     195   1          flip mask, 0 for no flip
//     196   4          flip address
//     200   8          USB control requests still answered before its fault
//     208   8          cable requests still answered before its fault
//   216     296      zero
//   512     2162688  the array: page 0 first, 528 bytes a page
//
// Version 1 held zeros where the fault setting now is, so every image of it
// reads as a module without faults.
//
// The chip works on the file's bytes mapped shared into memory, so each
// completed page program is in the file (the system's file cache) at once:
// it survives the process being killed, and every process that has the image
// open sees it. An open view of the image holds a write lock on one byte of
// the file (byte 0 the USB view, byte 1 the cable view), taken on an open
// file description of its own, so a second opener of that view conflicts
// whether it is in the same process or another, and the lock ends with the
// handle or the process.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "dataflash.h"

namespace vkm470::sim {

// What went wrong with an image file; the message names the file.
class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class View { Usb, Cable };

// How a module misbehaves, for tests of what users see when things go wrong.
// A program applies the setting when it opens a side of the module; the two
// counts go down in the file as that side answers requests, so they run on
// across programs until the fault shows, and it then shows on every request.
struct FaultSetting {
  enum class Usb : std::uint8_t { None, TimeOut, ShortAnswer, FailAtOnce, Unplugged };
  enum class Cable : std::uint8_t { None, Absent, Silent };

  // Control requests: left pending, completed one byte short, failed at
  // once, or the module gone (opens fail too).
  Usb usb = Usb::None;
  // Control requests the USB side still answers before its fault shows.
  std::uint64_t usbAnswers = 0;
  // Absent: the port query answers that no cable is there. Silent: every
  // request fails.
  Cable cable = Cable::None;
  // Requests the cable still answers before it falls silent.
  std::uint64_t cableAnswers = 0;
  bool busy = false;  // the chip never becomes ready
  // The byte at this flash address (page address / 512, offset address % 512)
  // reads with these bits flipped, whatever reads it; the cells keep their
  // contents. No flip for mask 0.
  std::uint32_t flipAddress = 0;
  std::uint8_t flipMask = 0;

  bool any() const { return usb != Usb::None || cable != Cable::None || busy || flipMask != 0; }
};

// What a file that is not a regular one is, by its st_mode, for messages:
// "named pipe", "directory", "character device", "block device" or "socket";
// empty for a regular file.
std::string fileKind(unsigned mode);

// The view a device-directory entry stands for, names compared
// case-insensitively: QDevN (N = 0..255) the USB view, ALTLPTn (n = 1..9) the
// cable view. Nothing for other names.
std::optional<View> viewOfEntry(const std::string& name);

class ModuleImage {
 public:
  static constexpr char kMagic[8] = {'V', 'K', 'M', '4', '7', '0', 'M', 'I'};
  static constexpr std::uint32_t kVersion = 1;
  static constexpr std::uint32_t kArrayOffset = 512;
  static constexpr std::uint32_t kSwitchOffset = 24;
  static constexpr std::uint64_t kFileBytes = kArrayOffset + std::uint64_t{DataFlash::kArrayBytes};

  enum class Access { ReadOnly, ReadWrite };

  // Writes a module in its factory state (standard pages, every byte 0xFF) to
  // path. An existing file is refused unless replace; a replaced file is
  // swapped whole, so a process that has the old one open keeps the old one.
  static void create(const std::string& path, bool replace);

  // Opens, checks and maps the image at path. Throws ImageError for a file
  // that cannot be opened, or is damaged or foreign. Anything but a regular
  // file is refused before it is opened, so a named pipe never blocks.
  ModuleImage(const std::string& path, Access access);
  // The same on a descriptor of the file that the caller keeps.
  ModuleImage(const std::string& path, int fd, Access access);
  ~ModuleImage();
  ModuleImage(const ModuleImage&) = delete;
  ModuleImage& operator=(const ModuleImage&) = delete;

  const std::string& path() const { return path_; }
  // The chip's cells in the mapped file (ReadWrite only).
  DataFlash::Cells cells();
  DataFlash::Registers registers() const;
  PageMode pageMode() const;
  // The byte at a flash address in 512-byte page addressing: page
  // address / 512, offset address % 512, whatever the page mode.
  std::uint8_t at(std::uint32_t address) const;
  // The whole page, 528 bytes.
  const std::uint8_t* page(std::uint32_t page) const;

  FaultSetting faults() const;
  // ReadWrite only.
  void setFaults(const FaultSetting& faults);
  // For a request on the view: counts it off the view's answers before its
  // fault and returns true while there are any; false once the fault is due.
  // The caller serialises calls on one view.
  bool countAnswer(View view);

 private:
  void map(int fd);

  std::string path_;
  std::uint8_t* base_ = nullptr;
  bool writable_ = false;
};

// An open file description of an image that holds the write lock of one view.
// The lock ends with the object (or the process).
class ViewLock {
 public:
  enum class Result { Taken, InUse, NoFile };

  ViewLock() = default;
  ~ViewLock();
  ViewLock(ViewLock&& other) noexcept;
  ViewLock& operator=(ViewLock&& other) noexcept;

  // Opens path read-write and locks the view's byte. NoFile leaves the
  // reason in errno.
  Result take(const std::string& path, View view);
  int fd() const { return fd_; }

 private:
  // One try; nullopt when the name went to another file meanwhile.
  std::optional<Result> takeOnce(const std::string& path, View view);

  int fd_ = -1;
};

// Whether a process, this one included, holds the view of the image at path,
// or of the image open on fd.
bool viewInUse(const std::string& path, View view);
bool viewInUse(int fd, View view);

// Whether the file open on fd begins with a module image's magic.
bool isModuleImage(int fd);

// Holds the image open on fd against its views: read locks on both views'
// bytes, on fd's own open file description, so that no view opens while they
// are held (until fd is closed). False when a view is open now. A program that
// replaces an image holds them from its check until the new file has the name.
bool holdViews(int fd);

// Writes all of data to fd, going on after interruptions and short writes.
bool writeAll(int fd, const std::uint8_t* data, std::size_t size);

}  // namespace vkm470::sim
