// SPDX-License-Identifier: MIT
// What a write or an erase would program, module by module, without
// programming anything.
#pragma once

#include "commands.h"
#include "plan.h"

namespace vkm470::tool {

struct DryRunExtra {
  int serialPages = -1;  // the serial field's page: 1 would be programmed, 0 not, -1 no serial
  std::string serial;    // what the serial plan would do, for the report
};

// Reads the target's pages (none with force, which programs them all) and
// reports per area the pages that differ.
Result dryRun(Module& module, const Target& target, bool force, const DryRunExtra& extra,
              Meter& meter);

}  // namespace vkm470::tool
