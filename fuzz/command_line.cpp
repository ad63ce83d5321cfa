// SPDX-License-Identifier: MIT
// The burner's command line, in-process: the input is a list of words (each
// ends at a newline or a zero byte) given to the scanner, the handlers and the
// checks as the arguments after the program name. A small model of the rules
// in the README says what the two records must hold afterwards, which one line
// (if any) goes to standard error, and the exit status of a refused or
// no-action command line; the burner's entry is run for those too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "burner.h"
#include "fuzz.h"

namespace {

using vkm470::fuzz::fail;

constexpr std::size_t kMaxWords = 64;
constexpr std::size_t kFileNameLimit = 260;  // a name must be shorter
constexpr std::size_t kSerialLimit = 16;     // a serial must be shorter

// ---- the model

struct Expected {
  std::int32_t interfaceType = 0;
  std::int32_t operation = 0;
  std::int32_t verify = 0;
  std::string boot, app, pga, serial;
  std::string errorLine;  // empty when the line is accepted
};

std::string optionError(unsigned char letter, const char* text) {
  std::string line = "-";
  line += static_cast<char>(letter);
  return line + " error: " + text + "\n";
}

class Model {
 public:
  explicit Model(const std::vector<std::string>& words) : words_(words) {}

  Expected run() {
    scan();
    if (expected_.errorLine.empty()) combination();
    return expected_;
  }

 private:
  // Letters and whether they take an argument.
  static int kindOf(unsigned char letter) {
    switch (letter) {
      case 'r':
      case 'w':
      case 't':
      case 'v':
        return 1;
      case 'i':
      case 'b':
      case 'a':
      case 'p':
      case 'n':
        return 2;
      default:
        return 0;
    }
  }

  void refuse(unsigned char letter, const char* text) {
    expected_.errorLine = optionError(letter, text);
  }

  // Returns false once the scan is over (an end of the options or a refusal).
  bool apply(unsigned char letter, const std::string* argument) {
    Expected& e = expected_;
    auto chooseOperation = [&](std::int32_t operation) {
      if (e.operation != 0) return refuse(letter, "duplicate option");
      e.operation = operation;
    };
    auto fileName = [&](std::string& field) {
      if (!field.empty()) return refuse(letter, "duplicate option");
      if (argument->size() >= kFileNameLimit) return refuse(letter, "invalid argument value");
      field = *argument;
    };
    switch (letter) {
      case 'i':
        if (e.interfaceType != 0) {
          refuse(letter, "duplicate option");
        } else if (*argument == "USB") {
          e.interfaceType = 1;
        } else if (*argument == "LPT1" || *argument == "LPT2" || *argument == "LPT3") {
          e.interfaceType = 3 + ((*argument)[3] - '1');
        } else {
          refuse(letter, "invalid argument value");
        }
        break;
      case 'r':
        chooseOperation(1);
        break;
      case 'w':
        chooseOperation(2);
        break;
      case 't':
        chooseOperation(3);
        break;
      case 'n':
        if (e.operation != 0) {
          refuse(letter, "duplicate option");
        } else if (argument == nullptr) {
          e.operation = 4;
        } else if (argument->size() >= kSerialLimit) {
          refuse(letter, "invalid argument value");
        } else {
          e.serial = *argument;
          e.operation = 5;
        }
        break;
      case 'b':
        fileName(e.boot);
        break;
      case 'a':
        fileName(e.app);
        break;
      case 'p':
        fileName(e.pga);
        break;
      case 'v':
        if (e.verify != 0) refuse(letter, "duplicate option");
        e.verify = 1;
        break;
    }
    return e.errorLine.empty();
  }

  void scan() {
    for (std::size_t i = 1; i < words_.size(); ++i) {
      const std::string& word = words_[i];
      if (word.size() < 2 || word[0] != '-') return;
      if (word[1] == '-') return;
      for (std::size_t at = 1; at < word.size(); ++at) {
        const auto letter = static_cast<unsigned char>(word[at]);
        const int kind = kindOf(letter);
        if (kind == 0) {
          if (letter == '-') return;
          return refuse(letter, "unknown option");
        }
        if (kind == 1) {
          if (!apply(letter, nullptr)) return;
          continue;
        }
        if (at + 1 < word.size()) {
          const std::string rest = word.substr(at + 1);
          if (!apply(letter, &rest)) return;
        } else if (i + 1 < words_.size()) {
          ++i;
          if (!apply(letter, &words_[i])) return;
        } else if (letter == 'n') {
          apply(letter, nullptr);
          return;
        } else {
          return refuse(letter, "option without argument");
        }
        break;  // the argument used up the word
      }
    }
  }

  void combination() {
    Expected& e = expected_;
    const bool lpt = e.interfaceType >= 3 && e.interfaceType <= 5;
    std::string message;
    auto extra = [&](const char* operation) {
      const char* option = !e.boot.empty()  ? "-b"
                           : !e.app.empty() ? "-a"
                           : !e.pga.empty() ? "-p"
                           : e.verify       ? "-v"
                                            : nullptr;
      if (option != nullptr)
        message = std::string(option) + " option not used with " + operation + " option";
    };
    if (e.interfaceType == 0) {
      message = "interface not specify";
    } else if (e.operation == 0) {
      message = "operation not specified";
    } else if (e.operation == 2) {
      if (!e.boot.empty() && !lpt) {
        message = "-b option compatible only with LPT interface";
      } else if (e.boot.empty() && e.app.empty() && e.pga.empty()) {
        message = "not specified file for writing";
      }
    } else if (e.operation == 3) {
      if (!lpt) {
        message = "-t option compatible only with LPT interface";
      } else {
        extra("-t");
      }
    } else if (e.operation == 4 || e.operation == 5) {
      extra("-n");
    }
    if (!message.empty()) e.errorLine = "error: " + message + "\n";
  }

