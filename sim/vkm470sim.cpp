// SPDX-License-Identifier: MIT
// vkm470sim: creates virtual modules, attaches them to the device directory
// that the library searches, shows and exports what a module holds, and sets
// the faults it shows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "hosted.h"
#include "image.h"
#include "vkm470_flash_map.h"

namespace {

namespace fs = std::filesystem;
using vkm470::sim::DataFlash;
using vkm470::sim::FaultSetting;
using vkm470::sim::fileKind;
using vkm470::sim::ImageError;
using vkm470::sim::ModuleImage;
using vkm470::sim::View;
using vkm470::sim::writeAll;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A failure of a command: the message goes to standard error, exit status 1.
struct Failure {
  std::string message;
};

// A command line that parsed but does not make sense: exit status 2.
struct Usage {
  std::string message;
};

// The flash map as the burner writes it, in 512-byte page addressing.
namespace map = vkm470::flash_map;

std::string systemError() { return std::strerror(errno); }

std::string hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// The library's own rule (the seam's device namespace), so that both always
// name the same directory.
fs::path deviceDirectory() {
  std::string dir, whyNone;
  if (!vkm470::os::hosted::deviceDirectory(&dir, &whyNone))
    throw Failure{"no device directory: " + whyNone};
  return dir;
}

std::optional<fs::path> findEntry(const fs::path& dir, const std::string& name) {
  const std::optional<std::string> entry = vkm470::os::hosted::findDeviceEntry(dir.string(), name);
  if (!entry) return std::nullopt;
  return fs::path(*entry);
}

std::string describeTarget(const fs::path& entry) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(entry, ec))) return fs::read_symlink(entry, ec).string();
  return entry.string();
}

// The names that --usb and --lpt pick; both defaults when neither is given.
std::vector<std::string> entryNames(const std::optional<int>& usb, const std::optional<int>& lpt) {
  std::vector<std::string> names;
  if (!usb && !lpt) return {"QDev0", "ALTLPT1"};
  if (usb) names.push_back("QDev" + std::to_string(*usb));
  if (lpt) names.push_back("ALTLPT" + std::to_string(*lpt));
  return names;
}

void create(const std::string& image, bool force) {
  try {
    ModuleImage::create(image, force);
  } catch (const ImageError& e) {
    std::error_code ec;
    if (!force && fs::exists(fs::symlink_status(image, ec)))
      throw Failure{std::string(e.what()) + " (--force replaces it)"};
    throw Failure{e.what()};
  }
}

void attach(const std::string& image, const std::optional<int>& usb,
            const std::optional<int>& lpt) {
  { ModuleImage check(image, ModuleImage::Access::ReadOnly); }
  const fs::path target = fs::canonical(image);
  const fs::path dir = deviceDirectory();
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Failure{dir.string() + ": cannot create the device directory: " + ec.message()};
  const std::vector<std::string> names = entryNames(usb, lpt);
  for (const std::string& name : names) {
    if (auto entry = findEntry(dir, name))
      throw Failure{name + " is taken: " + entry->string() + " links to " + describeTarget(*entry)};
  }
  for (const std::string& name : names) {
    fs::create_symlink(target, dir / name, ec);
    if (ec) throw Failure{(dir / name).string() + ": cannot create: " + ec.message()};
    std::cout << name << " -> " << target.string() << "\n";
  }
}

bool isModuleImage(const std::string& path) {
  try {
    ModuleImage check(path, ModuleImage::Access::ReadOnly);
    return true;
  } catch (const ImageError&) {
    return false;
  }
}

