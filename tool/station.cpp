// SPDX-License-Identifier: MIT
// station: the production loop. Watches the library's search and programs
// each VKM470 that appears free, once per plugging, each on its own thread.
//
// One state per USB number, moved only by what the search saw: absent -> busy
// (it appeared free; its thread programs it) -> done or failed -> absent
// again only when it is gone, so a module left plugged in is not programmed
// twice, and one plugged in at the same number afterwards is a new one.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "commands.h"
#include "imagefiles.h"
#include "production.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vkm470::tool {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSearchEvery = std::chrono::milliseconds(250);
constexpr auto kLookEvery = std::chrono::milliseconds(50);

std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free, "touched by the signal handler");

extern "C" void onInterrupt(int) {
#ifdef _WIN32
  // The C runtime on Windows resets the handler before calling it.
  std::signal(SIGINT, onInterrupt);
#endif
  interrupts.fetch_add(1);
}

struct StationOptions {
  Images images;
  Production production;
  bool keepRest = false;
  bool force = false;
  bool noVerify = false;
  std::string slots = "usb:0-255";
  int count = 0;
  bool quiet = false;
};

// usb:A-B or usb:N, several separated by commas.
std::vector<bool> parseSlots(const std::string& text) {
  std::vector<bool> slots(kUsbNumbers, false);
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const std::size_t dash = item.find('-');
    const auto first = parseDevice(item.substr(0, dash));
    std::optional<DeviceId> last = first;
    if (dash != std::string::npos) last = parseDevice("usb:" + item.substr(dash + 1));
    if (!first || !last || !first->usb || last->number < first->number)
      throw Failure(kUsage, "--slots " + text + ": give USB numbers as usb:A-B or usb:N, " +
                                "separated by commas");
    for (int n = first->number; n <= last->number; ++n) slots[static_cast<std::size_t>(n)] = true;
    start = comma + 1;
  }
  return slots;
}

bool outputIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return ::isatty(STDOUT_FILENO) != 0;
#endif
}

// How far one module's write has come, for the live table.
class SlotMeter : public Meter {
 public:
  void phase(const char* name, std::uint64_t total) override {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = name;
    total_ = total;
    done_ = 0;
  }
  void advance(std::uint64_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ += bytes;
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int percent = total_ == 0 ? 0 : static_cast<int>(done_ * 100 / total_);
    return std::string(phase_) + " " + std::to_string(percent) + "%";
  }

 private:
  std::mutex mutex_;
  const char* phase_ = "opening";
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
};

enum class State { Absent, Busy, Done, Failed };

struct Slot {
  State state = State::Absent;
  bool seen = false;  // has a row in the live table
  std::thread thread;
  std::atomic<bool> finished{false};
  Result result;
  std::string serial;
  SlotMeter meter;
  Clock::time_point start;
};

class Station {
 public:
  Station(StationOptions& options, const Target& target, const BootRule& boot, SerialPlan& serials,
          Record& record)
      : options_(options),
        target_(target),
        boot_(boot),
        serials_(serials),
        record_(record),
        slots_(parseSlots(options.slots)),
        table_(outputIsTerminal() && !options.quiet) {}

  int run();

 private:
  void event(int number, const std::string& what);
  void search(bool taking);
  void start(int number, std::unique_ptr<Module> module);
  void reap();
  int busy() const;
  void drawTable();
  void summary();
  [[noreturn]] void abort();

  StationOptions& options_;
  const Target& target_;
  const BootRule& boot_;
  SerialPlan& serials_;
  Record& record_;
  std::vector<bool> slots_;
  bool table_;
  int tableLines_ = 0;
  std::map<int, Slot> state_;  // by USB number; entries never move
  int started_ = 0;
  int done_ = 0;
  int failed_ = 0;
  std::vector<std::string> serialsUsed_;
  std::vector<std::string> voidNumbers_;
  std::mutex wakeMutex_;
  std::condition_variable wake_;
};

void Station::event(int number, const std::string& what) {
  if (table_) return;  // the table shows it
  std::printf("usb:%d %s\n", number, what.c_str());
  std::fflush(stdout);
}

int Station::busy() const {
  int n = 0;
  for (const auto& [number, slot] : state_) n += slot.state == State::Busy ? 1 : 0;
  return n;
}

