// SPDX-License-Identifier: MIT
// read: an area, a range or the whole flash into a file or standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "imagefiles.h"
#include "output.h"
#include "plan.h"

namespace vkm470::tool {

namespace {

struct ReadOptions {
  std::string area;
  std::string address;
  std::string length;
  bool all = false;
  std::string output;
  std::string format;
};

// The readable areas by the names the command line takes.
const map::Area* findArea(const std::string& name) {
  static const map::Area areas[] = {
      {"boot", map::kBootAddress, map::kBootBytes},
      {"serial", map::kSerialAddress, map::kSerialAreaBytes},
      {"application", map::kAppAddress, map::kAppBytes},
      {"pga", map::kPgaAddress, map::kPgaBytes},
  };
  for (const map::Area& area : areas)
    if (name == area.name) return &area;
  return nullptr;
}

Target::Span chosenRange(const ReadOptions& options) {
  if (options.all) return {0, map::kFlashBytes};
  if (!options.area.empty()) {
    const map::Area* area = findArea(options.area);
    if (area == nullptr)
      throw Failure(kUsage, "no area " + options.area + " (boot, serial, application, pga)");
    return {area->address, area->length};
  }
  const auto address = parseNumber(options.address);
  const auto length = parseNumber(options.length);
  if (!address || !length)
    throw Failure(kUsage,
                  "give an AREA, --all, or --address A --length N (numbers: decimal or 0x)");
  if (*length == 0 || *address >= map::kFlashBytes || *length > map::kFlashBytes - *address)
    throw Failure(kUsage, "the range " + hex(*address) + " + " + std::to_string(*length) +
                              " bytes is not inside the flash (" +
                              std::to_string(map::kFlashBytes) + " bytes)");
  return {*address, *length};
}

class Read : public Command {
 public:
  Read()
      : Command("read", "read an area, a range or the whole flash into a file", Takes::OneModule,
                false) {}

 private:
  void declare(CLI::App& command) override {
    auto* area = command.add_option("AREA", options_.area, "boot, serial, application or pga");
    auto* address = command.add_option("--address", options_.address, "first byte (0x for hex)");
    auto* length = command.add_option("--length", options_.length, "number of bytes");
    auto* all = command.add_flag("--all", options_.all, "the whole flash, 2 MiB");
    area->excludes(address)->excludes(length)->excludes(all);
    all->excludes(address)->excludes(length);
    address->needs(length);
    length->needs(address);
    command.add_option("-o,--output", options_.output, "file, or - for standard output")
        ->required();
    command
        .add_option("--format", options_.format,
                    "raw, ihex or srec (default: by the output's name: .hex Intel HEX; .srec, "
                    ".s19, .s28, .s37 S-records; else raw)")
        ->type_name("FORMAT");
  }

  int run() override {
    const ReadOptions& options = options_;
    const Target::Span range = chosenRange(options);
    // An area's file holds offsets in the area, so that write takes it back
    // with the area's option; a range's or the whole flash's, flash addresses.
    const std::uint32_t first = options.area.empty() ? range.address : 0;
    int addressBytes = 0;
    const loadfile::Format nameFormat = loadfile::formatOfName(options.output, &addressBytes);
    const loadfile::Format format = formatOption(options.format).value_or(nameFormat);
    const auto modules = chosenModules();
    const bool toStdout = options.output == "-";
    return runOnModules(common_, modules, [&](Module& module, Meter& meter) {
      Bytes data(range.length);
      meter.phase("reading", range.length);
      module.read(range.address, data.data(), range.length, meter);
      if (format != loadfile::Format::Raw) {
        const std::string text = outputText(format, addressBytes, first, data);
        data.assign(text.begin(), text.end());
      }
      if (toStdout) {
        if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() ||
            std::fflush(stdout) != 0)
          throw Failure(kFailed,
                        "cannot write standard output: " + std::string(std::strerror(errno)));
      } else {
        replaceFile(options.output, data);
      }
      Result result;
      result.summary = "read " + std::to_string(range.length) + " bytes from " + hex(range.address);
      // Standard output carries the bytes: the report goes to standard error.
      const std::string line = module.name() + ": " + result.summary +
                               (toStdout ? "" : " into " + options.output) + "\n";
      if (toStdout) {
        if (!common_.quiet) std::fputs(line.c_str(), stderr);
      } else {
        result.text = line;
      }
      return result;
    });
  }

  ReadOptions options_;
};

}  // namespace

std::unique_ptr<Command> readCommand() { return std::make_unique<Read>(); }

}  // namespace vkm470::tool