void detach(const std::optional<int>& usb, const std::optional<int>& lpt) {
  const fs::path dir = deviceDirectory();
  std::vector<fs::path> entries;
  for (const std::string& name : entryNames(usb, lpt)) {
    const std::optional<fs::path> entry = findEntry(dir, name);
    if (!entry) throw Failure{"no " + name + " in " + dir.string()};
    std::error_code ec;
    // Links to ports, links whose file is gone or is something else, and
    // other entries made by hand stay: only what attach makes is removed.
    if (!fs::is_symlink(fs::symlink_status(*entry, ec)) || !isModuleImage(entry->string()))
      throw Failure{entry->string() + " is not a link to a module image; left as it is"};
    entries.push_back(*entry);
  }
  for (const fs::path& entry : entries) {
    std::error_code ec;
    fs::remove(entry, ec);
    if (ec) throw Failure{entry.string() + ": cannot remove: " + ec.message()};
  }
}

std::string entryState(const fs::path& entry) {
  struct stat st;
  if (::stat(entry.c_str(), &st) != 0)
    return errno == ENOENT ? "missing" : "cannot examine: " + systemError();
  // A character device is a real port; any other file that is not a regular
  // one is named for what it is, without opening it.
  if (!S_ISREG(st.st_mode)) return fileKind(st.st_mode);
  const std::optional<View> view = vkm470::sim::viewOfEntry(entry.filename().string());
  if (!view) return "not a device name";
  if (!isModuleImage(entry.string())) return "not a module image";
  // The library opens an image for writing; one on a read-only file system,
  // or without write permission, does not open.
  const int fd = ::open(entry.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return "cannot be opened for writing: " + systemError();
  ::close(fd);
  return vkm470::sim::viewInUse(entry.string(), *view) ? "in use" : "free";
}

void list() {
  const fs::path dir = deviceDirectory();
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) throw Failure{dir.string() + ": no device directory (attach makes one)"};
    throw Failure{dir.string() + ": cannot examine the device directory: " + systemError()};
  }
  if (!S_ISDIR(st.st_mode))
    throw Failure{dir.string() + ": the device directory is not a directory"};
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(it->path());
  if (ec) throw Failure{dir.string() + ": cannot read the device directory: " + ec.message()};
  std::sort(entries.begin(), entries.end());
  for (const fs::path& entry : entries) {
    std::cout << entry.filename().string() << " -> " << describeTarget(entry) << " ("
              << entryState(entry) << ")\n";
  }
}

// The bytes of the flash from address on, in 512-byte page addressing.
template <std::size_t N>
std::array<std::uint8_t, N> flashBytes(const ModuleImage& image, std::uint32_t address) {
  std::array<std::uint8_t, N> bytes{};
  for (std::uint32_t i = 0; i < N; ++i) bytes[i] = image.at(address + i);
  return bytes;
}

