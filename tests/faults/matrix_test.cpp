// SPDX-License-Identifier: MIT
// What goes wrong, and what the user sees: vkm470burn as a separate process,
// over the parallel port and over USB, against a virtual module that misbehaves
// as its image says, or with image files that cannot be burned. Each case
// checks the lines printed, the exit status, what the flash holds afterwards
// (through vkm470sim export) and how long the burn took: at least the time-out
// that has to pass, and not much more. The clock is real, so the images are
// small. Run the binary on its own to print the table of every case.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fault_fixture.h"

namespace vkm470::test {
namespace {

// Two chunks on each path: 4096 bytes and one page over the parallel port,
// whose every page costs at least 60 ms; 4096 and 4096 over USB.
constexpr std::size_t kLptImage = 4608;
constexpr std::size_t kUsbImage = 8192;
constexpr std::size_t kAppArea = 1863168;

// One case as it ran, for the table.
struct Ran {
  std::string what;
  std::string interface;
  std::string seen;
  int status;
  std::string flash;
  double seconds;
};

std::vector<Ran>& table() {
  static std::vector<Ran> rows;
  return rows;
}

// Lines as a terminal shows them, in markdown: standard output, then standard
// error (the burner prints at most one error line, after its output).
std::string seen(const Outcome& r) {
  std::string text;
  const auto add = [&text](const std::string& stream, const char* mark) {
    std::size_t start = 0;
    while (start < stream.size()) {
      std::size_t end = stream.find('\n', start);
      if (end == std::string::npos) end = stream.size();
      text += (text.empty() ? "`" : "<br>`") + stream.substr(start, end - start) + "`" + mark;
      start = end + 1;
    }
  };
  add(r.out, "");
  add(r.err, " (stderr)");
  return text.empty() ? "nothing" : text;
}

class PrintTable : public ::testing::Environment {
 public:
  void TearDown() override {
    if (table().empty()) return;
    std::printf("\n| What goes wrong | -i | What you see | Exit | Flash afterwards | Time |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Ran& r : table())
      std::printf("| %s | %s | %s | %d | %s | %.1f s |\n", r.what.c_str(), r.interface.c_str(),
                  r.seen.c_str(), r.status, r.flash.c_str(), r.seconds);
  }
};

::testing::Environment* const printTable = ::testing::AddGlobalTestEnvironment(new PrintTable);

struct Row {
  const char* what;
  const char* interface;  // LPT1 or USB
  // Before the burn: "detach" the device's entry; "hold" the device in
  // another process; "factory" a module fresh from the factory (528-byte
  // pages), then the rest; else arguments of `vkm470sim fault IMAGE`.
  std::vector<std::string> setup;
  std::vector<std::string> burn;  // after -i; "{file}" the image file
  const char* file;               // app.bin: two chunks on this path
  int status;
  std::string out;  // "{file}" as above
  std::string err;
  std::size_t flashed;  // leading bytes of the image in the flash; every other byte erased
  double atLeast;       // seconds that must pass: the time-out on the way
  double atMost;        // and no hang
};

// Over the parallel port a burn makes these cable requests before its second
// chunk's first buffer write: 3 to open the device, 93 to program the first
// chunk (the old cable's close, the open, 8 pages of 11, the close) and 12 to
// read it back (the open, a ready poll, the read, the close), then 3 to open
// for the second chunk.
constexpr char kCableBeforeSecondChunk[] = "112";
// ... and before the first status poll of its first page: 3 and 1 and 3 to
// open, 4 for the buffer write, 3 for the page program.
constexpr char kCableBeforeFirstPoll[] = "14";
// Over USB: 2 control requests to open (the name and the application's
// start), one to program each chunk and one to read it back.
constexpr char kUsbBeforeFirstChunk[] = "2";
constexpr char kUsbBeforeSecondChunk[] = "4";

const std::vector<std::string> kWrite = {"-w", "-v", "-a", "{file}"};
const std::string kWriting = "Writing and verifying application program";
const std::string kFailed = kWriting + ".\n";
const std::string kProgram = "error program FLASH\n";
const std::string kTooLarge = "error: file {file} too large for its area (";

// clang-format off
const Row kRows[] = {
    {"nothing (for comparison)", "LPT1", {}, kWrite, "app.bin",
     0, kWriting + ".\nwrote 4608 bytes\nverify OK\n", "", kLptImage, 0, 3},
    {"nothing (for comparison)", "USB", {}, kWrite, "app.bin",
     0, kWriting + ".\nwrote 8192 bytes\nverify OK\n", "", kUsbImage, 0, 3},
    {"device absent (no entry)", "LPT1", {"detach"}, kWrite, "app.bin", 3, "", "", 0, 0, 2},
    {"device absent (no entry)", "USB", {"detach"}, kWrite, "app.bin", 3, "", "", 0, 0, 2},
    {"module held by another process", "LPT1", {"hold"}, kWrite, "app.bin", 3, "", "", 0, 0, 2},
    {"module held by another process", "USB", {"hold"}, kWrite, "app.bin", 3, "", "", 0, 0, 2},
    {"cable absent", "LPT1", {"--cable", "absent"}, kWrite, "app.bin", 3, "", "", 0, 0, 2},
    {"module unplugged", "USB", {"--usb", "unplugged"}, kWrite, "app.bin", 3, "", "", 0, 0, 2},
    {"cable stops answering mid-burn", "LPT1",
     {"--cable", "silent", "--after", kCableBeforeSecondChunk}, kWrite, "app.bin",
     3, kFailed, kProgram, 4096, 0, 3},
    {"module unplugged mid-burn", "USB",
     {"--usb", "unplugged", "--after", kUsbBeforeSecondChunk}, kWrite, "app.bin",
     3, kFailed, kProgram, 4096, 0, 3},
    {"cable stops answering while the chip programs", "LPT1",
     {"--cable", "silent", "--after", kCableBeforeFirstPoll}, kWrite, "app.bin",
     3, kFailed, kProgram, 512, 5, 8},
    {"module stops answering (time-out) mid-burn", "USB",
     {"--usb", "timeout", "--after", kUsbBeforeSecondChunk}, kWrite, "app.bin",
     3, kFailed, kProgram, 4096, 1, 4},
    {"module refuses a request", "USB",
     {"--usb", "fail", "--after", kUsbBeforeFirstChunk}, kWrite, "app.bin",
     3, kFailed, kProgram, 0, 0, 2},
    {"short transfer", "USB",
     {"--usb", "short", "--after", kUsbBeforeFirstChunk}, kWrite, "app.bin",
     3, kFailed, kProgram, 4096, 0, 3},
    {"chip stays busy", "LPT1", {"--chip", "busy"}, kWrite, "app.bin",
     3, kFailed, kProgram, 0, 5, 8},
    {"chip stays busy", "USB", {"--chip", "busy"}, kWrite, "app.bin",
     3, kFailed, kProgram, 0, 5, 8},
    {"chip stays busy, setting the page size", "LPT1", {"factory", "--chip", "busy"}, {"-t"}, "",
     3, "Setting FLASH page size.", "error setting FLASH page size\n", 0, 5, 8},
    {"chip stays busy, reading the serial number", "LPT1", {"--chip", "busy"}, {"-n"}, "",
     3, "Reading serial.error\n", "", 0, 5, 8},
    {"flipped bit on read", "LPT1", {"--flip", "0x020264:0x10"}, kWrite, "app.bin",
     3, kFailed, "verifing error\n", 4096, 0, 3},
    {"flipped bit on read", "USB", {"--flip", "0x020264:0x10"}, kWrite, "app.bin",
     3, kFailed, "verifing error\n", 4096, 0, 3},
    {"image file missing", "LPT1", {}, kWrite, "missing.bin",
     1, kWriting, "error: can't open file {file}\n", 0, 0, 2},
    {"image file missing", "USB", {}, kWrite, "missing.bin",
     1, kWriting, "error: can't open file {file}\n", 0, 0, 2},
    {"image file unreadable (a directory)", "LPT1", {}, kWrite, "folder",
     2, kWriting, "error reading file {file}\n", 0, 0, 2},
    {"image file unreadable (a directory)", "USB", {}, kWrite, "folder",
     2, kWriting, "error reading file {file}\n", 0, 0, 2},
    {"image too large", "LPT1", {}, kWrite, "large.bin",
     2, kWriting, kTooLarge + "1863169 bytes, at most 1863168)\n", 0, 0, 2},
    {"image too large", "USB", {}, kWrite, "large.bin",
     2, kWriting, kTooLarge + "1863169 bytes, at most 1863168)\n", 0, 0, 2},
    {"a source that never ends (/dev/zero)", "LPT1", {}, kWrite, "/dev/zero",
     2, kWriting, kTooLarge + "more than 1863168 bytes, at most 1863168)\n", 0, 0, 2},
    {"a source that never ends (/dev/zero)", "USB", {}, kWrite, "/dev/zero",
     2, kWriting, kTooLarge + "more than 1863168 bytes, at most 1863168)\n", 0, 0, 2},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* os) { *os << row.interface << ", " << row.what; }

std::string replaced(std::string text, const std::string& mark, const std::string& by) {
  for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += by.size())
    text.replace(at, mark.size(), by);
  return text;
}

std::string replaced(const std::string& text, const std::string& file) {
  return replaced(text, "{file}", file);
}

// A module in binary pages, as a burn over the parallel port needs it, made
// once and copied for each case.
class FaultMatrix : public FaultFixture, public ::testing::WithParamInterface<Row> {
 protected:
  static void SetUpTestSuite() {
    // Under its own directory, which outlives the cases' folders.
    templateDir_ =
        fs::temp_directory_path() / ("vkm470-matrix-" + std::to_string(std::random_device{}()));
    const fs::path devices = templateDir_ / "devices";
    fs::create_directories(devices);
    setenv("VKM470_DEVICES", devices.c_str(), 1);
    const std::string image = (templateDir_ / "module.img").string();
    ASSERT_EQ(sim({"create", image}).status, 0);
    ASSERT_EQ(sim({"attach", image, "--lpt", "1"}).status, 0);
    ASSERT_EQ(burn({"-i", "LPT1", "-t"}).status, 0);
    unsetenv("VKM470_DEVICES");
  }
  static void TearDownTestSuite() { fs::remove_all(templateDir_); }

