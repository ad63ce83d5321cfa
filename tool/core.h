// SPDX-License-Identifier: MIT
// The shared core of vkm470: which module a command runs on, the module as the
// library's exports reach it, exit statuses, failures, images and numbers.
// Everything goes through the public header; nothing here knows how the
// library works inside.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vkm470_flash_map.h"
#include "vkm470fapi.h"

namespace vkm470::tool {

namespace map = vkm470::flash_map;
using Bytes = std::vector<std::uint8_t>;

// Exit statuses, as the manual page lists them.
enum Exit : int { kDone = 0, kFailed = 1, kUsage = 2, kUnreachable = 3 };

// A command that cannot go on: the message names what went wrong (without a
// "error:" prefix), exit is the status it ends with.
// reason: for a module that does not open, the word --json gives for why
// (see refusalWord), or null.
struct Failure : std::runtime_error {
  Failure(int exitStatus, const std::string& message, const char* why = nullptr)
      : std::runtime_error(message), exit(exitStatus), reason(why) {}
  int exit;
  const char* reason;
};

// Why a module did not open, as the library's open leaves it in the thread's
// system error: absent (no such device or port), held by another program or
// record, access denied, a port that opened but has no cable on it, or a
// reason the library does not name.
enum class Refusal { None, Absent, InUse, Denied, NoCable, Other };

// "absent", "in use", "access denied", "no cable"; null for None and Other.
const char* refusalWord(Refusal refusal);

// A module as the command line names it: usb:N (N = 0..255), lpt:N (1..3),
// or by the serial number in its flash, serial:TEXT (1 to 15 characters).
struct DeviceId {
  DeviceId() = default;
  DeviceId(bool isUsb, int n) : usb(isUsb), number(n) {}

  bool usb = true;
  int number = 0;
  std::string serial;  // not empty: the module that holds this serial number

  std::string name() const {
    if (!serial.empty()) return "serial:" + serial;
    return (usb ? "usb:" : "lpt:") + std::to_string(number);
  }
  int32_t interfaceType() const {
    return usb ? VKM470F_INTERFACE_USB : VKM470F_INTERFACE_LPT1 + (number - 1);
  }
  bool operator==(const DeviceId& other) const {
    return usb == other.usb && number == other.number && serial == other.serial;
  }
};

// The names -d takes, in any case: usb:N, lpt:N, serial:TEXT, and the
// burner's USB (usb:0) and LPTn; nullopt for anything else.
std::optional<DeviceId> parseDevice(const std::string& text);

// Told how far a transfer has come; the progress display implements it.
class Meter {
 public:
  virtual ~Meter() = default;
  // A new phase ("reading", "writing", ...) of total bytes.
  virtual void phase(const char* name, std::uint64_t total) = 0;
  virtual void advance(std::uint64_t bytes) = 0;
};

// A meter that shows nothing.
class NoMeter : public Meter {
 public:
  void phase(const char*, std::uint64_t) override {}
  void advance(std::uint64_t) override {}
};

// The flash information block of the download cable: status byte, the three
// register bytes, the four ID bytes.
struct FlashInformation {
  std::array<std::uint8_t, 8> bytes{};
  std::uint8_t status() const { return bytes[0]; }
  bool binaryPages() const { return (bytes[0] & 0x01) != 0; }
  // The chip answers with the DataFlash manufacturer ID.
  bool answers() const { return bytes[4] == 0x1F; }
};

// One module, one device record, for the life of one command on it. Not shared
// between threads: each thread of a many-module run has its own.
class Module {
 public:
  explicit Module(const DeviceId& id);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const DeviceId& id() const { return id_; }
  std::string name() const { return id_.name(); }

  // Opens the module, or fails with kUnreachable naming why.
  void open();

  // Opens the module; when it does not open, why, and the library's code.
  struct Opened {
    Refusal refusal = Refusal::None;
    int32_t status = VKM470F_SUCCESS;
  };
  Opened tryOpen();

  // The flash, in pieces that keep the meter moving; each failure throws kFailed
  // naming the range and the library's reason.
  void read(std::uint32_t address, std::uint8_t* data, std::uint32_t length, Meter& meter);
  void program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length, Meter& meter);

  // The download cable's flash information block; nullopt over USB, whose
  // firmware is not known to answer the cable's information command.
  std::optional<FlashInformation> flashInformation();

  // The module's name over USB (empty over the cable).
  std::string moduleName();

  // Over the cable, a chip still in 528-byte pages takes the library's 512-byte
  // page addresses for other bytes: reading would give other bytes, writing
  // would scatter the image. Why the flash of an information block cannot be
  // used (with the hint to switch), or nullopt when it can.
  std::optional<std::string> pagesRefusal(const FlashInformation& info) const;

 private:
  // The first read or program over the cable checks the page mode first and
  // fails with pagesRefusal's message.
  void requirePages();
  [[noreturn]] void failed(const char* what, std::uint32_t address, std::uint32_t length,
                           int32_t status) const;

  DeviceId id_;
  VKM470F_DEVICE record_{};
  bool pagesChecked_ = false;
};

// "device could not be opened (-1002)": the header's text and the code.
std::string statusText(int32_t status);

std::string hex(std::uint32_t value, int digits = 6);

// A number as written on the command line: decimal, or hexadecimal after 0x.
std::optional<std::uint32_t> parseNumber(const std::string& text);

// A serial number as the text output shows it: printable ASCII as it is,
// other bytes as \xNN; "erased" for an erased field (map::decodeSerial).
std::string serialText(const std::optional<std::string>& serial);

// The modules that are there: free USB devices by VKM470F_SearchDevices and
// parallel ports whose cable opens, and the USB numbers and ports that do not
// open for a reason other than being absent (held, access denied, ...). USB
// numbers in order, then the ports.
struct Reachable {
  DeviceId id;
  int16_t searchEntry = 1;                // USB: 1 a VKM470, 0 another device
  std::optional<FlashInformation> flash;  // cable: the information block when it answers
  Refusal refusal = Refusal::None;        // None: it opened
};
struct Survey {
  std::vector<Reachable> modules;
};
Survey survey();

// The USB numbers a search goes through, usb:0 to usb:255.
constexpr int kUsbNumbers = 256;
// The library's search of every USB number: 1 a free VKM470, 0 another free
// device, -1 absent or not opened.
std::array<int16_t, kUsbNumbers> searchUsb();

#ifndef _WIN32
// The bytes written to fd, and what reading them back needs (the length), to
// the disk; not the inode's times, which fsync also writes. 0 when done.
int flushData(int fd);
#endif

}  // namespace vkm470::tool
