// SPDX-License-Identifier: MIT
// Choosing the modules, running a job on each at once, and printing results.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "commands.h"
#include "identity.h"
#include "plan.h"
#include "progress.h"

namespace vkm470::tool {

Command::Command(const char* name, const char* description, Takes takes, bool json)
    : name_(name), description_(description), takes_(takes), json_(json) {}

void Command::attach(CLI::App& app) {
  command_ = app.add_subcommand(name_, description_);
  CLI::App& command = *command_;
  const bool onModules = takes_ != Takes::NoModule;
  if (onModules) {
    command
        .add_option("-d,--device", common_.devices,
                    "module: usb:N (0-255), lpt:N (1-3), serial:TEXT (opens the free USB modules "
                    "to read their serials), or the burner's USB and LPTn; several times for "
                    "several modules (default usb:0)")
        ->allow_extra_args(false)
        ->type_name("DEV");
    command.add_flag(
        "--all-modules", common_.allModules,
        "every VKM470 on USB, also one that does not open (cables: name them with -d)");
  }
  if (json_) command.add_flag("--json", common_.json, "one JSON object on standard output");
  if (onModules) {
    command.add_flag("-q,--quiet", common_.quiet, "no progress, only errors");
    command.add_flag("--progress", common_.progress,
                     "progress also when standard error is no terminal");
  }
  declare(command);
}

bool Command::chosen() const { return command_ != nullptr && command_->parsed(); }

namespace {

std::vector<DeviceId> namedModules(const Common& common) {
  std::vector<DeviceId> modules;
  if (common.allModules) {
    if (!common.devices.empty()) throw Failure(kUsage, "--all-modules takes no -d");
    // USB modules only: a cable may reach one of them too, and the library
    // cannot tell, so one module could be written twice at once.
    // Every one the search reports, free or not: one that does not open (in
    // use, access denied) is a row that fails with its reason, so that a gang
    // never leaves a module out without saying so.
    for (const Reachable& found : survey().modules)
      if (found.id.usb && (found.refusal != Refusal::None || found.searchEntry == 1))
        modules.push_back(found.id);
    if (modules.empty()) throw Failure(kUnreachable, "no USB module is reachable");
    return modules;
  }
  for (const std::string& name : common.devices) {
    auto id = parseDevice(name);
    if (!id) throw Failure(kUsage, "not a module: " + name + " (usb:N, lpt:N or serial:TEXT)");
    if (!id->serial.empty()) id = moduleBySerial(id->serial);
    if (std::find(modules.begin(), modules.end(), *id) != modules.end())
      throw Failure(kUsage, "module " + id->name() + " given twice");
    modules.push_back(*id);
  }
  if (modules.empty()) modules.push_back(DeviceId{});
  return modules;
}

}  // namespace

std::vector<DeviceId> Command::chosenModules() const {
  std::vector<DeviceId> modules = namedModules(common_);
  if (takes_ == Takes::OneModule && modules.size() != 1)
    throw Failure(kUsage, std::string(name_) + " takes one module");
  return modules;
}

std::string jsonText(const Json& json) {
  // Names come from the command line, the file system and the flash: bytes
  // that are not UTF-8 become U+FFFD, so that the output is always JSON.
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

int finishOutput(int status) {
  if (std::ferror(stdout) == 0 && std::fflush(stdout) == 0) return status;
  const int error = errno;
  std::fprintf(stderr, "error: cannot write standard output: %s\n", std::strerror(error));
  return std::max(status, int{kFailed});
}

int printJson(const Json& json, int status) {
  std::fputs(jsonText(json).c_str(), stdout);
  return finishOutput(status);
}

int reportFailure(const Common& common, const Failure& failure) {
  int status = failure.exit;
  if (common.json)
    status = printJson(Json{{"status", failure.exit}, {"error", failure.what()}}, status);
  std::fprintf(stderr, "error: %s\n", failure.what());
  return status;
}

namespace {

Result runOne(const DeviceId& id, const Job& job, Meter& meter) {
  Result result;
  try {
    Module module(id);
    module.open();
    result = job(module, meter);
  } catch (const Failure& failure) {
    result.exit = failure.exit;
    result.error = failure.what();
    result.summary = failure.what();
    if (failure.exit == kUnreachable)
      result.json["reason"] = failure.reason != nullptr ? Json(failure.reason) : Json(nullptr);
  } catch (const std::exception& e) {
    result.exit = kFailed;
    result.error = id.name() + ": " + e.what();
    result.summary = result.error;
  }
  return result;
}

const char* statusWord(int exit) {
  switch (exit) {
    case kDone:
      return "done";
    case kUnreachable:
      return "unreachable";
    default:
      return "failed";
  }
}

}  // namespace

int runOnModules(const Common& common, const std::vector<DeviceId>& modules, const Job& job,
                 const Finish& finish) {
  auto runAndFinish = [&](std::size_t i, Meter& meter) {
    const auto start = std::chrono::steady_clock::now();
    Result result = runOne(modules[i], job, meter);
    if (finish)
      finish(modules[i], result,
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return result;
  };
  std::vector<std::string> labels;
  for (const DeviceId& id : modules) labels.push_back(id.name());
  std::vector<Result> results(modules.size());
  {
    Progress progress(progressMode(common.quiet, common.progress), labels);
    if (modules.size() == 1) {
      results[0] = runAndFinish(0, progress.meter(0));
    } else {
      std::vector<std::thread> threads;
      for (std::size_t i = 0; i < modules.size(); ++i)
        threads.emplace_back([&, i] { results[i] = runAndFinish(i, progress.meter(i)); });
      for (std::thread& thread : threads) thread.join();
    }
  }

  // A module named both ways (usb:N and lpt:N) is one chip: while one side
  // works on it the other finds it busy, which reads like a cable fault. The
  // library cannot tell that two names reach one module; the run can say so.
  for (std::size_t i = 0; i < modules.size(); ++i) {
    if (modules[i].usb || !modules[i].serial.empty() || results[i].exit == kDone) continue;
    const DeviceId usb{true, modules[i].number};
    if (std::find(modules.begin(), modules.end(), usb) == modules.end()) continue;
    const std::string note = "; if " + usb.name() + " in this run is the same module, it was " +
                             "busy with that: name a module one way only";
    results[i].error += note;
    results[i].summary += note;
  }

  int status = kDone;
  for (const Result& result : results) status = std::max(status, result.exit);

  if (common.json) {
    auto objectOf = [&](std::size_t i) {
      Json object{{"device", modules[i].name()}, {"status", results[i].exit}};
      if (!results[i].error.empty()) object["error"] = results[i].error;
      object.update(results[i].json);
      return object;
    };
    if (modules.size() == 1) {
      status = printJson(objectOf(0), status);
    } else {
      Json all{{"status", status}, {"modules", Json::array()}};
      for (std::size_t i = 0; i < modules.size(); ++i) all["modules"].push_back(objectOf(i));
      status = printJson(all, status);
    }
  } else {
    for (const Result& result : results)
      if (!common.quiet) std::fputs(result.text.c_str(), stdout);
    if (modules.size() > 1 && !common.quiet) {
      std::printf("%-8s %-12s %s\n", "module", "status", "result");
      for (std::size_t i = 0; i < modules.size(); ++i)
        std::printf("%-8s %-12s %s\n", modules[i].name().c_str(), statusWord(results[i].exit),
                    results[i].summary.c_str());
    }
  }
  status = finishOutput(status);
  for (const Result& result : results)
    if (!result.error.empty()) std::fprintf(stderr, "error: %s\n", result.error.c_str());
  return status;
}

}  // namespace vkm470::tool
