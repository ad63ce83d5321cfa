// SPDX-License-Identifier: MIT
// vkm470sim fault: the setting a module image carries, as the tool sets,
// prints and refuses it, and as programs that open the module later find it.
#include <string>
#include <vector>

#include "fault_fixture.h"

namespace vkm470::test {
namespace {

using FaultCommand = FaultFixture;

TEST_F(FaultCommand, SetsPrintsAndClearsTheSetting) {
  ASSERT_EQ(sim({"create", image_}).status, 0);
  const std::string foreign = path("foreign.bin");
  std::ofstream(foreign) << "not a module\n";
  struct Step {
    std::vector<std::string> args;  // after "fault IMAGE"
    int status;
    std::string out;
    std::string err;  // contained in the standard error
  };
  const Step steps[] = {
      {{}, 0, "faults: none\n", ""},
      {{"--usb", "timeout", "--after", "2"},
       0,
       "faults: usb timeout after 2 more control requests\n",
       ""},
      // Parts not named stay as they are.
      {{"--chip", "busy", "--flip", "0x020264:0x10"},
       0,
       "faults: usb timeout after 2 more control requests, chip busy, flip 0x10 at 0x020264\n",
       ""},
      {{"--cable", "silent", "--after", "300"},
       0,
       "faults: usb timeout after 2 more control requests, cable silent after 300 more requests, "
       "chip busy, flip 0x10 at 0x020264\n",
       ""},
      {{"--usb", "none", "--chip", "ready", "--flip", "none"},
       0,
       "faults: cable silent after 300 more requests\n",
       ""},
      {{"--clear", "--usb", "unplugged", "--flip", "1000:255"},
       0,
       "faults: usb unplugged, flip 0xFF at 0x0003E8\n",
       ""},
      {{"--clear", "--cable", "absent"}, 0, "faults: cable absent\n", ""},
      // Refused, and the setting stays.
      {{"--after", "3"}, 2, "", "vkm470sim: --after counts the requests that one side answers"},
      {{"--usb", "short", "--cable", "silent", "--after", "1"}, 2, "", "--after counts"},
      {{"--cable", "absent", "--after", "1"}, 2, "", "--after counts"},
      {{"--usb", "none", "--after", "1"}, 2, "", "--after counts"},
      {{"--usb", "sometimes"},
       2,
       "",
       "--usb: sometimes not in {none,timeout,short,fail,unplugged}"},
      {{"--cable", "loose"}, 2, "", "--cable: loose not in {none,absent,silent}"},
      {{"--chip", "hot"}, 2, "", "--chip: hot not in {ready,busy}"},
      {{"--after", "-1", "--usb", "fail"}, 2, "", "expected a number of requests, got -1"},
      {{"--flip", "0x200000:1"}, 2, "", "--flip: expected ADDRESS:MASK"},
      {{"--flip", "0x100:0"}, 2, "", "--flip: expected ADDRESS:MASK"},
      {{"--flip", "0x100:0x100"}, 2, "", "--flip: expected ADDRESS:MASK"},
      {{"--flip", "0x100"}, 2, "", "--flip: expected ADDRESS:MASK"},
      {{"--flip", "010x:1"}, 2, "", "--flip: expected ADDRESS:MASK"},
  };
  for (const Step& step : steps) {
    std::vector<std::string> args = {"fault", image_};
    args.insert(args.end(), step.args.begin(), step.args.end());
    std::string line;
    for (const std::string& word : step.args) line += " " + word;
    const Outcome r = sim(args);
    EXPECT_EQ(r.status, step.status) << line << "\n" << r.err;
    EXPECT_EQ(r.out, step.out) << line;
    EXPECT_NE(r.err.find(step.err), std::string::npos) << line << "\n" << r.err;
  }
  EXPECT_EQ(shownFaults(), "faults: cable absent\n");

  const std::string missing = path("missing.img");
  EXPECT_NE(sim({"fault", missing}).err.find(missing + ": cannot open"), std::string::npos);
  const Outcome r = sim({"fault", foreign, "--usb", "fail"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(foreign + ": not a module image"), std::string::npos) << r.err;
  EXPECT_NE(sim({"fault", "--help"}).out.find("--flip"), std::string::npos);
}

// The answers left before a fault go down in the image as programs use the
// module: a run that gets its last answers succeeds, the next one meets the
// fault, and so does every later one until the setting changes.
TEST_F(FaultCommand, AnswersBeforeAFaultRunOutAcrossPrograms) {
  ASSERT_EQ(sim({"create", image_}).status, 0);
  ASSERT_EQ(sim({"attach", image_}).status, 0);
  struct Case {
    std::vector<std::string> fault;
    std::vector<std::string> burn;
    std::string ok;
    std::string failed;
    std::string spent;  // the faults line once the answers are spent
  };
  // Reading the serial number takes 3 control requests over USB (the name
  // and the application's start when opening, then the read) and 16 cable
  // requests over the parallel port.
  const Case cases[] = {
      {{"--usb", "fail", "--after", "3"},
       {"-i", "USB", "-n"},
       "Reading serial.OK\n",
       "Reading serial.error\n",
       "faults: usb fail\n"},
      {{"--cable", "silent", "--after", "16"},
       {"-i", "LPT1", "-n"},
       "Reading serial.OK\n",
       "Reading serial.error\n",
       "faults: cable silent\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> fault = {"fault", image_, "--clear"};
    fault.insert(fault.end(), c.fault.begin(), c.fault.end());
    ASSERT_EQ(sim(fault).status, 0);
    Outcome r = burn(c.burn);
    EXPECT_EQ(r.status, 0) << c.burn[1];
    EXPECT_EQ(r.out.substr(0, c.ok.size()), c.ok) << c.burn[1];
    EXPECT_EQ(shownFaults(), c.spent);
    for (int run = 0; run < 2; ++run) {
      r = burn(c.burn);
      EXPECT_EQ(r.status, 3) << c.burn[1];
      EXPECT_EQ(r.out, c.failed) << c.burn[1];
    }
    ASSERT_EQ(sim({"fault", image_, "--clear"}).status, 0);
    EXPECT_EQ(burn(c.burn).status, 0) << c.burn[1];
  }
}

}  // namespace
}  // namespace vkm470::test
