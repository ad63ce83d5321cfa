// SPDX-License-Identifier: MIT
// A chip that never gets ready, reached over the parallel port: whatever reads
// the flash fails instead of taking the busy chip's idle output for erased
// bytes, and nothing in the flash changes. Real clock: each read waits out the
// 5 s ready time-out.
#include <string>
#include <vector>

#include "fault_fixture.h"

namespace vkm470::test {
namespace {

class BusyChip : public FaultFixture {
 protected:
  static Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), VKM470_PATH);
    return run(args);
  }
};

TEST_F(BusyChip, ReadsOverTheCableFailAndLeaveTheFlashAsItWas) {
  attachModule();
  ASSERT_EQ(burn({"-i", "LPT1", "-t"}).status, 0);
  writeFile("app.bin", 4096);
  ASSERT_EQ(tool({"write", "-d", "usb:0", "--app", path("app.bin"), "--serial", "ABC"}).status, 0);
  ASSERT_EQ(sim({"fault", image_, "--chip", "busy"}).status, 0);
  const Bytes before = exported();

  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool burner;
    std::string out;  // the burner's output, exactly; vkm470's is not checked
  };
  const Case cases[] = {
      {"read",
       {"read", "-d", "lpt:1", "--address", "0x020200", "--length", "4096", "-o", path("back.bin")},
       false,
       ""},
      {"info", {"info", "-d", "lpt:1"}, false, ""},
      {"erase", {"erase", "-d", "lpt:1", "application"}, false, ""},
      {"burner serial read", {"-i", "LPT1", "-n"}, true, "Reading serial.error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome r = c.burner ? burn(c.args) : tool(c.args);
    EXPECT_NE(r.status, 0) << r.out << r.err;
    // Nothing read from a busy chip may be shown as erased.
    EXPECT_EQ(r.out.find("erased"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\xFF"), std::string::npos) << r.out;
    if (c.burner) {
      EXPECT_EQ(r.out, c.out);
    }
  }
  EXPECT_EQ(exported(), before);
}

}  // namespace
}  // namespace vkm470::test