std::string serialText(const ModuleImage& image) {
  const auto field = flashBytes<map::kSerialFieldBytes>(image, map::kSerialAddress);
  const std::optional<std::string> serial = map::decodeSerial(field.data());
  if (!serial) return "none (erased)";
  // As the burner shows it: at most 15 characters, up to the first zero byte.
  std::string text = "\"";
  for (const char byte : *serial) {
    const auto c = static_cast<std::uint8_t>(byte);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      text += byte;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text + "\"";
}

std::string pgaHeaderText(const ModuleImage& image) {
  const auto bytes = flashBytes<map::kPgaHeaderBytes>(image, map::kPgaHeaderAddress);
  const map::PgaHeader header = map::decodePgaHeader(bytes.data());
  if (header.state == map::PgaHeader::State::Erased) return "erased";
  std::string text =
      "length " + std::to_string(header.length) + ", sum " + hex(header.sum, 8) + ": ";
  if (header.state == map::PgaHeader::State::OutOfRange)
    return text + "length out of range (1.." + std::to_string(map::kPgaBytes) + ")";
  std::vector<std::uint8_t> pga(header.length);
  for (std::uint32_t i = 0; i < header.length; ++i) pga[i] = image.at(map::kPgaAddress + i);
  const std::uint32_t actual = map::byteSum(pga.data(), pga.size());
  const std::string what =
      "the " + std::to_string(header.length) + " bytes at " + hex(map::kPgaAddress, 6);
  if (header.matches(pga.data())) return text + "matches " + what;
  return text + "does not match " + what + ", which sum to " + hex(actual, 8);
}

std::string describeFaults(const FaultSetting& faults) {
  std::vector<std::string> parts;
  const auto counted = [](std::string text, std::uint64_t answers, const char* what) {
    if (answers != 0) text += " after " + std::to_string(answers) + " more " + what;
    return text;
  };
  static const char* const usbWords[] = {"none", "timeout", "short", "fail", "unplugged"};
  if (faults.usb != FaultSetting::Usb::None)
    parts.push_back(counted(std::string("usb ") + usbWords[static_cast<int>(faults.usb)],
                            faults.usbAnswers, "control requests"));
  if (faults.cable == FaultSetting::Cable::Absent) parts.push_back("cable absent");
  if (faults.cable == FaultSetting::Cable::Silent)
    parts.push_back(counted("cable silent", faults.cableAnswers, "requests"));
  if (faults.busy) parts.push_back("chip busy");
  if (faults.flipMask != 0)
    parts.push_back("flip " + hex(faults.flipMask, 2) + " at " + hex(faults.flipAddress, 6));
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text.empty() ? "none" : text;
}

void show(const std::string& path) {
  const ModuleImage image(path, ModuleImage::Access::ReadOnly);
  std::cout << path << "\n";
  if (image.pageMode() == vkm470::sim::PageMode::Binary)
    std::cout << "page mode: binary, 512-byte pages\n";
  else
    std::cout
        << "page mode: standard, 528-byte pages (the map is in 512-byte pages, as after -t)\n";
  char line[80];
  std::snprintf(line, sizeof line, "%-12s %-8s %8s %11s\n", "area", "address", "bytes",
                "programmed");
  std::cout << line;
  for (const map::Area& area : map::kAreas) {
    std::uint32_t programmed = 0;
    for (std::uint32_t i = 0; i < area.length; ++i)
      programmed += image.at(area.address + i) != 0xFF;
    std::snprintf(line, sizeof line, "%-12s %-8s %8u %11u\n", area.name,
                  hex(area.address, 6).c_str(), area.length, programmed);
    std::cout << line;
  }
  std::cout << "serial number: " << serialText(image) << "\n";
  std::cout << "PGA header: " << pgaHeaderText(image) << "\n";
  std::cout << "faults: " << describeFaults(image.faults()) << "\n";
}

// The flash as the library addresses it: the first 512 bytes of each page.
void writeFlash(const ModuleImage& image, int fd, const std::string& name) {
  std::vector<std::uint8_t> flash;
  flash.reserve(std::size_t{DataFlash::kPages} * DataFlash::kBinaryPageBytes);
  for (std::uint32_t page = 0; page < DataFlash::kPages; ++page)
    flash.insert(flash.end(), image.page(page), image.page(page) + DataFlash::kBinaryPageBytes);
  if (!writeAll(fd, flash.data(), flash.size()))
    throw Failure{name + ": cannot write: " + systemError()};
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A module image that a program has open (either side's lock is held):
// replacing it would leave that program's writes in a file that no longer has
// a name, and writing into it would wreck the module under the program.
bool heldImage(const std::string& name, int fd) {
  try {
    ModuleImage check(name, fd, ModuleImage::Access::ReadOnly);
  } catch (const ImageError&) {
    return false;
  }
  return vkm470::sim::viewInUse(fd, View::Usb) || vkm470::sim::viewInUse(fd, View::Cable);
}

// The file a chain of links ends at, so that export replaces the file that a
// link names (a device-directory entry, say) and not the link.
fs::path linkTarget(fs::path path) {
  std::error_code ec;
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, ec)); ++hops) {
    const fs::path next = fs::read_symlink(path, ec);
    if (ec) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path;
}

void exportToStandardOutput(const ModuleImage& image, const struct stat& source) {
  struct stat out;
  if (::fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) {
    if (sameFile(out, source)) throw Failure{"standard output is the module image itself"};
    if (heldImage("standard output", STDOUT_FILENO))
      throw Failure{"standard output is a module image in use by a program"};
  }
  writeFlash(image, STDOUT_FILENO, "standard output");
}

// Writes a new file beside the output and renames it into place, so that a
// program reading the old file keeps it whole and a failed export leaves the
// old one.
void exportToFile(const ModuleImage& image, const struct stat& source, const std::string& output) {
  const fs::path target = linkTarget(output);
  struct stat old;
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) throw Failure{output + ": cannot examine: " + systemError()};
  if (exists && S_ISDIR(old.st_mode)) throw Failure{output + ": is a directory"};
  if (exists && !S_ISREG(old.st_mode)) {
    // A device or a pipe takes the bytes as they come: there is no file to
    // replace.
    const int fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw Failure{output + ": cannot open: " + systemError()};
    try {
      writeFlash(image, fd, output);
    } catch (const Failure&) {
      ::close(fd);
      throw;
    }
    if (::close(fd) != 0) throw Failure{output + ": cannot write: " + systemError()};
    return;
  }
  // An image that a program has open is refused; one that is not is held
  // against its views from the check until the new file has the name, so
  // that no program opens it in between.
  struct Held {
    int fd = -1;
    ~Held() {
      if (fd >= 0) ::close(fd);
    }
  } held;
  if (exists) {
    if (sameFile(old, source)) throw Failure{output + ": is the module image itself"};
    held.fd = ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (held.fd >= 0 && vkm470::sim::isModuleImage(held.fd) && !vkm470::sim::holdViews(held.fd))
      throw Failure{output + ": a module image in use by a program; left as it is"};
  }
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) throw Failure{output + ": cannot create: " + systemError()};
  // mkstemp makes the file private: give it the old file's mode, or the usual one.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  try {
    if (::fchmod(fd, exists ? old.st_mode & 07777 : 0666 & ~mask) != 0)
      throw Failure{output + ": cannot create: " + systemError()};
    writeFlash(image, fd, output);
    if (::fsync(fd) != 0) throw Failure{output + ": cannot write: " + systemError()};
    if (::rename(temporary.c_str(), target.c_str()) != 0)
      throw Failure{output + ": cannot replace: " + systemError()};
  } catch (const Failure&) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  if (::close(fd) != 0) throw Failure{output + ": cannot write: " + systemError()};
}

