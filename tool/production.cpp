// SPDX-License-Identifier: MIT
// --expect, serials and the record, shared by write, erase, verify and station.
#include "production.h"

#include <chrono>
#include <cstdio>

namespace vkm470::tool {

void addProductionOptions(CLI::App& command, Production& production, bool serials, bool dryRun) {
  command
      .add_option("--expect", production.expect,
                  "exactly N modules must be chosen and free, or nothing is written")
      ->type_name("N")
      ->check(CLI::Range(1, 256));
  command.add_option("--log", production.log, "append one JSON line per module to FILE")
      ->type_name("FILE");
  if (dryRun)
    command.add_flag("--dry-run", production.dryRun,
                     "read what is needed and show the pages it would program; write nothing");
  if (!serials) return;
  command.add_flag("--same-serial", production.sameSerial,
                   "let --serial write the same serial number into several modules");
  command.add_flag("--keep-serial", production.keepSerial,
                   "a module that holds a serial number keeps it (and takes no number)");
  command
      .add_option("--serial-format", production.serialFormat,
                  "serial numbers from a counter: text with one integer field (VKM-%06d)")
      ->type_name("FMT");
  command
      .add_option("--serial-counter", production.serialCounter,
                  "the counter file: the next number, as decimal text")
      ->type_name("FILE");
  command
      .add_option("--serial-start", production.serialStart,
                  "the first number when the counter file is new (default 1)")
      ->type_name("N");
}

void requireExpected(const Production& production, const std::vector<DeviceId>& modules) {
  if (production.expect < 0) return;
  std::vector<std::string> notFree;
  std::size_t free = 0;
  for (const DeviceId& id : modules) {
    Module probe(id);
    const Module::Opened opened = probe.tryOpen();
    if (opened.refusal == Refusal::None) {
      ++free;
      continue;
    }
    const char* word = refusalWord(opened.refusal);
    notFree.push_back(id.name() + " " + (word != nullptr ? word : "does not open"));
  }
  if (modules.size() == static_cast<std::size_t>(production.expect) && notFree.empty()) return;
  std::string message = "expected " + std::to_string(production.expect) + " free module" +
                        (production.expect == 1 ? "" : "s") + ", found " + std::to_string(free);
  for (std::size_t i = 0; i < notFree.size(); ++i) message += (i == 0 ? ": " : ", ") + notFree[i];
  throw Failure(kUnreachable, message + "; nothing written");
}

SerialPlan::SerialPlan(const Production& production, Images& images) : production_(production) {
  const bool numbering = !production.serialFormat.empty() || !production.serialCounter.empty();
  if (images.serialGiven && numbering)
    throw Failure(kUsage, "--serial and --serial-format do not go together");
  if (numbering && (production.serialFormat.empty() || production.serialCounter.empty()))
    throw Failure(kUsage, "--serial-format and --serial-counter go together");
  if (production.sameSerial && !images.serialGiven)
    throw Failure(kUsage, "--same-serial goes with --serial");
  if (production.keepSerial && !images.serialGiven && !numbering)
    throw Failure(kUsage, "--keep-serial goes with --serial or --serial-format");
  if (images.serialGiven) {
    if (images.serial.size() >= map::kSerialFieldBytes)
      throw Failure(kUsage, "serial number " + images.serial + " is longer than 15 characters");
    fixed_ = images.serial;
    images.serialGiven = false;
    images.serial.clear();
  }
  if (numbering) {
    std::string why;
    format_ = SerialFormat::parse(production.serialFormat, why);
    if (!format_) throw Failure(kUsage, "--serial-format " + production.serialFormat + " " + why);
    if (!format_->format(production.serialStart))
      throw Failure(kUsage, "--serial-start " + std::to_string(production.serialStart) +
                                " makes a serial longer than 15 characters");
    counter_ = std::make_unique<SerialCounter>(production.serialCounter, production.serialStart);
  }
}

void SerialPlan::requireOnePerModule(std::size_t modules, const char* how) const {
  if (fixed_ && !production_.sameSerial && modules > 1)
    throw Failure(kUsage, std::string("--serial ") + *fixed_ + " would go into " + how +
                              "; give --same-serial if that is meant, or number them with "
                              "--serial-format and --serial-counter");
}

bool SerialPlan::holdsSerial(const Json& found) const {
  return found.is_string() && !found.get<std::string>().empty();
}

Target SerialPlan::target(const std::string& serial, bool eraseRest) const {
  Target target;
  const auto field = map::encodeSerial(serial);
  if (!field) throw Failure(kUsage, "serial number " + serial + " is longer than 15 characters");
  target.put(map::kSerialAddress, field->data(), map::kSerialFieldBytes);
  if (eraseRest)
    target.fill(map::kSerialAddress + map::kSerialFieldBytes,
                map::kSerialAreaBytes - map::kSerialFieldBytes, 0xFF);
  return target;
}

WriteReport SerialPlan::write(Module& module, ModuleNote& note, bool force, bool verify,
                              bool eraseRest, Meter& meter) {
  if (!active() || production_.keepSerial) {
    note.serial = readSerial(module);
    if (!active() || holdsSerial(note.serial)) return WriteReport{};
  }
  std::string serial;
  if (fixed_) {
    serial = *fixed_;
  } else {
    // Void until it is in the module: a failure from here on loses it.
    note.serialNumber = counter_->take(*format_, serial);
    note.voided = true;
  }
  note.serial = nullptr;
  const WriteReport report = writeTarget(module, target(serial, eraseRest), force, verify, meter);
  note.serial = serial;
  note.voided = false;
  return report;
}

std::string SerialPlan::preview(Module& module, ModuleNote& note, bool eraseRest,
                                std::uint32_t& pages) {
  pages = 0;
  const Json found = readSerial(module);
  note.serial = found;
  if (!active()) return "";
  if (production_.keepSerial && holdsSerial(found))
    return "keeps serial " + found.get<std::string>();
  const std::string serial =
      fixed_ ? *fixed_ : format_->format(counter_->peek()).value_or("(counter past its format)");
  Bytes page(map::kPageBytes);
  NoMeter quiet;
  module.read(map::kSerialAddress, page.data(), map::kPageBytes, quiet);
  Bytes wanted(map::kPageBytes);
  if (target(serial, eraseRest).compose(map::kSerialAddress, page.data(), wanted.data())) pages = 1;
  return std::string(fixed_ ? "serial " : "serial from the counter, next ") + serial;
}

Result writeModule(Module& module, Meter& meter, ModuleNote& note, const Target& target,
                   std::uint32_t pagesLeftOut, SerialPlan& serials, const WriteSettings& settings) {
  WriteReport report;
  try {
    report = writeTarget(module, target, settings.force, settings.verify, meter);
    report.pagesSkipped += pagesLeftOut;
    report.bytesRead += std::uint64_t{pagesLeftOut} * map::kPageBytes;
    const WriteReport serial =
        serials.write(module, note, settings.force, settings.verify, settings.eraseRest, meter);
    report.pagesProgrammed += serial.pagesProgrammed;
    report.pagesSkipped += serial.pagesSkipped;
    report.bytesRead += serial.bytesRead;
  } catch (const Failure& failure) {
    if (std::string(failure.what()).find("read-back differs") != std::string::npos)
      note.verified = false;
    throw;
  }
  Result result = writeResult(module, report);
  // The operator labels the module with what went in.
  if (serials.active() && note.serial.is_string()) {
    result.summary += "; serial " + note.serial.get<std::string>();
    result.text = module.name() + ": " + result.summary + "\n";
  }
  return result;
}

int runRecorded(const Common& common, const std::vector<DeviceId>& modules, Record& record,
                const std::function<Result(Module&, Meter&, ModuleNote&)>& job) {
  if (!common.json && !common.quiet) {
    std::fputs(record.digestLines().c_str(), stdout);
    std::fflush(stdout);
  }
  return runOnModules(
      common, modules,
      [&](Module& module, Meter& meter) { return job(module, meter, record.begin(module.id())); },
      [&](const DeviceId& id, Result& result, double seconds) {
        record.finish(id, result, seconds);
      });
}

}  // namespace vkm470::tool