  const std::vector<std::string>& words_;
  Expected expected_;
};

// ---- the burner

// Collects what the burner writes to either stream while it runs.
class Capture {
 public:
  Capture() : savedOut_(stdout), savedErr_(stderr) {
    stdout = open_memstream(&out_, &outSize_);
    stderr = open_memstream(&err_, &errSize_);
    if (stdout == nullptr || stderr == nullptr) std::abort();
  }
  // Restores the streams; returns what went to standard output and error.
  void finish(std::string* out, std::string* err) {
    std::fclose(stdout);
    std::fclose(stderr);
    stdout = savedOut_;
    stderr = savedErr_;
    out->assign(out_, outSize_);
    err->assign(err_, errSize_);
    std::free(out_);
    std::free(err_);
  }

 private:
  std::FILE* savedOut_;
  std::FILE* savedErr_;
  char* out_ = nullptr;
  char* err_ = nullptr;
  std::size_t outSize_ = 0;
  std::size_t errSize_ = 0;
};

// Leftovers of a previous run that the burner must not rely on.
void scramble() {
  std::memset(&burn_options, 0x5A, sizeof burn_options);
  std::memset(&burn_device, 0x5A, sizeof burn_device);
  burn_scanner = {7, 3, 'x', "leftover"};
}

void compareField(const char* name, const char* field, std::size_t size, const std::string& want) {
  // The text, then zeros to the end of the field.
  for (std::size_t i = 0; i < size; ++i) {
    const char expected = i < want.size() ? want[i] : '\0';
    if (field[i] != expected)
      fail("%s: byte %zu is 0x%02X, expected 0x%02X", name, i, field[i] & 0xFF, expected & 0xFF);
  }
}

void compareRecords(const Expected& e) {
  FUZZ_CHECK(burn_device.interfaceType == e.interfaceType, "interfaceType %d, expected %d",
             burn_device.interfaceType, e.interfaceType);
  FUZZ_CHECK(burn_device.channel == nullptr && burn_device.cable == nullptr &&
                 burn_device.bulkFifo == nullptr && burn_device.applicationRunning == 0,
             "the device record holds more than the interface");
  FUZZ_CHECK(burn_options.operation == e.operation, "operation %d, expected %d",
             burn_options.operation, e.operation);
  FUZZ_CHECK(burn_options.verify == e.verify, "verify %d, expected %d", burn_options.verify,
             e.verify);
  compareField("fname_boot", burn_options.fname_boot, sizeof burn_options.fname_boot, e.boot);
  compareField("fname_app", burn_options.fname_app, sizeof burn_options.fname_app, e.app);
  compareField("fname_pga", burn_options.fname_pga, sizeof burn_options.fname_pga, e.pga);
  compareField("serial", burn_options.serial, sizeof burn_options.serial, e.serial);
}

void compareOutput(const char* run, const std::string& out, const std::string& err,
                   const Expected& e) {
  FUZZ_CHECK(out.empty(), "%s printed on standard output: %s", run, out.c_str());
  FUZZ_CHECK(err == e.errorLine, "%s printed \"%s\" on standard error, expected \"%s\"", run,
             err.c_str(), e.errorLine.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words{"vkm470burn"};
  std::string word;
  for (std::size_t i = 0; i < size && words.size() <= kMaxWords; ++i) {
    if (data[i] == '\n' || data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (!word.empty() && words.size() <= kMaxWords) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  const Expected expected = Model(words).run();

  // The steps of the entry up to the operation, with the records cleared as
  // the entry clears them.
  scramble();
  std::memset(&burn_options, 0, sizeof burn_options);
  std::memset(&burn_device, 0, sizeof burn_device);
  Capture capture;
  std::int32_t status = -1;
  parse_options(argc, argv.data(), &status);
  const int accepted = status == option_ok ? check_options(1) : -1;
  std::string out, err;
  capture.finish(&out, &err);

  compareRecords(expected);
  compareOutput("parse and check", out, err, expected);
  FUZZ_CHECK((status == option_ok) == (err.rfind("error: ", 0) == 0 || err.empty()),
             "option status %d with \"%s\"", status, err.c_str());
  FUZZ_CHECK(accepted == -1 || accepted == (err.empty() ? 1 : 0), "check_options gave %d",
             accepted);

  // The whole entry, for the lines on which it runs no operation.
  const bool refused = !expected.errorLine.empty();
  if (refused || expected.operation == operation_no_action) {
    scramble();
    Capture entry;
    const int exitStatus = burn_main(argc, argv.data());
    entry.finish(&out, &err);
    FUZZ_CHECK(exitStatus == (refused ? burn_refused : 0), "exit status %d, expected %d",
               exitStatus, refused ? burn_refused : 0);
    compareRecords(expected);
    compareOutput("the entry", out, err, expected);
  }
  return 0;
}