void exportImage(const std::string& path, const std::string& output) {
  const ModuleImage image(path, ModuleImage::Access::ReadOnly);
  struct stat source;
  if (::stat(path.c_str(), &source) != 0)
    throw Failure{path + ": cannot examine: " + systemError()};
  if (output == "-")
    exportToStandardOutput(image, source);
  else
    exportToFile(image, source, output);
}

// A number as C writes it: hexadecimal after 0x, else decimal.
std::optional<std::uint64_t> parseNumber(const std::string& text) {
  const bool hexadecimal = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* first = text.data() + (hexadecimal ? 2 : 0);
  const char* last = text.data() + text.size();
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value, hexadecimal ? 16 : 10);
  if (first == last || error != std::errc() || end != last) return std::nullopt;
  return value;
}

constexpr std::uint32_t kFlashBytes = DataFlash::kPages * DataFlash::kBinaryPageBytes;

// ADDRESS:MASK, an address in the flash and a mask of 1 to 0xFF; or none.
std::optional<std::pair<std::uint32_t, std::uint8_t>> parseFlip(const std::string& text) {
  if (text == "none") return std::make_pair(std::uint32_t{0}, std::uint8_t{0});
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::optional<std::uint64_t> address = parseNumber(text.substr(0, colon));
  const std::optional<std::uint64_t> mask = parseNumber(text.substr(colon + 1));
  if (!address || !mask || *address >= kFlashBytes || *mask == 0 || *mask > 0xFF)
    return std::nullopt;
  return std::make_pair(static_cast<std::uint32_t>(*address), static_cast<std::uint8_t>(*mask));
}