void Station::start(int number, std::unique_ptr<Module> module) {
  Slot& slot = state_[number];
  slot.state = State::Busy;
  slot.seen = true;
  slot.finished = false;
  slot.serial.clear();
  slot.start = Clock::now();
  slot.meter.phase("opening", 0);
  ++started_;
  event(number, "started");
  WriteSettings settings{options_.force, !options_.noVerify, !options_.keepRest};
  slot.thread = std::thread([this, &slot, settings, module = std::move(module)]() mutable {
    const DeviceId id = module->id();
    ModuleNote& note = record_.begin(id);
    Result result;
    try {
      const Target& wanted = boot_.forModule(*module, target_, slot.meter);
      result = writeModule(*module, slot.meter, note, wanted, boot_.hasBoot() ? boot_.pages() : 0,
                           serials_, settings);
    } catch (const Failure& failure) {
      result.exit = failure.exit;
      result.error = failure.what();
      result.summary = failure.what();
    } catch (const std::exception& e) {
      result.exit = kFailed;
      result.error = id.name() + ": " + e.what();
      result.summary = result.error;
    }
    // Closed before it is reported, so that the search sees it free again.
    module.reset();
    record_.finish(id, result, std::chrono::duration<double>(Clock::now() - slot.start).count());
    slot.result = std::move(result);
    if (note.serial.is_string()) slot.serial = note.serial.get<std::string>();
    {
      std::lock_guard<std::mutex> lock(wakeMutex_);
      slot.finished = true;
    }
    wake_.notify_all();
  });
}

void Station::reap() {
  for (auto& [number, slot] : state_) {
    if (slot.state != State::Busy || !slot.finished) continue;
    slot.thread.join();
    const Result& r = slot.result;
    const Json& json = r.json;
    if (json.value("void", false) && json.contains("serial_number") &&
        !json["serial_number"].is_null())
      voidNumbers_.push_back(std::to_string(json["serial_number"].get<std::uint64_t>()));
    if (r.exit == kDone) {
      slot.state = State::Done;
      ++done_;
      if (serials_.active() && !slot.serial.empty()) serialsUsed_.push_back(slot.serial);
      event(number, "done: " + r.summary);
    } else {
      slot.state = State::Failed;
      ++failed_;
      event(number, "failed: " + r.error);
    }
  }
}

void Station::search(bool taking) {
  const auto entries = searchUsb();
  for (int n = 0; n < kUsbNumbers; ++n) {
    if (!slots_[static_cast<std::size_t>(n)]) continue;
    auto it = state_.find(n);
    const State state = it == state_.end() ? State::Absent : it->second.state;
    const int16_t entry = entries[static_cast<std::size_t>(n)];
    if ((state == State::Done || state == State::Failed) && entry < 0) {
      // Not opened by the search: gone, or held by another program (which
      // does not make it a new module).
      Module probe(DeviceId{true, n});
      if (probe.tryOpen().refusal == Refusal::Absent) {
        it->second.state = State::Absent;
        event(n, "removed");
      }
    } else if (state == State::Absent && entry == 1 && taking &&
               (options_.count == 0 || started_ < options_.count)) {
      // Opened here, between searches, so that the next search cannot hold it
      // at the moment its thread would open it.
      auto module = std::make_unique<Module>(DeviceId{true, n});
      if (module->tryOpen().refusal != Refusal::None) continue;
      start(n, std::move(module));
    }
  }
}

