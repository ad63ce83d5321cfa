// SPDX-License-Identifier: MIT
// The burner's operations against a recording fake of the library's five flash
// exports: the calls made (addresses, lengths, time-outs, bytes), the flash
// they leave behind, the lines printed and the status.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "burner.h"

namespace {

enum class Call { open, close, program, read, special };

struct Record {
  Call call;
  uint32_t address;
  uint32_t length;
  uint32_t timeout;
  std::vector<uint8_t> bytes;  // written by a program call
};

// The module behind the fake: a 2 MiB flash and the faults to inject.
struct FakeModule {
  std::vector<Record> calls;
  std::vector<uint8_t> flash = std::vector<uint8_t>(0x200000, 0xFF);
  int32_t openResult = 0;
  int32_t specialResult = 0;
  int failingProgram = 0;  // 1-based number of the program call that fails
  int failingRead = 0;     // 1-based number of the read call that fails
  int corruptedRead = 0;   // 1-based number of the read call that returns a flipped byte
  int programs = 0;
  int reads = 0;
  bool foreignRecord = false;
  bool outsideFlash = false;
  std::function<void()> atFirstProgram;  // runs as the first program call begins
};

FakeModule fake;

bool inFlash(uint32_t address, uint32_t length) {
  const bool inside = static_cast<uint64_t>(address) + length <= fake.flash.size();
  if (!inside) fake.outsideFlash = true;
  return inside;
}

void note(VKM470F_DEVICE* dev, Record record) {
  if (dev != &burn_device) fake.foreignRecord = true;
  fake.calls.push_back(std::move(record));
}

}  // namespace

extern "C" {

VKM470F_API(int32_t) VKM470F_OpenDevice(VKM470F_DEVICE* dev, uint8_t deviceNumber) {
  note(dev, {Call::open, deviceNumber, 0, 0, {}});
  return fake.openResult;
}

VKM470F_API(int32_t) VKM470F_CloseDevice(VKM470F_DEVICE* dev) {
  note(dev, {Call::close, 0, 0, 0, {}});
  return VKM470F_ERR_NO_OBJECT;  // the burner does not look at it
}

VKM470F_API(int32_t)
VKM470F_ProgrammDSPFlash(VKM470F_DEVICE* dev, uint32_t address, const uint8_t* data,
                         uint32_t length, uint32_t timeout) {
  note(dev, {Call::program, address, length, timeout, {data, data + length}});
  if (++fake.programs == 1 && fake.atFirstProgram) fake.atFirstProgram();
  if (fake.programs == fake.failingProgram) return VKM470F_ERR_FLASH_FAILED;
  if (inFlash(address, length)) std::copy(data, data + length, fake.flash.begin() + address);
  return 0;
}

VKM470F_API(int32_t)
VKM470F_ReadDSPFlash(VKM470F_DEVICE* dev, uint32_t address, uint8_t* data, uint32_t length,
                     uint32_t timeout) {
  note(dev, {Call::read, address, length, timeout, {}});
  const int number = ++fake.reads;
  if (number == fake.failingRead || !inFlash(address, length)) return VKM470F_ERR_FLASH_FAILED;
  std::copy(fake.flash.begin() + address, fake.flash.begin() + address + length, data);
  if (number == fake.corruptedRead && length > 0) data[length / 2] ^= 0x10;
  return 0;
}

VKM470F_API(int32_t)
VKM470F_SpecialDSPFlashCommand(VKM470F_DEVICE* dev, uint32_t command, uint8_t* data,
                               uint32_t length) {
  note(dev, {Call::special, command, length, 0, {}});
  if (data != nullptr) fake.foreignRecord = true;
  return fake.specialResult;
}

}  // extern "C"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

std::vector<Call> kinds(const std::vector<Record>& calls) {
  std::vector<Call> result;
  for (const Record& record : calls) result.push_back(record.call);
  return result;
}

std::vector<Record> of(Call call) {
  std::vector<Record> result;
  for (const Record& record : fake.calls) {
    if (record.call == call) result.push_back(record);
  }
  return result;
}

// The first address where the flash holds other than bytes from address on
// and erased bytes everywhere else, or -1 when there is none.
long firstDifference(uint32_t address, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < fake.flash.size(); ++i) {
    const bool inside = i >= address && i - address < bytes.size();
    if (fake.flash[i] != (inside ? bytes[i - address] : 0xFF)) return static_cast<long>(i);
  }
  return -1;
}

