// SPDX-License-Identifier: MIT
// The per-backend half of the seam tests: a device on which a read stays
// pending until the test feeds it, and a write completes at once.
#pragma once

#include <memory>
#include <string>

#include "os.h"

namespace vkm470::os::testing {

class PendingDevice {
 public:
  virtual ~PendingDevice() = default;
  // Opens the device once; overlapped selects kFileFlagOverlapped.
  virtual Handle open(bool overlapped) = 0;
  // Sends bytes to the handle: they complete a pending read, or wait for the
  // next one.
  virtual void feed(const std::string& data) = 0;
  // All bytes written through the handle so far.
  virtual std::string written() = 0;
};

std::unique_ptr<PendingDevice> makePendingDevice();

}  // namespace vkm470::os::testing
