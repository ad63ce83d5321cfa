// SPDX-License-Identifier: MIT
#include "core.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vkm470::tool {

namespace {

// The time-out each USB flash piece gets, as the burner gives it.
constexpr std::uint32_t kFlashTimeoutMs = map::kPieceTimeoutMs;
// Reads go in large pieces: over the cable each call costs a cable open and
// a command window whatever its length. Programs go in the burner's pieces
// (8 pages), which keeps the meter moving.
constexpr std::uint32_t kReadPiece = 65536;
constexpr std::uint32_t kProgramPiece = map::kPieceBytes;

}  // namespace

std::optional<DeviceId> parseDevice(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto number = [](const std::string& digits) -> std::optional<int> {
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    return std::stoi(digits);
  };
  // The burner's names: USB (the first USB module) and LPTn.
  if (lower == "usb") return DeviceId{};
  if (lower.compare(0, 7, "serial:") == 0) {
    const std::string serial = text.substr(7);
    if (serial.empty() || serial.size() > map::kSerialTextBytes) return std::nullopt;
    DeviceId id;
    id.serial = serial;
    return id;
  }
  std::optional<int> n;
  bool usb = false;
  if (lower.compare(0, 4, "usb:") == 0) {
    usb = true;
    n = number(lower.substr(4));
  } else if (lower.compare(0, 4, "lpt:") == 0) {
    n = number(lower.substr(4));
  } else if (lower.compare(0, 3, "lpt") == 0) {
    n = number(lower.substr(3));
  }
  if (!n) return std::nullopt;
  if (usb && *n <= 255) return DeviceId{true, *n};
  if (!usb && *n >= 1 && *n <= 3) return DeviceId{false, *n};
  return std::nullopt;
}

std::string statusText(int32_t status) {
  return std::string(VKM470F_StatusText(status)) + " (" + std::to_string(status) + ")";
}

#ifndef _WIN32
int flushData(int fd) {
#ifdef __linux__
  return ::fdatasync(fd);
#else
  return ::fsync(fd);
#endif
}
#endif

std::string hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

std::optional<std::uint32_t> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool hexadecimal = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* start = text.c_str() + (hexadecimal ? 2 : 0);
  if (*start == '-' || *start == '+' || std::isspace(static_cast<unsigned char>(*start)))
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(start, &end, hexadecimal ? 16 : 10);
  if (errno != 0 || *end != '\0' || end == start || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

Module::Module(const DeviceId& id) : id_(id) { record_.interfaceType = id.interfaceType(); }

Module::~Module() { VKM470F_CloseFullDevice(&record_); }

const char* refusalWord(Refusal refusal) {
  switch (refusal) {
    case Refusal::Absent:
      return "absent";
    case Refusal::InUse:
      return "in use";
    case Refusal::Denied:
      return "access denied";
    case Refusal::NoCable:
      return "no cable";
    default:
      return nullptr;
  }
}

Module::Opened Module::tryOpen() {
  // Cleared first: a port that opens but has no cable leaves no reason, and a
  // value left from an earlier call must not be taken for one.
#ifdef _WIN32
  SetLastError(ERROR_SUCCESS);
#else
  errno = 0;
#endif
  Opened result;
  result.status = VKM470F_OpenDevice(&record_, static_cast<uint8_t>(id_.number));
  // Read at once: anything called after the open may change it.
#ifdef _WIN32
  const DWORD error = GetLastError();
  const bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  const bool held = error == ERROR_SHARING_VIOLATION;
  const bool denied = error == ERROR_ACCESS_DENIED;
  const bool none = error == ERROR_SUCCESS;
#else
  const int error = errno;
  const bool absent = error == ENOENT;
  const bool held = error == EBUSY;
  const bool denied = error == EACCES;
  const bool none = error == 0;
#endif
  if (result.status == VKM470F_SUCCESS) return result;
  const int32_t notOpened = id_.usb ? VKM470F_ERR_OPEN_FAILED : VKM470F_ERR_CABLE_OPEN;
  if (result.status != notOpened)
    result.refusal = Refusal::Other;
  else if (absent)
    result.refusal = Refusal::Absent;
  else if (held)
    result.refusal = Refusal::InUse;
  else if (denied)
    result.refusal = Refusal::Denied;
  else if (none && !id_.usb)
    result.refusal = Refusal::NoCable;
  else
    result.refusal = Refusal::Other;
  return result;
}

void Module::open() {
  const Opened opened = tryOpen();
  std::string message = name() + ": ";
  switch (opened.refusal) {
    case Refusal::None:
      return;
    case Refusal::Absent:
      message += id_.usb ? "no module at QDev" + std::to_string(id_.number) : "no such port";
      break;
    case Refusal::InUse:
      message += id_.usb ? "the module is in use by another program"
                         : "the port is in use by another program";
      break;
    case Refusal::Denied:
      message += "access denied";
#ifdef __linux__
      if (id_.usb) message += "; see USB MODULES ON LINUX in vkm470(1)";
#endif
      break;
    case Refusal::NoCable:
      message += "no cable on the port";
      break;
    case Refusal::Other:
      message += (id_.usb ? "does not open: " : "the download cable does not open: ") +
                 statusText(opened.status);
      break;
  }
  throw Failure(kUnreachable, message, refusalWord(opened.refusal));
}

void Module::failed(const char* what, std::uint32_t address, std::uint32_t length,
                    int32_t status) const {
  std::string message = name() + ": " + what +
                        (length == 0 ? "" : " " + hex(address) + ".." + hex(address + length - 1)) +
                        " failed: " + statusText(status);
  if (status == VKM470F_ERR_FLASH_FAILED)
    message += "; the cable stopped answering or the chip stayed busy";
  else if (status == VKM470F_ERR_CABLE_OPEN)
    message += "; the cable is gone";
  throw Failure(kFailed, message);
}

void Module::read(std::uint32_t address, std::uint8_t* data, std::uint32_t length, Meter& meter) {
  requirePages();
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t piece = std::min(kReadPiece, length - done);
    const int32_t status =
        VKM470F_ReadDSPFlash(&record_, address + done, data + done, piece, kFlashTimeoutMs);
    if (status != VKM470F_SUCCESS) failed("reading", address + done, piece, status);
    done += piece;
    meter.advance(piece);
  }
}

