// SPDX-License-Identifier: MIT
#include "progress.h"

#include <cstdio>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <unistd.h>
#endif

namespace vkm470::tool {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedraw = std::chrono::milliseconds(200);
constexpr int kBarWidth = 24;

bool errorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}

// Windows consoles draw the cursor movements only when asked to.
void enableEscapes() {
#ifdef _WIN32
  HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode))
    SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
}

std::string duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

ProgressMode progressMode(bool quiet, bool forced) {
  if (quiet) return ProgressMode::kNone;
  if (errorIsTerminal()) return ProgressMode::kTerminal;
  return forced ? ProgressMode::kLines : ProgressMode::kNone;
}

// Written by one module's thread, read by the drawer: each field on its own.
class Progress::Slot : public Meter {
 public:
  explicit Slot(std::string label) : label(std::move(label)) {}

  void phase(const char* name, std::uint64_t total) override {
    std::lock_guard<std::mutex> lock(mutex);
    phaseName = name;
    phaseTotal = total;
    phaseDone = 0;
    phaseStart = Clock::now();
    lastTenth = -1;
  }
  void advance(std::uint64_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex);
    phaseDone += bytes;
  }

  const std::string label;
  std::mutex mutex;
  const char* phaseName = "opening";
  std::uint64_t phaseTotal = 0;
  std::uint64_t phaseDone = 0;
  Clock::time_point phaseStart = Clock::now();
  int lastTenth = -1;  // kLines: the tenth last printed
};

Progress::Progress(ProgressMode mode, const std::vector<std::string>& labels) : mode_(mode) {
  for (const std::string& label : labels) slots_.push_back(std::make_unique<Slot>(label));
  if (mode_ == ProgressMode::kNone) return;
  if (mode_ == ProgressMode::kTerminal) enableEscapes();
  drawer_ = std::thread([this] { run(); });
}

Progress::~Progress() { finish(); }

Meter& Progress::meter(std::size_t index) { return *slots_[index]; }

void Progress::finish() {
  if (!drawer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  drawer_.join();
  draw(true);
}

void Progress::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kRedraw, [this] { return stop_; })) draw(false);
}

std::string Progress::line(Slot& slot, bool final) const {
  std::lock_guard<std::mutex> lock(slot.mutex);
  const double seconds = std::chrono::duration<double>(Clock::now() - slot.phaseStart).count();
  const double fraction = slot.phaseTotal == 0
                              ? (final ? 1.0 : 0.0)
                              : static_cast<double>(slot.phaseDone) / slot.phaseTotal;
  const double rate = seconds > 0 ? slot.phaseDone / seconds : 0;
  char text[160];
  if (mode_ == ProgressMode::kLines) {
    const int tenth = static_cast<int>(fraction * 10);
    if (tenth == slot.lastTenth) return {};
    slot.lastTenth = tenth;
  }
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string bar(filled, '#');
  bar.resize(kBarWidth, '-');
  std::string left = "-";
  if (rate > 0 && slot.phaseDone < slot.phaseTotal)
    left = duration((slot.phaseTotal - slot.phaseDone) / rate) + " left";
  else if (slot.phaseDone >= slot.phaseTotal)
    left = duration(seconds);
  std::snprintf(text, sizeof text, "%-6s %-8s [%s] %3d%% %8.1f KiB/s %s", slot.label.c_str(),
                slot.phaseName, bar.c_str(), static_cast<int>(fraction * 100), rate / 1024,
                left.c_str());
  return text;
}

void Progress::draw(bool final) {
  std::string out;
  if (mode_ == ProgressMode::kTerminal) {
    if (drawn_) out += "\x1b[" + std::to_string(slots_.size()) + "A";
    for (auto& slot : slots_) out += "\r\x1b[K" + line(*slot, final) + "\n";
    drawn_ = true;
  } else {
    for (auto& slot : slots_) {
      const std::string text = line(*slot, final);
      if (!text.empty()) out += text + "\n";
    }
  }
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace vkm470::tool