// A pipe that a thread fills and then closes. The burner opens it by its entry
// under /dev/fd, as a shell's process substitution hands one over.
class FilledPipe {
 public:
  explicit FilledPipe(std::vector<uint8_t> bytes) {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::pipe(ends), 0);
    readEnd_ = ends[0];
    writer_ = std::thread([fd = ends[1], bytes = std::move(bytes)] {
      // A reader that stops early leaves the rest unsent: no SIGPIPE.
      sigset_t pipeSignal;
      sigemptyset(&pipeSignal);
      sigaddset(&pipeSignal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
      size_t sent = 0;
      while (sent < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(fd);
    });
  }
  FilledPipe(const FilledPipe&) = delete;
  FilledPipe& operator=(const FilledPipe&) = delete;
  ~FilledPipe() {
    ::close(readEnd_);
    writer_.join();
  }

  std::string name() const { return "/dev/fd/" + std::to_string(readEnd_); }

 private:
  int readEnd_ = -1;
  std::thread writer_;
};

class BurnerOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = FakeModule{};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("vkm470burn-") + info->name() + "-" +
                                        std::to_string(std::random_device{}()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    EXPECT_FALSE(fake.foreignRecord) << "a call passed another record or unexpected data";
    EXPECT_FALSE(fake.outsideFlash) << "a call reached past the end of the flash";
  }

  std::string image(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = (dir_ / name).string();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
  }

  std::string missing() const { return (dir_ / "missing.bin").string(); }

  static Outcome burn(std::vector<std::string> args) {
    args.insert(args.begin(), "vkm470burn");
    std::vector<char*> argv;
    for (std::string& word : args) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = burn_main(static_cast<int>(args.size()), argv.data());
    Outcome outcome{status, ::testing::internal::GetCapturedStdout(),
                    ::testing::internal::GetCapturedStderr()};
    return outcome;
  }

  fs::path dir_;
};

TEST_F(BurnerOperations, BootImageGoesInChunksOf4096WithADotPer32768Bytes) {
  const auto bytes = pattern(40000);
  const Outcome run = burn({"-i", "LPT1", "-w", "-b", image("boot.bin", bytes)});

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Writing boot program..\nwrote 40000 bytes\n");
  EXPECT_EQ(run.err, "");
  const auto programs = of(Call::program);
  ASSERT_EQ(programs.size(), 10u);
  for (size_t i = 0; i < programs.size(); ++i) {
    EXPECT_EQ(programs[i].address, i * 4096);
    EXPECT_EQ(programs[i].length, i < 9 ? 4096u : 3136u);
    EXPECT_EQ(programs[i].timeout, 1000u);
  }
  EXPECT_EQ(std::vector<uint8_t>(fake.flash.begin(), fake.flash.begin() + 40000), bytes);
  EXPECT_EQ(fake.calls.front().call, Call::open);
  EXPECT_EQ(fake.calls.front().address, 0u) << "device number";
  EXPECT_EQ(fake.calls.back().call, Call::close);
  EXPECT_TRUE(of(Call::read).empty());
}

TEST_F(BurnerOperations, VerifiedWriteOfAllThreeImagesInOrder) {
  const auto boot = pattern(5000);
  const auto app = pattern(70000);
  const std::vector<uint8_t> pga = {1, 2, 3, 4, 5};
  const Outcome run = burn({"-i", "LPT2", "-wv", "-p", image("pga.bin", pga), "-a",
                            image("app.bin", app), "-b", image("boot.bin", boot)});

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Writing and verifying boot program.\nwrote 5000 bytes\nverify OK\n"
            "Writing and verifying application program...\nwrote 70000 bytes\nverify OK\n"
            "Writing and verifying PGA broaching.\nwrote 5 bytes\nverify OK\n");
  EXPECT_EQ(run.err, "");

  // Every program call is followed by a read-back of the same range.
  const auto& calls = fake.calls;
  ASSERT_EQ(calls.size(), 2 + 2 * (2 + 18 + 2));
  for (size_t i = 1; i + 1 < calls.size(); i += 2) {
    EXPECT_EQ(calls[i].call, Call::program);
    EXPECT_EQ(calls[i + 1].call, Call::read);
    EXPECT_EQ(calls[i + 1].address, calls[i].address);
    EXPECT_EQ(calls[i + 1].length, calls[i].length);
    EXPECT_EQ(calls[i + 1].timeout, 1000u);
  }
  EXPECT_EQ(calls[1].address, 0x000000u);
  EXPECT_EQ(calls[5].address, 0x020200u);
  const auto programs = of(Call::program);
  const Record& header = programs[programs.size() - 2];
  EXPECT_EQ(header.address, 0x1E7000u);
  EXPECT_EQ(header.bytes, (std::vector<uint8_t>{5, 0, 0, 0, 0x0F, 0, 0, 0}));
  EXPECT_EQ(programs.back().address, 0x1E7008u);
  EXPECT_EQ(programs.back().bytes, pga);
  EXPECT_EQ(
      std::vector<uint8_t>(fake.flash.begin() + 0x020200, fake.flash.begin() + 0x020200 + 70000),
      app);
}

