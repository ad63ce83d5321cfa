// SPDX-License-Identifier: MIT
// The option scanner and one handler for each option letter. Handlers store
// into the process-wide records and report through their status argument.
#include <cstring>

#include "burner.h"

namespace {

constexpr char burn_source[] = "options";

// The leading ':' keeps the scanner silent and tells a missing argument apart
// from an unlisted letter.
constexpr char option_string[] = ":i:rwtvb:a:p:n:";

constexpr size_t file_name_size = sizeof burn_options.fname_boot;

struct interface_name {
  const char* name;
  int32_t type;
};

constexpr interface_name interface_names[] = {
    {"USB", VKM470F_INTERFACE_USB},
    {"LPT1", VKM470F_INTERFACE_LPT1},
    {"LPT2", VKM470F_INTERFACE_LPT2},
    {"LPT3", VKM470F_INTERFACE_LPT3},
};

// Moves to the next word once the current one is used up.
void finish_word_if_used(const char* word) {
  if (word[burn_scanner.position] == '\0') {
    ++burn_scanner.index;
    burn_scanner.position = 0;
  }
}

// -r, -w, -t and -n share the one operation slot.
void choose_operation(int32_t operation, int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = option_ok;
  if (burn_options.operation != operation_none) {
    *status = option_duplicate;
    return;
  }
  burn_options.operation = operation;
}

// A name that does not fit is refused whole: a shortened name would be
// another file.
void take_file_name(char* field, const char* optstr, int32_t* status) {
  BURN_ASSERT(field != nullptr);
  BURN_ASSERT(optstr != nullptr);
  BURN_ASSERT(status != nullptr);
  *status = option_ok;
  if (field[0] != '\0') {
    *status = option_duplicate;
    return;
  }
  if (std::strlen(optstr) >= file_name_size) {
    *status = option_invalid_value;
    return;
  }
  std::strcpy(field, optstr);
}

}  // namespace

burn_options_record burn_options;
VKM470F_DEVICE burn_device;

option_scanner burn_scanner = {1, 0, 0, nullptr};

void scan_start() { burn_scanner = {1, 0, 0, nullptr}; }

int scan_next(int argc, char* const* arg) {
  BURN_ASSERT(arg != nullptr);
  option_scanner& scanner = burn_scanner;
  scanner.argument = nullptr;
  if (scanner.position == 0) {
    if (scanner.index >= argc || arg[scanner.index][0] != '-') return scan_end;
    const char* word = arg[scanner.index];
    if (word[1] == '\0') return scan_end;
    if (word[1] == '-') {
      ++scanner.index;
      return scan_end;
    }
    scanner.position = 1;
  }

  const char* word = arg[scanner.index];
  const int option = static_cast<unsigned char>(word[scanner.position++]);
  scanner.option = option;
  const char* listed = option == ':' ? nullptr : std::strchr(option_string + 1, option);
  if (listed == nullptr) {
    if (option == '-') return scan_end;
    finish_word_if_used(word);
    return scan_unknown;
  }
  if (listed[1] != ':') {
    finish_word_if_used(word);
    return option;
  }

  if (word[scanner.position] != '\0') {
    scanner.argument = word + scanner.position;
  } else if (++scanner.index >= argc) {
    scanner.position = 0;
    return scan_missing_argument;
  } else {
    scanner.argument = arg[scanner.index];
  }
  ++scanner.index;
  scanner.position = 0;
  return option;
}

void option_interface(const char* optstr, int32_t* status) {
  BURN_ASSERT(optstr != nullptr);
  BURN_ASSERT(status != nullptr);
  *status = option_ok;
  if (burn_device.interfaceType != VKM470F_INTERFACE_NONE) {
    *status = option_duplicate;
    return;
  }
  for (const interface_name& entry : interface_names) {
    if (std::strcmp(optstr, entry.name) == 0) {
      burn_device.interfaceType = entry.type;
      return;
    }
  }
  *status = option_invalid_value;
}

void option_no_action(int32_t* status) { choose_operation(operation_no_action, status); }

void option_write(int32_t* status) { choose_operation(operation_write, status); }

void option_page_size(int32_t* status) { choose_operation(operation_page_size, status); }

void option_serial(const char* optstr, int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = option_ok;
  if (burn_options.operation != operation_none) {
    *status = option_duplicate;
    return;
  }
  if (optstr == nullptr) {
    std::memset(burn_options.serial, 0, sizeof burn_options.serial);
    burn_options.operation = operation_read_serial;
    return;
  }
  const auto field = vkm470::flash_map::encodeSerial(optstr);
  if (!field) {
    *status = option_invalid_value;
    return;
  }
  static_assert(sizeof burn_options.serial == vkm470::flash_map::kSerialFieldBytes,
                "the option holds the whole field");
  std::memcpy(burn_options.serial, field->data(), field->size());
  burn_options.operation = operation_write_serial;
}

void option_boot(const char* optstr, int32_t* status) {
  take_file_name(burn_options.fname_boot, optstr, status);
}

void option_app(const char* optstr, int32_t* status) {
  take_file_name(burn_options.fname_app, optstr, status);
}

void option_pga(const char* optstr, int32_t* status) {
  take_file_name(burn_options.fname_pga, optstr, status);
}

void option_verify(int32_t* status) {
  BURN_ASSERT(status != nullptr);
  *status = option_ok;
  if (burn_options.verify != 0) {
    *status = option_duplicate;
    return;
  }
  burn_options.verify = 1;
}

void print_option_error(int option, int32_t code) {
  static const char* const texts[] = {
      "no errors",        "unknown option", "option without argument", "invalid argument value",
      "duplicate option",
  };
  const char* text = code >= 0 && code < static_cast<int32_t>(sizeof texts / sizeof texts[0])
                         ? texts[code]
                         : "unknown error - call utility developer";
  burn_error("-%c error: %s\n", option, text);
}
