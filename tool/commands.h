// SPDX-License-Identifier: MIT
// The commands of vkm470, one file each, over the core: each is an object that
// holds its options and runs its job on the modules chosen.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core.h"

namespace vkm470::tool {

using Json = nlohmann::ordered_json;

// Options that mean the same in every command.
struct Common {
  std::vector<std::string> devices;
  bool allModules = false;
  bool json = false;
  bool quiet = false;
  bool progress = false;
};

// What a job did on one module.
struct Result {
  int exit = kDone;
  std::string text;     // lines for standard output
  std::string error;    // why it failed, without "error: "
  std::string summary;  // one line for the table of a many-module run
  Json json = Json::object();
};

using Job = std::function<Result(Module&, Meter&)>;
// Called on each module's thread with its final result (also when the module
// did not open) and the seconds it took; may change the result.
using Finish = std::function<void(const DeviceId&, Result&, double seconds)>;

// Runs the job on each module, each on a thread of its own with a device record
// of its own, with one progress line each; prints the results (and a summary
// table when there are several) or one JSON object. Returns the exit status:
// the highest of the modules'.
int runOnModules(const Common& common, const std::vector<DeviceId>& modules, const Job& job,
                 const Finish& finish = {});

// Prints a JSON object, always valid JSON (bytes that are not UTF-8 replaced),
// and flushes standard output; returns status, or kFailed when standard output
// cannot be written (saying so on standard error).
int printJson(const Json& json, int status);
// Flushes standard output; the same status rule.
int finishOutput(int status);
// Prints a failure in the form the options ask for; returns the exit status.
int reportFailure(const Common& common, const Failure& failure);

// A command of vkm470: its name, how many modules it takes, its options (the
// object's members) and its job.
class Command {
 public:
  // How many modules a command takes with -d and --all-modules: none (it finds
  // its own), exactly one, or one or more at once.
  enum class Takes { NoModule, OneModule, Modules };

  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Adds the command and its options to app.
  void attach(CLI::App& app);
  // Whether the command line chose this command.
  bool chosen() const;
  // Runs the command on the parsed command line; returns the exit status.
  virtual int run() = 0;
  // How a failure is reported (as JSON or not).
  const Common& common() const { return common_; }

 protected:
  // json: the command takes --json.
  Command(const char* name, const char* description, Takes takes, bool json);
  // Adds the command's own options.
  virtual void declare(CLI::App& command) = 0;
  // The modules the options name (-d, several times; --all-modules; usb:0 by
  // default), as many as the command takes. Fails with kUsage for a malformed
  // name, a name given twice or more modules than the command takes.
  std::vector<DeviceId> chosenModules() const;

  Common common_;

 private:
  const char* name_;
  const char* description_;
  Takes takes_;
  bool json_;
  CLI::App* command_ = nullptr;
};

std::unique_ptr<Command> listCommand();
std::unique_ptr<Command> infoCommand();
std::unique_ptr<Command> readCommand();
std::unique_ptr<Command> verifyCommand();
std::unique_ptr<Command> writeCommand();
std::unique_ptr<Command> eraseCommand();
std::unique_ptr<Command> stationCommand();

// The images of verify and write, as the burner places them.
struct Images {
  std::string boot;
  std::string app;
  std::string pga;
  std::string serial;
  bool serialGiven = false;
  std::string flash;    // a flash image: raw from 0, or records with flash addresses
  std::string address;  // with file: a raw file's bytes from this address
  std::string file;
  std::string format;  // raw, ihex or srec; empty: by content
};
void addImageOptions(CLI::App& command, Images& images);

// Reads the images given (before any module is touched) and puts them, with the
// PGA header, into target; with rest, the rest of each area as 0xFF (a flash
// image puts only the bytes it gives). Returns the areas' names with the
// images' lengths, for the report.
class Target;
Json placeImages(const Images& images, bool rest, Target& target);

// The boot area is written over the download cable only, as the burner does:
// fails with kUsage when a module is USB.
void requireCableForBoot(const std::vector<DeviceId>& modules, const char* what);

// The report of write and erase (erasing: the pages are counted as erased).
struct WriteReport;
Result writeResult(Module& module, const WriteReport& report, bool erasing = false);

}  // namespace vkm470::tool