TEST_F(BurnerOperations, PgaImageFillingItsAreaEndsAtTheEndOfTheFlash) {
  std::vector<uint8_t> pga(102392, 0xFF);  // the whole area, up to the end of the flash
  const Outcome run = burn({"-i", "LPT1", "-w", "-p", image("pga.bin", pga)});

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Writing PGA broaching....\nwrote 102392 bytes\n");
  const auto programs = of(Call::program);
  ASSERT_EQ(programs.size(), 1u + 25u);
  // 102392 = 0x00018FF8; 102392 * 255 = 26109960 = 0x018E6808.
  EXPECT_EQ(programs[0].bytes,
            (std::vector<uint8_t>{0xF8, 0x8F, 0x01, 0x00, 0x08, 0x68, 0x8E, 0x01}));
  EXPECT_EQ(programs.back().address, 0x1E7008u + 24 * 4096);
  EXPECT_EQ(programs.back().length, 102392u - 24 * 4096);
}

TEST_F(BurnerOperations, DifferenceInTheThirdChunkStopsTheVerifiedWrite) {
  fake.corruptedRead = 3;
  const Outcome run = burn({"-i", "LPT1", "-v", "-w", "-b", image("boot.bin", pattern(5 * 4096)),
                            "-a", image("app.bin", pattern(100))});

  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "Writing and verifying boot program.\n");
  EXPECT_EQ(run.err, "verifing error\n");
  EXPECT_EQ(kinds(fake.calls),
            (std::vector<Call>{Call::open, Call::program, Call::read, Call::program, Call::read,
                               Call::program, Call::read, Call::close}));
}

TEST_F(BurnerOperations, FailedProgramCallEndsTheRun) {
  fake.failingProgram = 2;
  const Outcome run = burn({"-i", "USB", "-w", "-a", image("app.bin", pattern(3 * 4096)), "-p",
                            image("pga.bin", pattern(10))});

  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "Writing application program.\n");
  EXPECT_EQ(run.err, "error program FLASH\n");
  EXPECT_EQ(of(Call::program).size(), 2u) << "neither the rest nor the PGA image is written";
  EXPECT_EQ(fake.calls.back().call, Call::close);
}