void Station::drawTable() {
  if (!table_) return;
  std::string text;
  if (tableLines_ > 0) text += "\x1b[" + std::to_string(tableLines_) + "F";
  int lines = 0;
  char line[512];
  std::snprintf(line, sizeof line, "\x1b[2K%-8s %-16s %-8s %s\n", "module", "serial", "state",
                "progress / result");
  text += line;
  ++lines;
  for (auto& [number, slot] : state_) {
    if (!slot.seen) continue;
    std::string state, detail;
    switch (slot.state) {
      case State::Absent:
        state = "removed";
        detail = slot.result.exit == kDone ? slot.result.summary : slot.result.error;
        break;
      case State::Busy:
        state = "busy";
        detail = slot.meter.text();
        break;
      case State::Done:
        state = "done";
        detail = slot.result.summary;
        break;
      case State::Failed:
        state = "failed";
        detail = slot.result.error;
        break;
    }
    std::snprintf(line, sizeof line, "\x1b[2K%-8s %-16s %-8s %.200s\n",
                  ("usb:" + std::to_string(number)).c_str(), slot.serial.c_str(), state.c_str(),
                  detail.c_str());
    text += line;
    ++lines;
  }
  std::snprintf(line, sizeof line, "\x1b[2K%d done, %d failed, %d busy%s\n", done_, failed_, busy(),
                interrupts.load() > 0 ? "; stopping (Ctrl-C again aborts)" : "");
  text += line;
  ++lines;
  tableLines_ = lines;
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void Station::summary() {
  std::string text =
      "station: " + std::to_string(done_) + " done, " + std::to_string(failed_) + " failed\n";
  if (serials_.active()) {
    text += "serials used:";
    for (const auto& s : serialsUsed_) text += " " + s;
    text += serialsUsed_.empty() ? " none\n" : "\n";
  }
  if (serials_.numbered()) {
    text += "void numbers:";
    for (const auto& n : voidNumbers_) text += " " + n;
    text += voidNumbers_.empty() ? " none\n" : "\n";
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void Station::abort() {
  std::string partly;
  for (auto& [number, slot] : state_) {
    if (slot.state != State::Busy || slot.finished) continue;
    record_.abandon(DeviceId{true, number},
                    std::chrono::duration<double>(Clock::now() - slot.start).count());
    partly += (partly.empty() ? "" : ", ") + std::string("usb:") + std::to_string(number);
    ++failed_;
  }
  reap();
  drawTable();
  summary();
  if (!partly.empty())
    std::fprintf(stderr, "error: aborted; left partly written: %s\n", partly.c_str());
  std::fflush(stderr);
  // The threads are in the library's calls: the process ends under them.
  std::_Exit(130);
}

int Station::run() {
  if (!table_) {
    std::printf("station: watching %s%s; Ctrl-C stops taking modules\n", options_.slots.c_str(),
                options_.count > 0
                    ? (", until " + std::to_string(options_.count) + " finish").c_str()
                    : "");
    std::fflush(stdout);
  }
  auto nextSearch = Clock::now();
  while (true) {
    const int stops = interrupts.load();
    if (stops >= 2) abort();
    reap();
    const bool counted = options_.count > 0 && done_ + failed_ >= options_.count;
    if ((stops >= 1 || counted) && busy() == 0) break;
    if (Clock::now() >= nextSearch) {
      search(stops == 0 && !counted);
      nextSearch = Clock::now() + kSearchEvery;
    }
    drawTable();
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wake_.wait_for(lock, kLookEvery);
  }
  drawTable();
  summary();
  return failed_ == 0 ? kDone : kFailed;
}

class StationCommand : public Command {
 public:
  StationCommand()
      : Command("station", "program every VKM470 plugged in, once per plugging, until Ctrl-C",
                Takes::NoModule, false) {}

 private:
  void declare(CLI::App& command) override {
    addImageOptions(command, options_.images);
    addProductionOptions(command, options_.production, true, false);
    command.add_flag("--keep-rest", options_.keepRest,
                     "leave the rest of each written area as it is (by default it is erased)");
    command.add_flag("--force", options_.force, "program every page, without reading first");
    command.add_flag("--no-verify", options_.noVerify, "do not read back what was programmed");
    command.add_option("--slots", options_.slots, "the USB numbers to take (default usb:0-255)")
        ->type_name("usb:A-B");
    command.add_option("--count", options_.count, "end after N modules have finished")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    command.add_flag("-q,--quiet", options_.quiet, "no live table, one line per event");
  }

  int run() override {
    Production& production = options_.production;
    if (production.expect >= 0) throw Failure(kUsage, "station takes no --expect");
    Images images = options_.images;
    SerialPlan serials(production, images);
    serials.requireOnePerModule(2, "every module the station programs");
    Target target;
    Json placed = Json::array();
    if (!serials.active() || !images.boot.empty() || !images.app.empty() || !images.pga.empty() ||
        !images.flash.empty() || !images.file.empty())
      placed = placeImages(images, !options_.keepRest, target);
    if (!images.boot.empty())
      throw Failure(kUsage, "station takes USB modules; the boot image goes over the cable only");
    if (serials.active())
      target.split(map::kSerialAddress, map::kSerialAddress + map::kSerialAreaBytes);
    // USB modules only: a flash image's boot part must match each module's.
    const BootRule boot(target, {DeviceId{true, 0}});
    Record record("station", placed, production.log);
    parseSlots(options_.slots);
    if (!options_.quiet || !outputIsTerminal()) std::fputs(record.digestLines().c_str(), stdout);
    Station station(options_, target, boot, serials, record);
    std::signal(SIGINT, onInterrupt);
    return station.run();
  }

  StationOptions options_;
};

}  // namespace

std::unique_ptr<Command> stationCommand() { return std::make_unique<StationCommand>(); }

}  // namespace vkm470::tool
