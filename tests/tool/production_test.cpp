// SPDX-License-Identifier: MIT
// vkm470 on a production line, against virtual modules: --expect, one serial
// per module from a counter shared by processes, the log, dry runs, and the
// station with modules attached and detached while it runs.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "tools_fixture.h"

namespace vkm470::test {
namespace {

using Json = nlohmann::json;

class Production : public ToolsFixture {
 protected:
  static Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), VKM470_PATH);
    return run(args);
  }

  // A module image attached at USB number n (and nothing else).
  std::string module(int n) {
    const std::string image = path("m" + std::to_string(n) + ".img");
    if (!fs::exists(image)) {
      EXPECT_EQ(sim({"create", image}).status, 0);
    }
    EXPECT_EQ(sim({"attach", image, "--usb", std::to_string(n)}).status, 0);
    return image;
  }

  Bytes flashOf(const std::string& image) const {
    const std::string out = path("flash.bin");
    EXPECT_EQ(sim({"export", image, "-o", out}).status, 0);
    std::ifstream file(out, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  std::string serialOf(const std::string& image) const {
    const Bytes flash = flashOf(image);
    const auto field = flash.begin() + kSerialAddress;
    return std::string(field, std::find(field, field + 16, 0));
  }

  std::vector<Json> logLines(const std::string& log) const {
    std::ifstream file(log, std::ios::binary);
    std::vector<Json> lines;
    std::string line;
    while (std::getline(file, line)) lines.push_back(Json::parse(line));
    return lines;
  }

  static Bytes exportedFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string readText(const std::string& file) const {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static std::string sha256sum(const std::string& file) {
    const Outcome r = run({"/usr/bin/sha256sum", file});
    return r.out.substr(0, 64);
  }
};

// --expect: met, too few chosen, one held, too many; nothing is written
// unless it is met.
TEST_F(Production, ExpectRefusesBeforeTouchingAnyModule) {
  const std::string first = module(0);
  const std::string second = module(1);
  writeFile("app.bin", 1000);
  Child holder({HOLD_DEVICE_PATH, "QDev1"});
  ASSERT_TRUE(holder.readUntil("held\n")) << holder.out << holder.err;
  struct Case {
    std::vector<std::string> devices;
    int expect;
    const char* error;
  };
  const std::vector<Case> cases = {
      {{"-d", "usb:0", "-d", "usb:1"}, 2, "expected 2 free modules, found 1: usb:1 in use"},
      {{"-d", "usb:0", "-d", "usb:7"}, 2, "expected 2 free modules, found 1: usb:7 absent"},
      {{"-d", "usb:0"}, 2, "expected 2 free modules, found 1; nothing written"},
      {{"--all-modules"}, 2, "expected 2 free modules, found 1"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> line = {"write", "--app", path("app.bin"), "--expect",
                                     std::to_string(c.expect)};
    line.insert(line.end(), c.devices.begin(), c.devices.end());
    const Outcome r = tool(line);
    EXPECT_EQ(r.status, 3) << testing::PrintToString(c.devices) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
  EXPECT_EQ(flashOf(first), Bytes(kFlashBytes, 0xFF));
  holder.closeInput();
  holder.wait();
  const Outcome r = tool({"write", "--app", path("app.bin"), "--expect", "2", "--all-modules"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(flashOf(second), Bytes(kFlashBytes, 0xFF));
}

// Serial options that do not go together, refused with status 2 before any
// module is touched.
TEST_F(Production, SerialUsageErrors) {
  module(0);
  module(1);
  const std::string counter = path("counter");
  const std::vector<std::vector<std::string>> lines = {
      {"write", "-d", "usb:0", "-d", "usb:1", "--serial", "DUP-0001"},
      {"write", "--serial", "A", "--serial-format", "V-%d", "--serial-counter", counter},
      {"write", "--serial-format", "V-%d"},
      {"write", "--serial-format", "V-%d-%d", "--serial-counter", counter},
      {"write", "--serial-format", "V-%s", "--serial-counter", counter},
      {"write", "--serial-format", "V-%n", "--serial-counter", counter},
      {"write", "--serial-format", "NUMBER", "--serial-counter", counter},
      {"write", "--serial-format", "VKM470-%010d", "--serial-counter", counter},
      {"write", "--same-serial", "--app", counter},
      {"station", "--serial", "A"},
  };
  for (const auto& line : lines) {
    const Outcome r = tool(line);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(line) << r.err;
  }
  EXPECT_FALSE(fs::exists(counter));
  EXPECT_EQ(serialOf(path("m0.img")), std::string(16, '\xFF'));

  const Outcome r =
      tool({"write", "-d", "usb:0", "-d", "usb:1", "--serial", "LOT-7", "--same-serial"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(serialOf(path("m0.img")), "LOT-7");
  EXPECT_EQ(serialOf(path("m1.img")), "LOT-7");
}

// Two processes taking numbers from one counter file at once, each logging
// to one file: no number twice, every line whole, the counter at the next.
TEST_F(Production, TwoProcessesShareOneCounterAndOneLog) {
  module(0);
  module(1);
  const std::string counter = path("counter");
  const std::string log = path("run.log");
  constexpr int kEach = 8;
  auto station = [&](int n) {
    for (int i = 0; i < kEach; ++i) {
      const Outcome r =
          tool({"write", "-d", "usb:" + std::to_string(n), "--serial-format", "VKM-%06d",
                "--serial-counter", counter, "--serial-start", "100", "--log", log});
      EXPECT_EQ(r.status, 0) << r.err;
    }
  };
  std::thread a(station, 0), b(station, 1);
  a.join();
  b.join();
  const auto lines = logLines(log);
  ASSERT_EQ(lines.size(), 2u * kEach);
  std::set<std::uint64_t> numbers;
  std::set<std::string> serials;
  for (const Json& line : lines) {
    numbers.insert(line["serial_number"].get<std::uint64_t>());
    serials.insert(line["serial"].get<std::string>());
    EXPECT_EQ(line["void"], false);
  }
  EXPECT_EQ(numbers.size(), 2u * kEach);
  EXPECT_EQ(*numbers.begin(), 100u);
  EXPECT_EQ(*numbers.rbegin(), 100u + 2 * kEach - 1);
  EXPECT_EQ(serials.size(), 2u * kEach);
  EXPECT_EQ(readText(counter), std::to_string(100 + 2 * kEach) + "\n");
}

// A module that fails while its serial field is written voids its number,
// which is never handed out again; --keep-serial keeps a serial and takes
// no number.
TEST_F(Production, VoidNumbersAndKeptSerials) {
  const std::string image = module(0);
  const std::string counter = path("counter");
  const std::string log = path("run.log");
  const std::vector<std::string> numbered = {"write", "--serial-format", "SN%d", "--serial-counter",
                                             counter, "--log",           log};
  // Open (name, start) and the read of the serial page; programming fails.
  ASSERT_EQ(sim({"fault", image, "--usb", "fail", "--after", "3"}).status, 0);
  Outcome r = tool(numbered);
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(sim({"fault", image, "--clear"}).status, 0);
  std::vector<std::string> keep = numbered;
  keep.push_back("--keep-serial");
  r = tool(keep);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find("usb:0:")),
            "usb:0: 1 page programmed, 0 pages skipped (unchanged), read back; serial SN2\n");
  r = tool(keep);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(serialOf(image), "SN2");
  EXPECT_EQ(readText(counter), "3\n");

  const auto lines = logLines(log);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["serial_number"], 1);
  EXPECT_EQ(lines[0]["void"], true);
  EXPECT_EQ(lines[0]["serial"], nullptr);
  EXPECT_EQ(lines[0]["status"], 1);
  EXPECT_NE(lines[0]["error"].get<std::string>().find("programming 0x020000"), std::string::npos);
  EXPECT_EQ(lines[1]["serial_number"], 2);
  EXPECT_EQ(lines[1]["serial"], "SN2");
  EXPECT_EQ(lines[1]["void"], false);
  EXPECT_EQ(lines[2]["serial_number"], nullptr);
  EXPECT_EQ(lines[2]["serial"], "SN2");
  EXPECT_EQ(lines[2]["pages_programmed"], 0);
}

// The log's lines and --json carry the images' digests and the pages; a file
// name that is not UTF-8 still gives JSON; text prints each digest once.
TEST_F(Production, LogAndJsonRecordWhatWentWhere) {
  module(0);
  module(1);
  const std::string app = path("app\xff.bin");
  writeFile("app.bin", 4608);
  fs::copy_file(path("app.bin"), app);
  std::ofstream(path("pga.bin"), std::ios::binary).write("\x01\x02\x03\x04\x05", 5);
  const std::string digest = sha256sum(path("app.bin"));
  const std::string log = path("run.log");

  Outcome r = tool({"write", "--all-modules", "--app", app, "--pga", path("pga.bin"), "--log", log,
                    "--serial-format", "B-%03d", "--serial-counter", path("counter")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("application        4608 bytes  sha256 " + digest.substr(0, 16)), 0u)
      << r.out;
  EXPECT_NE(r.out.find("pga                   5 bytes  sha256 " +
                       sha256sum(path("pga.bin")).substr(0, 16)),
            std::string::npos);
  const auto lines = logLines(log);
  ASSERT_EQ(lines.size(), 2u);
  for (const Json& line : lines) {
    for (const char* field :
         {"time", "host", "tool", "command", "module", "serial", "serial_number", "void", "images",
          "pages_programmed", "pages_skipped", "verified", "seconds", "status", "error"})
      EXPECT_TRUE(line.contains(field)) << field;
    EXPECT_EQ(line["command"], "write");
    EXPECT_EQ(line["status"], 0);
    EXPECT_EQ(line["error"], nullptr);
    EXPECT_EQ(line["verified"], true);
    EXPECT_EQ(line["pages_programmed"], 11);  // 9 application, PGA, serial
    EXPECT_EQ(line["images"][0]["area"], "application");
    EXPECT_EQ(line["images"][0]["bytes"], 4608);
    EXPECT_EQ(line["images"][0]["sha256"], digest);
    EXPECT_EQ(line["images"][1]["bytes"], 5);
    EXPECT_EQ(line["time"].get<std::string>().back(), 'Z');
  }
  EXPECT_EQ(std::set<std::string>({lines[0]["serial"], lines[1]["serial"]}),
            std::set<std::string>({"B-001", "B-002"}));

  r = tool(
      {"verify", "-d", "usb:1", "--app", path("app.bin"), "--ignore-tail", "--json", "--log", log});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json json = Json::parse(r.out);
  EXPECT_EQ(json["verified"], true);
  EXPECT_EQ(json["module"], "usb:1");
  EXPECT_EQ(json["images"][0]["sha256"], digest);
  const auto after = logLines(log);
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[2]["command"], "verify");
  EXPECT_EQ(after[2]["serial"], json["serial"]);

  // A log that cannot be opened stops the run before any module.
  r = tool({"erase", "application", "--log", path("no/such/dir/run.log")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open the log"), std::string::npos) << r.err;
  EXPECT_EQ(tool({"verify", "-d", "usb:0", "--app", path("app.bin"), "--ignore-tail"}).status, 0);
}

// -d serial:TEXT chooses the module by the serial it holds: found, absent
// and ambiguous, the last two naming the candidates; list --serials shows them.
TEST_F(Production, ModuleChosenBySerial) {
  const std::string first = module(0);
  module(1);
  module(2);
  for (const auto& [dev, serial] : std::vector<std::pair<std::string, std::string>>{
           {"usb:0", "A-1"}, {"usb:1", "B-2"}, {"usb:2", "B-2"}})
    ASSERT_EQ(tool({"write", "-d", dev, "--serial", serial}).status, 0);
  writeFile("app.bin", 700);

  Outcome r = tool({"write", "-d", "serial:A-1", "--app", path("app.bin"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Json::parse(r.out)["device"], "usb:0");
  EXPECT_EQ(slice(flashOf(first), kAppAddress, 700), slice(exportedFile(path("app.bin")), 0, 700));
  r = tool({"info", "-d", "serial:NONE"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("no module holds serial NONE; USB modules: usb:0 (A-1), usb:1 (B-2), "
                       "usb:2 (B-2)"),
            std::string::npos)
      << r.err;
  r = tool({"info", "-d", "serial:B-2"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("serial B-2 is held by more than one module: usb:1, usb:2"),
            std::string::npos)
      << r.err;
  r = tool({"list", "--serials"});
  EXPECT_NE(r.out.find("usb:1  free  VKM470 (type 41, name VKM470)  serial B-2\n"),
            std::string::npos)
      << r.out;
}

// A dry run reads, reports the pages per area, and leaves the flash as it
// was, byte for byte; the counter is not advanced.
TEST_F(Production, DryRunWritesNothing) {
  const std::string image = module(0);
  writeFile("app.bin", 4608);
  ASSERT_EQ(tool({"write", "--app", path("app.bin")}).status, 0);
  const Bytes before = flashOf(image);
  writeFile("app.bin", 5000, 9);
  Outcome r = tool({"write", "--app", path("app.bin"), "--dry-run", "--serial-format", "D%d",
                    "--serial-counter", path("counter"), "--serial-start", "5"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The rest of the application area is erased already.
  EXPECT_NE(r.out.find("usb:0: would program 11 pages (serial 1, application 10), 3629 pages "
                       "unchanged; serial from the counter, next D5; nothing written\n"),
            std::string::npos)
      << r.out;
  r = tool({"erase", "application", "--dry-run", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json json = Json::parse(r.out);
  EXPECT_EQ(json["pages_to_program"], 9);
  EXPECT_EQ(json["pages_unchanged"], 3630);
  EXPECT_EQ(flashOf(image), before);
  EXPECT_FALSE(fs::exists(path("counter")));
}

// The station: modules attached one after another and plugged again, each
// programmed once per plugging; a faulty one fails its row while the others
// finish; --count ends it.
TEST_F(Production, StationProgramsEachModuleOncePerPlugging) {
  writeFile("app.bin", 3000);
  const std::string counter = path("counter");
  const std::string log = path("run.log");
  Child station({VKM470_PATH, "station", "--app", path("app.bin"), "--slots", "usb:0-2",
                 "--serial-format", "ST-%04d", "--serial-counter", counter, "--log", log, "--count",
                 "4"});
  ASSERT_NE(station.readUntilFound("station: watching usb:0-2"), std::string::npos);

  const std::string first = module(0);
  std::size_t at = station.readUntilFound("usb:0 done: ");
  ASSERT_NE(at, std::string::npos) << station.out << station.err;
  // Out of its slots: never taken.
  module(3);
  const std::string second = module(1);
  at = station.readUntilFound("usb:1 done: ", at);
  ASSERT_NE(at, std::string::npos) << station.out;
  // Plugged in again at the same number: a new module.
  ASSERT_EQ(sim({"detach", "--usb", "0"}).status, 0);
  at = station.readUntilFound("usb:0 removed\n", at);
  ASSERT_NE(at, std::string::npos) << station.out;
  module(0);
  at = station.readUntilFound("usb:0 done: ", at);
  ASSERT_NE(at, std::string::npos) << station.out;
  // A faulty module fails its row; the station goes on and --count ends it.
  const std::string faulty = path("m2.img");
  ASSERT_EQ(sim({"create", faulty}).status, 0);
  ASSERT_EQ(sim({"fault", faulty, "--usb", "fail", "--after", "4"}).status, 0);
  module(2);
  const Outcome r = station.wait();
  EXPECT_EQ(r.status, 1) << r.out << r.err;

  auto occurrences = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t p = r.out.find(text); p != std::string::npos; p = r.out.find(text, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(occurrences("usb:0 started\n"), 2u);
  EXPECT_EQ(occurrences("usb:1 started\n"), 1u);
  EXPECT_EQ(occurrences("usb:3 "), 0u);
  EXPECT_NE(r.out.find("usb:2 failed: usb:2: reading 0x"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("station: 3 done, 1 failed\n"
                       "serials used: ST-0001 ST-0002 ST-0003\n"
                       "void numbers: none\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(serialOf(first), "ST-0003");
  EXPECT_EQ(serialOf(second), "ST-0002");
  const auto lines = logLines(log);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3]["module"], "usb:2");
  EXPECT_EQ(lines[3]["status"], 1);
  EXPECT_EQ(lines[3]["serial_number"], nullptr);
}

// Ctrl-C with nothing busy ends the station at once with its summary.
TEST_F(Production, StationStopsOnInterrupt) {
  writeFile("app.bin", 100);
  Child station({VKM470_PATH, "station", "--app", path("app.bin")});
  ASSERT_NE(station.readUntilFound("Ctrl-C stops taking modules\n"), std::string::npos);
  station.kill(SIGINT);
  const Outcome r = station.wait();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("station: 0 done, 0 failed\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vkm470::test
