// SPDX-License-Identifier: MIT
// vkm470 against virtual modules: each command's main path over both
// interfaces, what it reports when the module or the command line is wrong,
// and several modules at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>

#include "tools_fixture.h"

namespace vkm470::test {
namespace {

using Json = nlohmann::json;

constexpr std::uint32_t kPgaHeaderAddress = 0x1E7000;

class ToolTest : public ToolsFixture {
 protected:
  static Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), VKM470_PATH);
    return run(args);
  }

  // A module attached as QDev0 and ALTLPT1, in 512-byte pages.
  void binaryModule() {
    attachModule();
    ASSERT_EQ(burn({"-i", "LPT1", "-t"}).status, 0);
  }

  Bytes exportOf(const std::string& image) const {
    const std::string out = path("other.bin");
    EXPECT_EQ(sim({"export", image, "-o", out}).status, 0);
    std::ifstream file(out, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  static std::string results(const std::string& out) { return withoutDigestLines(out); }

  static bool erased(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
  }
};

class EachInterface : public ToolTest, public ::testing::WithParamInterface<const char*> {};

// write places the images as the burner does, programs only what differs and
// reads back; read, verify and info see what was written.
TEST_P(EachInterface, WriteOnlyWhatDiffersThenReadVerifyInfo) {
  binaryModule();
  const std::string dev = GetParam();
  Bytes app = writeFile("app.bin", 4608);
  writeFile("pga.bin", 0);
  std::ofstream(path("pga.bin"), std::ios::binary).write("\x01\x02\x03\x04\x05", 5);
  const std::vector<std::string> images = {"--app",         path("app.bin"), "--pga",
                                           path("pga.bin"), "--serial",      "ABC"};
  auto command = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"-d", dev});
    args.insert(args.end(), images.begin(), images.end());
    return tool(args);
  };

  Outcome r = command({"write"});
  ASSERT_EQ(r.status, 0) << r.err;
  // 9 application pages, the serial page, the PGA page (header and image); the
  // rest of the three areas (3829 pages) is erased already.
  EXPECT_EQ(results(r.out), dev +
                                ": 11 pages programmed, 3829 pages skipped (unchanged), read "
                                "back; serial ABC\n");
  Bytes flash = exported();
  EXPECT_EQ(slice(flash, kAppAddress, app.size()), app);
  EXPECT_EQ(slice(flash, kSerialAddress, 16),
            Bytes({'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(slice(flash, kPgaHeaderAddress, 13), Bytes({5, 0, 0, 0, 0x0F, 0, 0, 0, 1, 2, 3, 4, 5}));

  r = command({"write"});
  EXPECT_EQ(results(r.out),
            dev + ": 0 pages programmed, 3840 pages skipped (unchanged); serial ABC\n");
  app[600] ^= 0x55;
  std::ofstream(path("app.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(app.data()), std::streamsize(app.size()));
  r = command({"verify"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(results(r.out), dev + ": differs at 0x020458 (1 byte)\n");
  r = command({"write"});
  EXPECT_EQ(results(r.out),
            dev + ": 1 page programmed, 3839 pages skipped (unchanged), read back; serial ABC\n");
  r = command({"verify"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(results(r.out), dev + ": matches, the rest of each area erased\n");

  flash = exported();
  r = tool({"read", "-d", dev, "application", "-o", path("app-area.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream file(path("app-area.bin"), std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()),
            slice(flash, kAppAddress, kAppAreaBytes));
  r = tool({"read", "-d", dev, "--address", "0x1E7000", "--length", "13", "-o", "-"});
  EXPECT_EQ(r.out,
            std::string(reinterpret_cast<const char*>(flash.data()) + kPgaHeaderAddress, 13));

  r = tool({"info", "-d", dev, "--json", "--areas"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json info = Json::parse(r.out);
  EXPECT_EQ(info["serial"], "ABC");
  EXPECT_EQ(info["pga"]["state"], "matches");
  EXPECT_EQ(info["pga"]["length"], 5);
  EXPECT_EQ(info["areas"][2]["name"], "application");
  EXPECT_EQ(info["areas"][2]["programmed"], 4608);
  // The text says what the object says, line by line. The areas once, over
  // USB: over the cable they read the whole flash again, bit by bit.
  const bool usb = dev == "usb:0";
  r = usb ? tool({"info", "-d", dev, "--areas"}) : tool({"info", "-d", dev});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dev + "\n" +
                       (usb ? "  name:        VKM470\n"
                              "  flash:       information over the download cable only (-d lpt:N)\n"
                            : "  flash:       status 0xAD, registers 00 00 FF, ID 1F 26 00 00\n"
                              "  page mode:   512-byte pages\n") +
                       "  serial:      ABC\n"
                       "  PGA header:  length 5, sum 0x0000000F: matches the bytes behind it\n" +
                       (usb ? "  areas:\n"
                              "    boot         0x000000   131072 bytes,        0 programmed\n"
                              "    serial       0x020000      512 bytes,       16 programmed\n"
                              "    application  0x020200  1863168 bytes,     4608 programmed\n"
                              "    PGA header   0x1E7000        8 bytes,        8 programmed\n"
                              "    PGA          0x1E7008   102392 bytes,        5 programmed\n"
                            : ""));
}

// info on each state of the PGA header, as text and as JSON.
TEST_F(ToolTest, InfoSaysWhatThePgaHeaderHolds) {
  attachModule();
  struct Case {
    Bytes header;
    const char* state;
    std::string line;
  };
  const Case cases[] = {
      {Bytes(8, 0xFF), "erased", "  PGA header:  erased\n"},
      {{0, 0, 0, 0, 0, 0, 0, 0},
       "length out of range",
       "  PGA header:  length 0 out of range (1..102392), sum 0x00000000\n"},
      {{0xF9, 0x8F, 0x01, 0, 1, 0, 0, 0},
       "length out of range",
       "  PGA header:  length 102393 out of range (1..102392), sum 0x00000001\n"},
      {{3, 0, 0, 0, 0x78, 0x56, 0x34, 0x12},
       "differs",
       "  PGA header:  length 3, sum 0x12345678: the bytes behind it sum to 0x000002FD\n"},
      {{3, 0, 0, 0, 0xFD, 0x02, 0, 0},
       "matches",
       "  PGA header:  length 3, sum 0x000002FD: matches the bytes behind it\n"},
  };
  for (const Case& c : cases) {
    std::ofstream(path("header.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(c.header.data()), std::streamsize(c.header.size()));
    const Outcome w = tool({"write", "--address", "0x1E7000", path("header.bin")});
    ASSERT_EQ(w.status, 0) << w.err;
    Outcome r = tool({"info"});
    EXPECT_EQ(r.out,
              "usb:0\n"
              "  name:        VKM470\n"
              "  flash:       information over the download cable only (-d lpt:N)\n"
              "  serial:      erased\n" +
                  c.line)
        << c.state;
    r = tool({"info", "--json"});
    EXPECT_EQ(Json::parse(r.out)["pga"]["state"], c.state) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Interfaces, EachInterface, ::testing::Values("usb:0", "lpt:1"),
                         [](const auto& info) { return std::string(info.param).substr(0, 3); });

// write leaves each area it writes holding exactly its image: a shorter image
// erases the longer one's tail (pages erased already are skipped), so verify
// of the same file agrees. --keep-rest leaves the tail, and verify finds it;
// --erase-rest, once needed for this, is still taken. erase counts its pages
// as erased.
TEST_F(ToolTest, WriteLeavesEachAreaHoldingExactlyItsImage) {
  attachModule();
  writeFile("long.bin", 70000);
  const Bytes shorter = writeFile("short.bin", 10000, 11);
  ASSERT_EQ(tool({"write", "--app", path("long.bin")}).status, 0);

  // The long image held pages 0 to 136 of the area's 3639.
  Outcome r = tool({"write", "--app", path("short.bin")});
  EXPECT_EQ(results(r.out),
            "usb:0: 137 pages programmed, 3502 pages skipped (unchanged), read back\n");
  Bytes flash = exported();
  EXPECT_EQ(slice(flash, kAppAddress, shorter.size()), shorter);
  EXPECT_TRUE(erased(slice(flash, kAppAddress + 10000, kAppAreaBytes - 10000)));
  r = tool({"verify", "--app", path("short.bin")});
  EXPECT_EQ(r.status, 0) << r.out;

  ASSERT_EQ(tool({"write", "--app", path("long.bin")}).status, 0);
  ASSERT_EQ(tool({"write", "--app", path("short.bin"), "--keep-rest"}).status, 0);
  r = tool({"verify", "--app", path("short.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("differs at 0x022910, "), std::string::npos) << r.out;
  EXPECT_EQ(tool({"verify", "--app", path("short.bin"), "--ignore-tail"}).status, 0);

  // Pages 19 (past byte 10000) to 136 held the old image's tail.
  r = tool({"write", "--app", path("short.bin"), "--erase-rest"});
  EXPECT_EQ(results(r.out),
            "usb:0: 118 pages programmed, 3521 pages skipped (unchanged), read back\n");
  EXPECT_EQ(tool({"write", "--app", path("short.bin"), "--erase-rest", "--keep-rest"}).status, 2);

  r = tool({"erase", "application", "serial"});
  EXPECT_EQ(r.out, "usb:0: 20 pages erased, 3620 pages skipped (already erased), read back\n");
  EXPECT_TRUE(erased(exported()));
}

// A flipped bit on read: verify names the address in text and in JSON.
TEST_F(ToolTest, VerifyNamesTheDifferingAddress) {
  attachModule();
  writeFile("app.bin", 4096);
  ASSERT_EQ(tool({"write", "--app", path("app.bin")}).status, 0);
  ASSERT_EQ(sim({"fault", image_, "--flip", "0x020264:0x10"}).status, 0);

  Outcome r = tool({"verify", "--app", path("app.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(results(r.out), "usb:0: differs at 0x020264 (1 byte)\n");
  r = tool({"verify", "--app", path("app.bin"), "--json"});
  EXPECT_EQ(r.status, 1);
  const Json json = Json::parse(r.out);
  EXPECT_EQ(json["status"], 1);
  EXPECT_EQ(json["differences"], 1);
  EXPECT_EQ(json["first_differences"], Json::array({0x020264}));
}

// Over the cable, a chip still in 528-byte pages would take the library's
// page addresses for other bytes: write refuses and says how to switch.
TEST_F(ToolTest, WriteRefusesAChipIn528BytePages) {
  attachModule();
  writeFile("app.bin", 1000);
  const Outcome r = tool({"write", "-d", "lpt:1", "--app", path("app.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("528-byte pages"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("vkm470burn -i LPT1 -t"), std::string::npos) << r.err;
  EXPECT_TRUE(erased(exported()));
}

// A module that falls away in the middle of a write: exit 1 with the reason,
// and the pages programmed before it are in the flash, whole.
struct MidWriteFault {
  const char* name;
  const char* device;
  std::vector<std::string> fault;
  const char* failed;  // the call that fails
  const char* reason;
};

class MidWrite : public ToolTest, public ::testing::WithParamInterface<MidWriteFault> {};

TEST_P(MidWrite, FailsWithTheReasonAndKeepsThePagesBefore) {
  binaryModule();
  const Bytes app = writeFile("app.bin", 4608);
  std::vector<std::string> fault = {"fault", image_};
  fault.insert(fault.end(), GetParam().fault.begin(), GetParam().fault.end());
  ASSERT_EQ(sim(fault).status, 0);

  const Outcome r =
      tool({"write", "-d", GetParam().device, "--app", path("app.bin"), "--keep-rest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(std::string(GetParam().failed) + " failed: " + GetParam().reason),
            std::string::npos)
      << r.err;
  const Bytes flash = exported();
  std::size_t pages = 0;
  while (pages < 9 && slice(flash, kAppAddress + pages * 512, 512) ==
                          Bytes(app.begin() + pages * 512, app.begin() + (pages + 1) * 512))
    ++pages;
  EXPECT_GT(pages, 0u);
  EXPECT_LT(pages, 9u);
  EXPECT_TRUE(erased(slice(flash, kAppAddress + pages * 512, kAppAreaBytes - pages * 512)));
}

INSTANTIATE_TEST_SUITE_P(Faults, MidWrite,
                         ::testing::Values(
                             // Open (name, start), the read (two pieces), the first program call
                             // (7 pages, up to a 4096-byte boundary); the second fails.
                             MidWriteFault{"UsbUnplugged",
                                           "usb:0",
                                           {"--usb", "unplugged", "--after", "5"},
                                           "programming 0x021000..0x0213FF",
                                           "request refused by the driver (-1009)"},
                             // Two pages into the first program call.
                             MidWriteFault{"CableSilent",
                                           "lpt:1",
                                           {"--cable", "silent", "--after", "60"},
                                           "programming 0x020200..0x020FFF",
                                           "flash operation failed (-2003)"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Modules that do not open: exit 3, naming why in text and in JSON.
enum class Keeper { Nothing, Holder, Permissions, NoCable };

struct Unopened {
  const char* name;
  const char* device;
  Keeper keeper;
  const char* message;  // after "error: "
  const char* reason;   // the JSON's word
};

class NotOpening : public ToolTest, public ::testing::WithParamInterface<Unopened> {};

TEST_P(NotOpening, ExitsThreeNamingWhy) {
  const Unopened& c = GetParam();
  attachModule();
  std::unique_ptr<Child> holder;
  switch (c.keeper) {
    case Keeper::Nothing:
      break;
    case Keeper::Holder:
      holder = std::make_unique<Child>(std::vector<std::string>{
          HOLD_DEVICE_PATH, std::string(c.device) == "usb:0" ? "QDev0" : "ALTLPT1"});
      ASSERT_TRUE(holder->readUntil("held\n")) << holder->out << holder->err;
      break;
    case Keeper::Permissions:
      // Root opens the image whatever its mode.
      if (::geteuid() == 0) GTEST_SKIP() << "root is never denied access";
      fs::permissions(image_, fs::perms::owner_read);
      break;
    case Keeper::NoCable:
      ASSERT_EQ(sim({"fault", image_, "--cable", "absent"}).status, 0);
      break;
  }

  Outcome r = tool({"info", "-d", c.device});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err.rfind(std::string("error: ") + c.message, 0), 0u) << r.err;
  r = tool({"info", "-d", c.device, "--json"});
  EXPECT_EQ(r.status, 3);
  const Json json = Json::parse(r.out);
  EXPECT_EQ(json["status"], 3);
  EXPECT_EQ(json["error"].get<std::string>().rfind(c.message, 0), 0u) << json["error"];
  EXPECT_EQ(json["reason"], c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, NotOpening,
    ::testing::Values(
        Unopened{"UsbAbsent", "usb:7", Keeper::Nothing, "usb:7: no module at QDev7", "absent"},
        Unopened{"UsbHeld", "usb:0", Keeper::Holder,
                 "usb:0: the module is in use by another program", "in use"},
        Unopened{"UsbDenied", "usb:0", Keeper::Permissions,
                 "usb:0: access denied; see USB MODULES ON LINUX", "access denied"},
        Unopened{"LptAbsent", "lpt:2", Keeper::Nothing, "lpt:2: no such port", "absent"},
        Unopened{"LptHeld", "lpt:1", Keeper::Holder, "lpt:1: the port is in use by another program",
                 "in use"},
        Unopened{"LptDenied", "lpt:1", Keeper::Permissions, "lpt:1: access denied",
                 "access denied"},
        Unopened{"LptNoCable", "lpt:1", Keeper::NoCable, "lpt:1: no cable on the port",
                 "no cable"}),
    [](const auto& info) { return std::string(info.param.name); });

// list names a held module as in use, next to a free one; absent numbers are
// not listed.
TEST_F(ToolTest, ListShowsAHeldModuleAsInUse) {
  attachModule();
  ASSERT_EQ(sim({"create", path("second.img")}).status, 0);
  ASSERT_EQ(sim({"attach", path("second.img"), "--usb", "2"}).status, 0);
  Child holder({HOLD_DEVICE_PATH, "QDev0"});
  ASSERT_TRUE(holder.readUntil("held\n")) << holder.out << holder.err;

  Outcome r = tool({"list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "usb:0  in use by another program\n"
            "usb:2  free  VKM470 (type 41, name VKM470)\n"
            "lpt:1  cable opens  DataFlash (ID 1F 26 00 00, 528-byte pages)\n");
  r = tool({"list", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json list = Json::parse(r.out);
  ASSERT_EQ(list["modules"].size(), 3u) << r.out;
  EXPECT_EQ(list["modules"][0]["device"], "usb:0");
  EXPECT_EQ(list["modules"][0]["state"], "in use");
  EXPECT_EQ(list["modules"][0]["type"], nullptr);
  EXPECT_EQ(list["modules"][1]["device"], "usb:2");
  EXPECT_EQ(list["modules"][1]["state"], "free");
  EXPECT_EQ(list["modules"][2]["page_size"], 528);
  EXPECT_EQ(list["unreachable"], Json::array({"usb:0"}));
}

// Two modules at once, one of them refusing: its row fails, the other is
// written; the exit status says that one failed.
TEST_F(ToolTest, TwoModulesOneFaulty) {
  attachModule();
  const std::string second = path("second.img");
  ASSERT_EQ(sim({"create", second}).status, 0);
  ASSERT_EQ(sim({"attach", second, "--usb", "1"}).status, 0);
  ASSERT_EQ(sim({"fault", second, "--usb", "fail", "--after", "4"}).status, 0);
  const Bytes app = writeFile("app.bin", 8192);

  Outcome r =
      tool({"write", "-d", "usb:0", "-d", "usb:1", "--app", path("app.bin"), "--keep-rest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("usb:0    done         16 pages programmed, 0 pages skipped (unchanged), "
                       "read back\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("usb:1    failed       usb:1: programming 0x020200..0x020FFF failed"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(slice(exported(), kAppAddress, app.size()), app);
  EXPECT_TRUE(erased(exportOf(second)));

  ASSERT_EQ(sim({"fault", second, "--clear"}).status, 0);
  r = tool({"write", "--all-modules", "--app", path("app.bin"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json json = Json::parse(r.out);
  EXPECT_EQ(json["status"], 0);
  ASSERT_EQ(json["modules"].size(), 2u);  // the USB modules; cables only by name
  EXPECT_EQ(json["modules"][0]["pages_programmed"], 0);
  EXPECT_EQ(json["modules"][1]["device"], "usb:1");
  EXPECT_EQ(json["modules"][1]["pages_programmed"], 16);
  EXPECT_EQ(slice(exportOf(second), kAppAddress, app.size()), app);
}

// Command lines that are refused with status 2, before any module is touched.
TEST_F(ToolTest, UsageErrors) {
  attachModule();
  writeFile("app.bin", 100);
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"write"},
      {"write", "-d", "usb:256", "--app", path("app.bin")},
      {"write", "-d", "usb:0", "-d", "usb:0", "--app", path("app.bin")},
      {"write", "--boot", path("app.bin")},
      {"write", "--serial", "0123456789ABCDEF"},
      {"read", "application", "--all", "-o", "-"},
      {"read", "--address", "0x1FFFFF", "--length", "2", "-o", "-"},
      {"read", "-d", "usb:0", "-d", "lpt:1", "boot", "-o", "-"},
      {"erase", "nothing"},
  };
  for (const auto& line : lines) {
    const Outcome r = tool(line);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(line) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_TRUE(erased(exported()));
  EXPECT_EQ(tool({"erase", "--version"}).out, "vkm470 1.0.0\n");
}

// -d takes the names of the table the Python package shares; a name chooses
// the module of its meaning (seen as the "device" of the JSON object, none
// being attached), serial:TEXT looks for the module that holds it, the rest
// are usage errors.
TEST_F(ToolTest, DeviceNamesFollowTheSharedTable) {
  std::ifstream table(DEVICE_NAMES_PATH);
  std::string line;
  int rows = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string name = line.substr(0, tab);
    const std::string meaning = line.substr(tab + 1);
    ++rows;
    const Outcome r = tool({"info", "-d", name, "--json"});
    const Json json = Json::parse(r.out);
    if (meaning == "-") {
      EXPECT_EQ(r.status, 2) << name;
      EXPECT_EQ(json["error"].get<std::string>().rfind("not a module: ", 0), 0u) << name;
    } else if (meaning.rfind("serial:", 0) == 0) {
      // No module attached holds it.
      EXPECT_EQ(r.status, 3) << name;
      EXPECT_EQ(json["error"],
                "no module holds serial " + meaning.substr(7) + "; USB modules: none")
          << name;
    } else {
      EXPECT_EQ(r.status, 3) << name << r.err;
      EXPECT_EQ(json["device"], meaning) << name;
    }
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << name;
  }
  EXPECT_GT(rows, 20);
}

// Over the cable, a chip still in 528-byte pages gives the bytes of other
// addresses: read, verify and info refuse as write does, naming the switch.
TEST_F(ToolTest, ReadVerifyInfoRefuseAChipIn528BytePages) {
  attachModule();
  writeFile("app.bin", 1000);
  const std::vector<std::vector<std::string>> lines = {
      {"read", "-d", "lpt:1", "serial", "-o", path("serial.bin")},
      {"verify", "-d", "lpt:1", "--app", path("app.bin")},
      {"info", "-d", "lpt:1"},
  };
  for (const auto& line : lines) {
    const Outcome r = tool(line);
    EXPECT_EQ(r.status, 1) << line[0];
    EXPECT_NE(r.err.find("lpt:1: the flash still has 528-byte pages"), std::string::npos)
        << line[0] << r.err;
    EXPECT_NE(r.err.find("vkm470burn -i LPT1 -t"), std::string::npos) << line[0] << r.err;
  }
  EXPECT_FALSE(fs::exists(path("serial.bin")));
  const Outcome r = tool({"info", "-d", "lpt:1", "--json"});
  EXPECT_EQ(r.status, 1);
  const Json json = Json::parse(r.out);
  EXPECT_EQ(json["flash"]["page_size"], 528);
  EXPECT_FALSE(json.contains("serial"));
}

// A gang with a held module: its row fails with its reason, the others are
// written, and the exit status counts it.
TEST_F(ToolTest, GangListsAHeldModuleAsAFailedRow) {
  attachModule();
  const std::string second = path("second.img");
  ASSERT_EQ(sim({"create", second}).status, 0);
  ASSERT_EQ(sim({"attach", second, "--usb", "1"}).status, 0);
  const Bytes app = writeFile("app.bin", 2000);
  Child holder({HOLD_DEVICE_PATH, "QDev1"});
  ASSERT_TRUE(holder.readUntil("held\n")) << holder.out << holder.err;

  Outcome r = tool({"write", "--all-modules", "--app", path("app.bin")});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("usb:0    done "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("usb:1    unreachable  usb:1: the module is in use by another program"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("error: usb:1: the module is in use"), std::string::npos) << r.err;
  EXPECT_EQ(slice(exported(), kAppAddress, app.size()), app);

  r = tool({"verify", "--all-modules", "--app", path("app.bin"), "--json"});
  EXPECT_EQ(r.status, 3);
  const Json json = Json::parse(r.out);
  ASSERT_EQ(json["modules"].size(), 2u) << r.out;
  EXPECT_EQ(json["modules"][0]["status"], 0);
  EXPECT_EQ(json["modules"][1]["device"], "usb:1");
  EXPECT_EQ(json["modules"][1]["reason"], "in use");
}

// --json is one valid object whatever the bytes of the names: those that are
// not UTF-8 become U+FFFD. A command line the parser refuses gives the same
// object as the tool's own usage errors, "error:" first on standard error.
TEST_F(ToolTest, JsonIsAlwaysOneValidObject) {
  attachModule();
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    std::vector<std::string> line;
    int status;
    std::string inError;
  };
  const std::vector<Case> cases = {
      {{"verify", "--app", path("\xFF\xFEmissing.bin"), "--json"}, 1, replacement + replacement},
      {{"info", "-d", "usb:\xE9", "--json"}, 2, "not a module: usb:" + replacement},
      {{"info", "-d", "serial:\xE9t\xE9", "--json"}, 3, "serial " + replacement + "t"},
      {{"write", "--no-such-option", "--json"}, 2, "--no-such-option"},
      {{"info", "--json", "surplus"}, 2, "surplus"},
  };
  for (const Case& c : cases) {
    const Outcome r = tool(c.line);
    EXPECT_EQ(r.status, c.status) << c.line[0] << r.err;
    Json json;
    ASSERT_NO_THROW(json = Json::parse(r.out)) << r.out;
    EXPECT_EQ(json["status"], c.status);
    EXPECT_NE(json["error"].get<std::string>().find(c.inError), std::string::npos) << json;
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
  }
  EXPECT_EQ(tool({"bogus"}).err.rfind("error: ", 0), 0u);

  // Output that cannot be written is a failure, in JSON as in text.
  for (const char* json : {"--json", "--areas"}) {
    const Outcome r =
        run({"/bin/sh", "-c", "exec \"$0\" info \"$1\" > /dev/full", VKM470_PATH, json});
    EXPECT_EQ(r.status, 1) << json;
    EXPECT_NE(r.err.find("error: cannot write standard output"), std::string::npos) << r.err;
  }
}

// An erased serial field is no serial number: null in JSON (the text output
// says erased), while a module may hold the text "erased".
TEST_F(ToolTest, AnErasedSerialIsNull) {
  attachModule();
  Outcome r = tool({"info", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Json::parse(r.out)["serial"].is_null()) << r.out;
  EXPECT_NE(tool({"info"}).out.find("  serial:      erased\n"), std::string::npos);
  ASSERT_EQ(tool({"write", "--serial", "erased"}).status, 0);
  EXPECT_EQ(Json::parse(tool({"info", "--json"}).out)["serial"], "erased");
}

// read -o onto a module image that a program has open refuses and leaves it;
// onto one that nothing has open, or any other file, it writes beside and
// renames into place.
TEST_F(ToolTest, ReadRefusesToReplaceAnImageInUse) {
  attachModule();
  const std::string second = path("second.img");
  ASSERT_EQ(sim({"create", second}).status, 0);
  ASSERT_EQ(sim({"attach", second, "--usb", "1", "--lpt", "2"}).status, 0);
  const Bytes before = exportOf(second);
  for (const char* side : {"QDev1", "ALTLPT2"}) {
    Child holder({HOLD_DEVICE_PATH, side});
    ASSERT_TRUE(holder.readUntil("held\n")) << holder.out << holder.err;
    for (const std::string& output : {second, (devices_ / "QDev1").string()}) {
      const Outcome r = tool({"read", "serial", "-o", output});
      EXPECT_EQ(r.status, 1) << side;
      EXPECT_EQ(r.err,
                "error: " + output + ": a module image in use by a program; left as it is\n");
    }
    EXPECT_EQ(sim({"show", second}).status, 0);
  }
  EXPECT_EQ(exportOf(second), before);

  // Nothing has it open now: it is replaced.
  Outcome r = tool({"read", "serial", "-o", second});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(second), 512u);
  r = tool({"read", "serial", "-o", path("plain.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(path("plain.bin")), 512u);
}

// vkm470sim create --force and export refuse an image in use too.
TEST_F(ToolTest, SimRefusesToReplaceAnImageInUse) {
  attachModule();
  const Bytes app = writeFile("app.bin", 3000);
  ASSERT_EQ(tool({"write", "--app", path("app.bin")}).status, 0);
  const std::string other = path("other.img");
  ASSERT_EQ(sim({"create", other}).status, 0);
  Child holder({HOLD_DEVICE_PATH, "QDev0"});
  ASSERT_TRUE(holder.readUntil("held\n")) << holder.out << holder.err;

  Outcome r = sim({"create", "--force", image_});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("in use by a program"), std::string::npos) << r.err;
  r = sim({"export", other, "-o", image_});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("in use by a program"), std::string::npos) << r.err;
  holder.closeInput();
  holder.wait();
  EXPECT_EQ(slice(exported(), kAppAddress, app.size()), app);
  EXPECT_EQ(sim({"create", "--force", image_}).status, 0);
  EXPECT_TRUE(erased(exported()));
}

// The small things a first hour finds: --help names the commands there are;
// every image option takes - for standard input; a module named both ways is
// busy with itself, and the message says so instead of blaming the cable.
TEST_F(ToolTest, HelpStandardInputAndOneModuleNamedTwice) {
  const Outcome help = tool({"--help"});
  EXPECT_EQ(help.out.find("show"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("info"), std::string::npos) << help.out;

  ASSERT_EQ(sim({"create", image_}).status, 0);
  ASSERT_EQ(sim({"attach", image_, "--usb", "2", "--lpt", "2"}).status, 0);
  ASSERT_EQ(burn({"-i", "LPT2", "-t"}).status, 0);
  const Bytes app = writeFile("app.bin", 5000);
  Outcome r = run({"/bin/sh", "-c", "exec \"$0\" write -d usb:2 --app - < \"$1\"", VKM470_PATH,
                   path("app.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slice(exported(), kAppAddress, app.size()), app);
  EXPECT_EQ(tool({"verify", "-d", "usb:2", "--app", "-", "--pga", "-"}).status, 2);

  // While the USB side works on the chip the cable finds it busy; whether the
  // two overlap is timing, so a cable that fails stands in for it.
  ASSERT_EQ(sim({"fault", image_, "--cable", "silent"}).status, 0);
  r = tool({"info", "-d", "usb:2", "-d", "lpt:2"});
  EXPECT_EQ(r.status, 3);
  // The cable's own reason depends on when the silent cable is first asked
  // (no cable, or an open that fails); the hint follows either.
  EXPECT_EQ(r.err.rfind("error: lpt:2: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("; if usb:2 in this run is the same module, it was busy with that: "
                       "name a module one way only"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace vkm470::test