struct FaultOptions {
  std::optional<std::string> usb;
  std::optional<std::string> cable;
  std::optional<std::uint64_t> after;
  std::optional<std::string> chip;
  std::optional<std::string> flip;
  bool clear = false;

  bool changes() const { return usb || cable || chip || flip || clear; }
};

const char* const kUsbFaults[] = {"none", "timeout", "short", "fail", "unplugged"};
const char* const kCableFaults[] = {"none", "absent", "silent"};

template <typename Kind, std::size_t N>
Kind kindOf(const char* const (&words)[N], const std::string& word) {
  return static_cast<Kind>(std::find(std::begin(words), std::end(words), word) - std::begin(words));
}

void fault(const std::string& path, const FaultOptions& options) {
  const bool usbCounted = options.usb && *options.usb != "none";
  const bool cableCounted = options.cable && *options.cable == "silent";
  if (options.after && usbCounted == cableCounted)
    throw Usage{
        "--after counts the requests that one side answers before its fault: give it "
        "with --usb KIND or with --cable silent, not both"};
  ModuleImage image(
      path, options.changes() ? ModuleImage::Access::ReadWrite : ModuleImage::Access::ReadOnly);
  FaultSetting faults = options.clear ? FaultSetting{} : image.faults();
  if (options.usb) {
    faults.usb = kindOf<FaultSetting::Usb>(kUsbFaults, *options.usb);
    faults.usbAnswers = usbCounted ? options.after.value_or(0) : 0;
  }
  if (options.cable) {
    faults.cable = kindOf<FaultSetting::Cable>(kCableFaults, *options.cable);
    faults.cableAnswers = cableCounted ? options.after.value_or(0) : 0;
  }
  if (options.chip) faults.busy = *options.chip == "busy";
  if (options.flip) {
    const auto flip = parseFlip(*options.flip);
    faults.flipAddress = flip->first;
    faults.flipMask = flip->second;
  }
  if (options.changes()) image.setFaults(faults);
  std::cout << "faults: " << describeFaults(faults) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vkm470sim: virtual VKM470 modules, kept in module image files", "vkm470sim"};
  // At most one command; a missing one is reported after the parse, so that
  // an unknown word is named rather than taken for a missing command.
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", "vkm470sim " VKM470_VERSION, "Print the version and exit");
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "vkm470sim: " + std::string(e.what()) + "\nRun with --help for more information.\n";
  });

  std::string image;
  std::string output;
  bool force = false;
  FaultOptions faults;
  std::optional<int> usb;
  std::optional<int> lpt;

  CLI::App* createCommand =
      app.add_subcommand("create", "Create a module image: standard pages, every byte 0xFF");
  createCommand->add_option("IMAGE", image, "Module image file")->required();
  createCommand->add_flag("--force", force, "Replace an existing file");

  const auto addViews = [&](CLI::App* command) {
    command->add_option("--usb", usb, "QDevN: the module's USB side (N = 0..255)")
        ->check(CLI::Range(0, 255));
    command->add_option("--lpt", lpt, "ALTLPTN: the module's download cable (N = 1..3)")
        ->check(CLI::Range(1, 3));
  };
  CLI::App* attachCommand = app.add_subcommand(
      "attach", "Link device names to a module image (neither option: --usb 0 --lpt 1)");
  attachCommand->add_option("IMAGE", image, "Module image file")->required();
  addViews(attachCommand);
  CLI::App* detachCommand =
      app.add_subcommand("detach", "Remove device names (neither option: --usb 0 --lpt 1)");
  addViews(detachCommand);
  CLI::App* listCommand =
      app.add_subcommand("list", "List the device directory: each entry, its target, its state");
  CLI::App* showCommand =
      app.add_subcommand("show", "Show page mode, flash areas, serial number and PGA header");
  showCommand->add_option("IMAGE", image, "Module image file")->required();
  CLI::App* exportCommand = app.add_subcommand(
      "export", "Write the 2 MiB flash: page p, offset o at p * 512 + o (first 512 bytes a page)");
  exportCommand->add_option("IMAGE", image, "Module image file")->required();
  exportCommand->add_option("-o,--output", output, "Output file; - for standard output")
      ->required();
  CLI::App* faultCommand = app.add_subcommand(
      "fault", "Set the faults the module shows to programs that open it later; print them");
  faultCommand->add_option("IMAGE", image, "Module image file")->required();
  faultCommand
      ->add_option("--usb", faults.usb,
                   "USB side, control requests: none, timeout (left pending), short (one byte "
                   "short), fail (refused at once) or unplugged (the module gone, opens too)")
      ->check(
          CLI::IsMember(std::vector<std::string>(std::begin(kUsbFaults), std::end(kUsbFaults))));
  faultCommand
      ->add_option("--cable", faults.cable,
                   "Cable: none, absent (no cable on the port) or silent (every request fails)")
      ->check(CLI::IsMember(
          std::vector<std::string>(std::begin(kCableFaults), std::end(kCableFaults))));
  faultCommand
      ->add_option(
          "--after", faults.after,
          "With --usb KIND or --cable silent: that side answers N more requests (USB: control "
          "requests), counted across programs in the image, before the fault shows; default 0")
      ->check(CLI::Validator(
          [](std::string& text) {
            return parseNumber(text) ? std::string() : "expected a number of requests, got " + text;
          },
          "N"));
  faultCommand->add_option("--chip", faults.chip, "ready, or busy: the chip never becomes ready")
      ->check(CLI::IsMember({"ready", "busy"}));
  faultCommand
      ->add_option("--flip", faults.flip,
                   "ADDRESS:MASK: the byte at this flash address reads with these bits flipped, "
                   "the cells unchanged (0x for hexadecimal); or none")
      ->check(CLI::Validator(
          [](std::string& text) {
            return parseFlip(text) ? std::string()
                                   : "expected ADDRESS:MASK (address below 0x200000, mask 1 to "
                                     "0xFF) or none, got " +
                                         text;
          },
          "ADDRESS:MASK"));
  faultCommand->add_flag("--clear", faults.clear, "No faults; other options then apply on top");
  faultCommand->footer(
      "Options not given leave their part of the setting as it is; no option prints it. A program "
      "takes the setting when it opens a side of the module.\n");
  app.footer("Device directory: $VKM470_DEVICES, or ~/.vkm470/devices without it.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitSuccess : kExitUsage;
  }
  if (app.get_subcommands().empty()) {
    std::cerr << "vkm470sim: a command is required: create, attach, detach, list, show, export "
                 "or fault\nRun with --help for more information.\n";
    return kExitUsage;
  }

  try {
    if (*createCommand) create(image, force);
    if (*attachCommand) attach(image, usb, lpt);
    if (*detachCommand) detach(usb, lpt);
    if (*listCommand) list();
    if (*showCommand) show(image);
    if (*exportCommand) exportImage(image, output);
    if (*faultCommand) fault(image, faults);
  } catch (const Usage& e) {
    std::cerr << "vkm470sim: " << e.message << "\nRun with --help for more information.\n";
    return kExitUsage;
  } catch (const Failure& e) {
    std::cerr << "vkm470sim: " << e.message << "\n";
    return kExitFailure;
  } catch (const ImageError& e) {
    std::cerr << "vkm470sim: " << e.what() << "\n";
    return kExitFailure;
  } catch (const fs::filesystem_error& e) {
    std::cerr << "vkm470sim: " << e.what() << "\n";
    return kExitFailure;
  }
  return kExitSuccess;
}
