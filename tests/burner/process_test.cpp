// SPDX-License-Identifier: MIT
// vkm470burn run as a process: command lines with the exact standard output,
// standard error and exit status. Only cases whose outcome does not depend on
// a module being reachable: the device directory is an empty one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

namespace fs = std::filesystem;

struct Outcome {
  std::string out;
  std::string err;
  int status;
};

std::string quote(const std::string& word) {
#ifdef _WIN32
  return "\"" + word + "\"";
#else
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}

std::string slurp(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class BurnerProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() /
           ("vkm470burn-process-" + std::to_string(std::random_device{}()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "devices");
    // No module and no cable: every device open fails.
#ifdef _WIN32
    _putenv_s("VKM470_DEVICES", (dir_ / "devices").string().c_str());
#else
    setenv("VKM470_DEVICES", (dir_ / "devices").c_str(), 1);
#endif
    std::ofstream(dir_ / "boot.bin", std::ios::binary) << "boot";
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static Outcome run(const std::vector<std::string>& args) {
    const fs::path out = dir_ / "stdout.txt";
    const fs::path err = dir_ / "stderr.txt";
    std::string command = quote(VKM470BURN_PATH);
    for (const std::string& word : args) command += " " + quote(word);
    command += " >" + quote(out.string()) + " 2>" + quote(err.string());
#ifdef _WIN32
    const int status = std::system(("\"" + command + "\"").c_str());
#else
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return {slurp(out), slurp(err), status};
  }

  static fs::path dir_;
};

fs::path BurnerProcess::dir_;

struct Case {
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

void expectRuns(const Case& c, const Outcome& outcome) {
  std::string line;
  for (const std::string& word : c.args) line += " " + word;
  SCOPED_TRACE("vkm470burn" + line);
  EXPECT_EQ(outcome.out, c.out);
  EXPECT_EQ(outcome.err, c.err);
  EXPECT_EQ(outcome.status, c.status);
}

TEST_F(BurnerProcess, OptionRefusals) {
  const Case cases[] = {
      {{"-i", "usb", "-r"}, "", "-i error: invalid argument value\n", 10},
      {{"-i", "USB", "-i", "LPT1", "-r"}, "", "-i error: duplicate option\n", 10},
      {{"-i", "USB", "-w", "-t"}, "", "-t error: duplicate option\n", 10},
      {{"-i", "USB", "-rw"}, "", "-w error: duplicate option\n", 10},
      {{"-i", "USB", "-w", "-n", "1"}, "", "-n error: duplicate option\n", 10},
      {{"-i", "USB", "-v", "-v"}, "", "-v error: duplicate option\n", 10},
      {{"-i", "USB", "-b", "x", "-b", "y"}, "", "-b error: duplicate option\n", 10},
      {{"-i", "USB", "-r", "-a"}, "", "-a error: option without argument\n", 10},
      {{"-i"}, "", "-i error: option without argument\n", 10},
      {{"-i", "USB", "-x", "-r"}, "", "-x error: unknown option\n", 10},
      {{"-:"}, "", "-: error: unknown option\n", 10},
      {{"-i", "USB", "-n", "0123456789abcdef"}, "", "-n error: invalid argument value\n", 10},
      {{"-i", "USB", "-r", "-p", std::string(260, 'p')},
       "",
       "-p error: invalid argument value\n",
       10},
      // The first failing option ends the scan: nothing after it is looked at.
      {{"-i", "LPT9", "-q"}, "", "-i error: invalid argument value\n", 10},
  };
  for (const Case& c : cases) expectRuns(c, run(c.args));
}

TEST_F(BurnerProcess, CombinationRefusals) {
  const Case cases[] = {
      {{}, "", "error: interface not specify\n", 10},
      {{"--help"}, "", "error: interface not specify\n", 10},
      {{"help", "-i", "USB", "-r"}, "", "error: interface not specify\n", 10},
      {{"-i", "USB"}, "", "error: operation not specified\n", 10},
      {{"-i", "USB", "-", "-r"}, "", "error: operation not specified\n", 10},
      {{"-i", "USB", "--", "-r"}, "", "error: operation not specified\n", 10},
      {{"-i", "USB", "-w-r"}, "", "error: not specified file for writing\n", 10},
      {{"-i", "USB", "-w"}, "", "error: not specified file for writing\n", 10},
      {{"-i", "LPT1", "-w", "-b", ""}, "", "error: not specified file for writing\n", 10},
      {{"-i", "USB", "-w", "-b", "boot.bin"},
       "",
       "error: -b option compatible only with LPT interface\n",
       10},
      {{"-i", "USB", "-t"}, "", "error: -t option compatible only with LPT interface\n", 10},
      {{"-i", "LPT1", "-t", "-v"}, "", "error: -v option not used with -t option\n", 10},
      {{"-i", "LPT1", "-t", "-v", "-p", "p"}, "", "error: -p option not used with -t option\n", 10},
      {{"-i", "LPT1", "-t", "-a", "a", "-b", "b"},
       "",
       "error: -b option not used with -t option\n",
       10},
      {{"-i", "LPT3", "-n", "12", "-v"}, "", "error: -v option not used with -n option\n", 10},
      {{"-i", "LPT3", "-n", "12", "-v", "-a", "a"},
       "",
       "error: -a option not used with -n option\n",
       10},
      // -n takes the next word whatever it is: here the value -v, not the verify flag.
      {{"-i", "USB", "-a", "a", "-n", "-v"}, "", "error: -a option not used with -n option\n", 10},
      {{"-i", "USB", "-p", "p", "-n"}, "", "error: -p option not used with -n option\n", 10},
  };
  for (const Case& c : cases) expectRuns(c, run(c.args));
}

TEST_F(BurnerProcess, AcceptedCommandLines) {
  const std::string boot = (dir_ / "boot.bin").string();
  const Case cases[] = {
      {{"-i", "USB", "-r"}, "", "", 0},
      {{"-iLPT2", "-rv", "-bboot.bin", "-a", "a", "-p", "p"}, "", "", 0},
      {{"-i", "USB", "-r", "-b", "", "-b", std::string(259, 'b')}, "", "", 0},
      {{"-i", "USB", "-r", "not", "-an", "-option"}, "", "", 0},
      // Past the checks, every device open fails: the operation's own failure.
      {{"-i", "LPT1", "-w", "-v", "-b", boot}, "", "", 3},
      {{"-i", "USB", "-b", "", "-w", "-a", "missing.bin"}, "", "", 3},
      {{"-i", "LPT2", "-t"}, "Setting FLASH page size.", "error setting FLASH page size\n", 3},
      {{"-i", "USB", "-n"}, "Reading serial.error\n", "", 3},
      {{"-i", "LPT1", "-n", "-v"}, "Writing serial.error\n", "", 3},
      {{"-i", "LPT1", "-n", "0123456789abcde"}, "Writing serial.error\n", "", 3},
  };
  for (const Case& c : cases) expectRuns(c, run(c.args));
}

}  // namespace