  void SetUp() override {
    FaultFixture::SetUp();
    fs::copy_file(templateDir_ / "module.img", image_);
    ASSERT_EQ(sim({"attach", image_}).status, 0);
  }

  static fs::path templateDir_;
};

fs::path FaultMatrix::templateDir_;

TEST_P(FaultMatrix, Burn) {
  const Row& row = GetParam();
  const bool lpt = std::string(row.interface) == "LPT1";
  std::vector<std::string> setup = row.setup;
  const auto first = [&setup](const char* word) { return !setup.empty() && setup[0] == word; };
  if (lpt && first("detach") && fs::exists("/dev/parport0"))
    GTEST_SKIP() << "ALTLPT1 without an entry opens /dev/parport0";

  const std::size_t size = lpt ? kLptImage : kUsbImage;
  const Bytes image = writeFile("app.bin", size);
  const std::string file = row.file[0] == '/' ? row.file : path(row.file);
  if (std::string(row.file) == "large.bin") writeFile(row.file, kAppArea + 1);
  if (std::string(row.file) == "folder") fs::create_directory(file);

  std::unique_ptr<Child> holder;
  const bool factory = first("factory");
  if (factory) {
    ASSERT_EQ(sim({"create", "--force", image_}).status, 0);
    setup.erase(setup.begin());
  }
  if (first("detach")) {
    ASSERT_EQ(sim({"detach"}).status, 0);
  } else if (first("hold")) {
    holder = std::make_unique<Child>(
        std::vector<std::string>{HOLD_DEVICE_PATH, lpt ? "ALTLPT1" : "QDev0"});
    ASSERT_TRUE(holder->readUntil("held\n")) << holder->out << holder->err;
  } else if (!setup.empty()) {
    std::vector<std::string> args = {"fault", image_};
    args.insert(args.end(), setup.begin(), setup.end());
    const Outcome r = sim(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  std::vector<std::string> args = {"-i", row.interface};
  for (const std::string& word : row.burn) args.push_back(replaced(word, file));
  const auto start = std::chrono::steady_clock::now();
  const Outcome r = burn(args);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  holder.reset();

  EXPECT_EQ(r.out, replaced(row.out, file));
  EXPECT_EQ(r.err, replaced(row.err, file));
  EXPECT_EQ(r.status, row.status);
  EXPECT_GE(seconds, row.atLeast);
  EXPECT_LT(seconds, row.atMost);

  const Bytes flash = exported();
  ASSERT_EQ(flash.size(), kFlashBytes);
  std::size_t differ = 0;
  for (std::size_t a = 0; a < flash.size(); ++a) {
    const bool imaged = a >= kAppAddress && a < kAppAddress + row.flashed;
    differ += flash[a] != (imaged ? image[a - kAppAddress] : 0xFF);
  }
  EXPECT_EQ(differ, 0u) << "bytes of the flash other than the first " << row.flashed
                        << " of the image, and erased around them";
  // A factory module keeps its 528-byte pages: the page size was not set.
  const std::string shown = sim({"show", image_}).out;
  const bool standard = shown.find("page mode: standard") != std::string::npos;
  EXPECT_EQ(standard, factory) << shown;

  std::string held = row.flashed == 0      ? "erased"
                     : row.flashed == size ? "all " + std::to_string(size) + " bytes"
                                           : "the first " + std::to_string(row.flashed) + " of " +
                                                 std::to_string(size) + " bytes";
  if (standard) held += ", 528-byte pages still";
  table().push_back(
      {row.what, row.interface, replaced(seen(r), path(""), ""), r.status, held, seconds});
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name = std::to_string(info.index) + "_" + info.param.interface + "_";
  for (const char* c = info.param.what; *c != '\0'; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(kRows), rowName);

}  // namespace
}  // namespace vkm470::test
