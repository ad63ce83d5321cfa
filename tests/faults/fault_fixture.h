// SPDX-License-Identifier: MIT
// The tools' fixture with the fault line that `vkm470sim show` prints.
#pragma once

#include <string>

#include "tools_fixture.h"

namespace vkm470::test {

class FaultFixture : public ToolsFixture {
 protected:
  // The faults line of `vkm470sim show`.
  std::string shownFaults() const {
    const Outcome r = sim({"show", image_});
    const std::size_t at = r.out.find("faults: ");
    return at == std::string::npos ? r.out : r.out.substr(at);
  }
};

}  // namespace vkm470::test