void Module::program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length,
                     Meter& meter) {
  requirePages();
  for (std::uint32_t done = 0; done < length;) {
    // Pieces end on page boundaries, so that a page is never split in two calls.
    const std::uint32_t toBoundary = kProgramPiece - (address + done) % kProgramPiece;
    const std::uint32_t piece = std::min(toBoundary, length - done);
    const int32_t status =
        VKM470F_ProgrammDSPFlash(&record_, address + done, data + done, piece, kFlashTimeoutMs);
    if (status != VKM470F_SUCCESS) failed("programming", address + done, piece, status);
    done += piece;
    meter.advance(piece);
  }
}

std::optional<FlashInformation> Module::flashInformation() {
  if (id_.usb) return std::nullopt;
  FlashInformation info;
  const int32_t status = VKM470F_SpecialDSPFlashCommand(&record_, VKM470F_SPECIAL_FLASH_INFORMATION,
                                                        info.bytes.data(), 8);
  if (status != VKM470F_SUCCESS) failed("reading the flash information", 0, 0, status);
  return info;
}

std::string Module::moduleName() {
  if (!id_.usb) return {};
  char text[17] = {};
  const int32_t status = VKM470F_GetDeviceName(&record_, text, 16);
  if (status != VKM470F_SUCCESS)
    throw Failure(kFailed, name() + ": reading the module's name failed: " + statusText(status));
  return text;
}

std::optional<std::string> Module::pagesRefusal(const FlashInformation& info) const {
  if (!info.answers())
    return name() + ": the flash does not answer on the cable (status " + hex(info.status(), 2) +
           ", ID " + hex(info.bytes[4], 2) + ")";
  if (!info.binaryPages())
    return name() +
           ": the flash still has 528-byte pages, and the library addresses "
           "512-byte ones; switch it once with vkm470burn -i LPT" +
           std::to_string(id_.number) + " -t";
  return std::nullopt;
}

void Module::requirePages() {
  if (pagesChecked_ || id_.usb) return;
  const auto info = flashInformation();
  if (const auto refusal = pagesRefusal(*info)) throw Failure(kFailed, *refusal);
  pagesChecked_ = true;
}

std::string serialText(const std::optional<std::string>& serial) {
  if (!serial) return "erased";
  std::string text;
  for (const char byte : *serial) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x20 && c < 0x7F) {
      text += byte;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

std::array<int16_t, kUsbNumbers> searchUsb() {
  VKM470F_DEVICE search{};
  search.interfaceType = VKM470F_INTERFACE_USB;
  std::array<int16_t, kUsbNumbers> entries;
  VKM470F_SearchDevices(&search, entries.data(), kUsbNumbers);
  VKM470F_CloseFullDevice(&search);
  return entries;
}

Survey survey() {
  Survey result;
  const auto entries = searchUsb();
  for (int n = 0; n < kUsbNumbers; ++n) {
    if (entries[n] >= 0) {
      result.modules.push_back({DeviceId{true, n}, entries[n], std::nullopt});
      continue;
    }
    // The search does not say why a number did not open; the open does. One
    // that opens now was freed since the search, which did not see what it
    // is: it is left out.
    Module probe(DeviceId{true, n});
    const Refusal refusal = probe.tryOpen().refusal;
    if (refusal != Refusal::None && refusal != Refusal::Absent)
      result.modules.push_back({probe.id(), -1, std::nullopt, refusal});
  }
  for (int port = 1; port <= 3; ++port) {
    Module cable(DeviceId{false, port});
    const Refusal refusal = cable.tryOpen().refusal;
    if (refusal == Refusal::Absent || refusal == Refusal::NoCable) continue;
    Reachable entry{cable.id(), 1, std::nullopt, refusal};
    if (refusal == Refusal::None) {
      try {
        entry.flash = cable.flashInformation();
      } catch (const Failure&) {
      }
    }
    result.modules.push_back(entry);
  }
  return result;
}

}  // namespace vkm470::tool
