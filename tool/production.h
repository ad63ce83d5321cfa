// SPDX-License-Identifier: MIT
// What write, erase, verify and station take for a production line: how many
// modules a run must find, one serial per module, and the record.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "plan.h"
#include "record.h"
#include "serials.h"

namespace vkm470::tool {

struct Production {
  int expect = -1;  // --expect N; -1: not given
  std::string log;  // --log FILE
  bool dryRun = false;
  // Serials (write and station).
  bool sameSerial = false;
  bool keepSerial = false;
  std::string serialFormat;
  std::string serialCounter;
  std::uint64_t serialStart = 1;
};

// --expect and --log; with serials, --same-serial, --keep-serial,
// --serial-format, --serial-counter, --serial-start; with dryRun, --dry-run.
void addProductionOptions(CLI::App& command, Production& production, bool serials, bool dryRun);

// --expect N: exactly N modules chosen, each of them free. Opens each to see
// (and closes it); otherwise fails with kUnreachable naming what is missing or
// held, before anything is written.
void requireExpected(const Production& production, const std::vector<DeviceId>& modules);

// The serial each module gets: a fixed text (--serial), the next number of a
// counter (--serial-format), the one it holds (--keep-serial), or none.
class SerialPlan {
 public:
  // Takes the serial out of images: the serial field is written after the
  // images, by write(). Fails with kUsage for options that do not go together
  // or a format that is refused.
  SerialPlan(const Production& production, Images& images);

  bool active() const { return fixed_ || counter_; }
  bool numbered() const { return counter_ != nullptr; }

  // A fixed serial for more than one module is refused without --same-serial.
  void requireOnePerModule(std::size_t modules, const char* how) const;

  // Writes the module's serial field (with eraseRest, the rest of its area
  // 0xFF), taking a number right before it when numbering; notes the serial,
  // the number, and a number that was taken but not written. Without a plan,
  // notes the serial the module holds.
  WriteReport write(Module& module, ModuleNote& note, bool force, bool verify, bool eraseRest,
                    Meter& meter);

  // What write() would program, for a dry run: the serial field's page and
  // the serial it would get (the next number, not taken).
  std::string preview(Module& module, ModuleNote& note, bool eraseRest, std::uint32_t& pages);

 private:
  bool holdsSerial(const Json& found) const;
  Target target(const std::string& serial, bool eraseRest) const;

  const Production& production_;
  std::optional<std::string> fixed_;
  std::optional<SerialFormat> format_;
  std::unique_ptr<SerialCounter> counter_;
};

struct WriteSettings {
  bool force = false;
  bool verify = true;
  bool eraseRest = false;
};

// write's job on one module: the images, then its serial. pagesLeftOut: pages
// of the images already found in place and left out of target (counted skipped).
Result writeModule(Module& module, Meter& meter, ModuleNote& note, const Target& target,
                   std::uint32_t pagesLeftOut, SerialPlan& serials, const WriteSettings& settings);

// Runs the job on the modules as runOnModules does, completing each result
// with its record and logging it; prints the images' digests first.
int runRecorded(const Common& common, const std::vector<DeviceId>& modules, Record& record,
                const std::function<Result(Module&, Meter&, ModuleNote&)>& job);

}  // namespace vkm470::tool