TEST_F(BurnerOperations, FilesThatCannotBeWritten) {
  struct Case {
    std::string option;
    std::string file;
    std::string out;
    std::string err;
    int status;
  };
  const std::string empty = image("empty.bin", {});
  const std::string boot = image("boot.bin", pattern(131073));
  const std::string app = image("app.bin", pattern(1863169));
  const std::string pga = image("pga.bin", pattern(102393));
  // The image named after a failing one is never written either.
  const std::string next = image("next.bin", {1});
  const Case cases[] = {
      {"-b", missing(), "Writing boot program", "error: can't open file " + missing() + "\n", 1},
      {"-p", missing(), "Writing PGA broaching", "error: can't open file " + missing() + "\n", 1},
      {"-p", empty, "Writing PGA broaching", "error reading file " + empty + "\n", 2},
      {"-b", boot, "Writing boot program",
       "error: file " + boot + " too large for its area (131073 bytes, at most 131072)\n", 2},
      {"-a", app, "Writing application program",
       "error: file " + app + " too large for its area (1863169 bytes, at most 1863168)\n", 2},
      {"-p", pga, "Writing PGA broaching",
       "error: file " + pga + " too large for its area (102393 bytes, at most 102392)\n", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option + " " + c.file);
    fake = FakeModule{};
    std::vector<std::string> args = {"-i", "LPT3", "-w", c.option, c.file};
    if (c.option != "-p") args.insert(args.end(), {c.option == "-b" ? "-a" : "-p", next});
    const Outcome run = burn(args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(kinds(fake.calls), (std::vector<Call>{Call::open, Call::close}));
  }
}

// An image is the bytes its source yields when it opens, at most its area's
// size, whatever size the source reports and whatever becomes of it later.
TEST_F(BurnerOperations, ImageIsWhatItsSourceYieldsUpToItsArea) {
  struct Case {
    std::string option;
    std::string source;
    std::function<void()> atFirstProgram;
    int status;
    std::string out;
    std::string err;
    std::vector<uint8_t> written;  // at the image's address; nothing when refused
  };
  const std::string big = image("big.bin", pattern(200000));
  // A procfs file that reports size 0 and yields 8 bytes per page of the
  // address space, far more than any area on every Linux machine.
  const std::string procfs = "/proc/self/pagemap";
  struct stat procfsStat {};
  ASSERT_EQ(::stat(procfs.c_str(), &procfsStat), 0);
  ASSERT_EQ(procfsStat.st_size, 0);
  const auto fullBoot = pattern(131072);
  const FilledPipe bootPipe(fullBoot);
  const FilledPipe pgaPipe(pattern(102393));
  const std::string growing = image("growing.bin", fullBoot);
  const auto app = pattern(70000);
  const std::string shrinking = image("shrinking.bin", app);
  const std::string directory = dir_.string();

  const Case cases[] = {
      {"-b",
       big,
       nullptr,
       2,
       "Writing boot program",
       "error: file " + big + " too large for its area (200000 bytes, at most 131072)\n",
       {}},
      {"-b",
       "/dev/zero",
       nullptr,
       2,
       "Writing boot program",
       "error: file /dev/zero too large for its area (more than 131072 bytes, at most 131072)\n",
       {}},
      {"-a",
       procfs,
       nullptr,
       2,
       "Writing application program",
       "error: file " + procfs +
           " too large for its area (more than 1863168 bytes, at most 1863168)\n",
       {}},
      {"-b", bootPipe.name(), nullptr, 0, "Writing boot program.....\nwrote 131072 bytes\n", "",
       fullBoot},
      {"-p",
       pgaPipe.name(),
       nullptr,
       2,
       "Writing PGA broaching",
       "error: file " + pgaPipe.name() +
           " too large for its area (more than 102392 bytes, at most 102392)\n",
       {}},
      // Grown past its area once the burn is under way: the area's end holds.
      {"-b", growing,
       [&] {
         std::FILE* file = std::fopen(growing.c_str(), "ab");
         std::fwrite(app.data(), 1, 4096, file);
         std::fclose(file);
       },
       0, "Writing boot program.....\nwrote 131072 bytes\n", "", fullBoot},
      // Cut short once the burn is under way: the whole image is still written.
      {"-a", shrinking, [&] { fs::resize_file(shrinking, 1000); }, 0,
       "Writing application program...\nwrote 70000 bytes\n", "", app},
      {"-b",
       directory,
       nullptr,
       2,
       "Writing boot program",
       "error reading file " + directory + "\n",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option + " " + c.source);
    fake = FakeModule{};
    fake.atFirstProgram = c.atFirstProgram;
    const Outcome run = burn({"-i", "LPT1", "-w", c.option, c.source});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    const uint32_t address = c.option == "-b" ? 0x000000 : c.option == "-a" ? 0x020200 : 0x1E7008;
    EXPECT_EQ(firstDifference(address, c.written), -1);
    if (c.written.empty()) {
      EXPECT_EQ(kinds(fake.calls), (std::vector<Call>{Call::open, Call::close}));
    }
  }
}

TEST_F(BurnerOperations, EmptyBootOrApplicationImageWritesNothing) {
  const std::string empty = image("empty.bin", {});
  Outcome run = burn({"-i", "LPT1", "-w", "-b", empty});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Writing boot program.\nwrote 0 bytes\n");

  run = burn({"-i", "USB", "-w", "-v", "-a", empty});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Writing and verifying application program.\nwrote 0 bytes\nverify OK\n");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(of(Call::program).empty());
  EXPECT_TRUE(of(Call::read).empty());
}

TEST_F(BurnerOperations, SerialNumberWrittenAndReadBack) {
  Outcome run = burn({"-i", "USB", "-n", "ABC"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Writing serial.OK\n");
  ASSERT_EQ(kinds(fake.calls), (std::vector<Call>{Call::open, Call::program, Call::close}));
  const Record& write = fake.calls[1];
  EXPECT_EQ(write.address, 0x020000u);
  EXPECT_EQ(write.timeout, 1000u);
  std::vector<uint8_t> expected(16, 0);
  expected[0] = 'A';
  expected[1] = 'B';
  expected[2] = 'C';
  EXPECT_EQ(write.bytes, expected);

  fake.calls.clear();
  run = burn({"-i", "LPT1", "-n"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Reading serial.OK\nSerial Number: ABC\n");
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(kinds(fake.calls), (std::vector<Call>{Call::open, Call::read, Call::close}));
  EXPECT_EQ(fake.calls[1].address, 0x020000u);
  EXPECT_EQ(fake.calls[1].length, 16u);
  EXPECT_EQ(fake.calls[1].timeout, 1000u);
}

TEST_F(BurnerOperations, SerialAreaWithoutTerminatorShowsFifteenCharacters) {
  for (int i = 0; i < 16; ++i) fake.flash[0x020000 + i] = static_cast<uint8_t>('A' + i);
  const Outcome run = burn({"-i", "USB", "-n"});
  EXPECT_EQ(run.out, "Reading serial.OK\nSerial Number: ABCDEFGHIJKLMNO\n");
}

TEST_F(BurnerOperations, PageSizeIsSetWithSpecialCommandOne) {
  const Outcome run = burn({"-i", "LPT2", "-t"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Setting FLASH page size.OK\n");
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(kinds(fake.calls), (std::vector<Call>{Call::open, Call::special, Call::close}));
  EXPECT_EQ(fake.calls[1].address, 1u) << "command";
  EXPECT_EQ(fake.calls[1].length, 0u);
}

TEST_F(BurnerOperations, ModuleRefusals) {
  struct Case {
    std::vector<std::string> args;
    FakeModule module;
    std::string out;
    std::string err;
    std::vector<Call> calls;
  };
  FakeModule noOpen;
  noOpen.openResult = VKM470F_ERR_CABLE_OPEN;
  FakeModule noSpecial;
  noSpecial.specialResult = VKM470F_ERR_FLASH_FAILED;
  FakeModule noRead;
  noRead.failingRead = 1;
  FakeModule noProgram;
  noProgram.failingProgram = 1;
  FakeModule noHeader = noProgram;
  noHeader.failingRead = 1;

  const std::string boot = image("boot.bin", pattern(10));
  const std::string pga = image("pga.bin", pattern(10));
  const Case cases[] = {
      {{"-i", "LPT1", "-w", "-b", boot}, noOpen, "", "", {Call::open, Call::close}},
      {{"-i", "LPT1", "-t"},
       noOpen,
       "Setting FLASH page size.",
       "error setting FLASH page size\n",
       {Call::open, Call::close}},
      {{"-i", "LPT1", "-t"},
       noSpecial,
       "Setting FLASH page size.",
       "error setting FLASH page size\n",
       {Call::open, Call::special, Call::close}},
      {{"-i", "USB", "-n"}, noOpen, "Reading serial.error\n", "", {Call::open, Call::close}},
      {{"-i", "USB", "-n"},
       noRead,
       "Reading serial.error\n",
       "",
       {Call::open, Call::read, Call::close}},
      {{"-i", "USB", "-n", "7"}, noOpen, "Writing serial.error\n", "", {Call::open, Call::close}},
      {{"-i", "USB", "-n", "7"},
       noProgram,
       "Writing serial.error\n",
       "",
       {Call::open, Call::program, Call::close}},
      // The header is read back even when programming it failed; no image byte follows.
      {{"-i", "USB", "-w", "-v", "-p", pga},
       noHeader,
       "Writing and verifying PGA broaching",
       "error program FLASH\nverifing error\n",
       {Call::open, Call::program, Call::read, Call::close}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2] + " " + c.err);
    fake = c.module;
    const Outcome run = burn(c.args);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(kinds(fake.calls), c.calls);
  }
}

TEST(BurnerAssertions, NameTheExpressionAndTheSource) {
  int32_t status = 0;
  EXPECT_DEATH(parse_options(1, nullptr, &status), "Assertion failed: arg != nullptr, file main");
  EXPECT_DEATH(option_boot(nullptr, &status), "Assertion failed: optstr != nullptr, file options");
  EXPECT_DEATH(write_image_file(0, 1, nullptr, &status),
               "Assertion failed: fname_bin != nullptr, file operations");
  EXPECT_DEATH(check_write_options(nullptr), "Assertion failed: errstr != nullptr, file main");
}

}  // namespace
