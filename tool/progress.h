// SPDX-License-Identifier: MIT
// Progress on standard error: one line per module, redrawn a few times a second
// by a thread of its own while the modules' threads only store counts.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core.h"

namespace vkm470::tool {

enum class ProgressMode {
  kNone,
  kTerminal,  // bars redrawn in place
  kLines,     // off a terminal (--progress): a line at each tenth of a phase
};

// The mode the options and standard error call for.
ProgressMode progressMode(bool quiet, bool forced);

class Progress {
 public:
  Progress(ProgressMode mode, const std::vector<std::string>& labels);
  ~Progress();  // finish()
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  Meter& meter(std::size_t index);

  // Draws the last state, which stays on the screen, and stops redrawing.
  void finish();

 private:
  class Slot;
  void run();
  void draw(bool final);
  std::string line(Slot& slot, bool final) const;

  ProgressMode mode_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool drawn_ = false;
  std::thread drawer_;
};

}  // namespace vkm470::tool
