// SPDX-License-Identifier: MIT
// The burner's entry: clear the records, parse, check the combination of
// options and run the one operation chosen.
#include <cstdio>
#include <cstring>

#include "burner.h"

namespace {

constexpr char burn_source[] = "main";

constexpr size_t errstr_size = 64;

bool is_lpt() {
  return burn_device.interfaceType >= VKM470F_INTERFACE_LPT1 &&
         burn_device.interfaceType <= VKM470F_INTERFACE_LPT3;
}

// The first option present among those an operation takes no part in is
// named in errstr, in the order -b, -a, -p, -v.
void refuse_extra_options(char* errstr, const char* operation_option) {
  BURN_ASSERT(errstr != nullptr);
  BURN_ASSERT(operation_option != nullptr);
  const char* extra = nullptr;
  if (burn_options.fname_boot[0] != '\0') {
    extra = "-b";
  } else if (burn_options.fname_app[0] != '\0') {
    extra = "-a";
  } else if (burn_options.fname_pga[0] != '\0') {
    extra = "-p";
  } else if (burn_options.verify != 0) {
    extra = "-v";
  }
  if (extra != nullptr) {
    std::snprintf(errstr, errstr_size, "%s option not used with %s option", extra,
                  operation_option);
  }
}

}  // namespace

void parse_options(int argc, char* const* arg, int32_t* status) {
  BURN_ASSERT(arg != nullptr);
  int32_t result = option_ok;
  scan_start();
  while (result == option_ok) {
    const int option = scan_next(argc, arg);
    if (option == scan_end) break;
    const char* optstr = burn_scanner.argument;
    switch (option) {
      case 'i':
        option_interface(optstr, &result);
        break;
      case 'r':
        option_no_action(&result);
        break;
      case 'w':
        option_write(&result);
        break;
      case 't':
        option_page_size(&result);
        break;
      case 'n':
        option_serial(optstr, &result);
        break;
      case 'b':
        option_boot(optstr, &result);
        break;
      case 'a':
        option_app(optstr, &result);
        break;
      case 'p':
        option_pga(optstr, &result);
        break;
      case 'v':
        option_verify(&result);
        break;
      case scan_missing_argument:
        // -n as the last word reads the serial number instead.
        if (burn_scanner.option == 'n') {
          option_serial(nullptr, &result);
        } else {
          result = option_without_argument;
        }
        break;
      default:
        result = option_unknown;
        break;
    }
  }
  if (result != option_ok) print_option_error(burn_scanner.option, result);
  if (status != nullptr) *status = result;
}

void check_write_options(char* errstr) {
  BURN_ASSERT(errstr != nullptr);
  errstr[0] = '\0';
  if (burn_options.fname_boot[0] != '\0' && !is_lpt()) {
    std::snprintf(errstr, errstr_size, "-b option compatible only with LPT interface");
  } else if (burn_options.fname_boot[0] == '\0' && burn_options.fname_app[0] == '\0' &&
             burn_options.fname_pga[0] == '\0') {
    std::snprintf(errstr, errstr_size, "not specified file for writing");
  }
}

void check_page_size_options(char* errstr) {
  BURN_ASSERT(errstr != nullptr);
  errstr[0] = '\0';
  if (!is_lpt()) {
    std::snprintf(errstr, errstr_size, "-t option compatible only with LPT interface");
    return;
  }
  refuse_extra_options(errstr, "-t");
}

void check_serial_options(char* errstr) {
  BURN_ASSERT(errstr != nullptr);
  errstr[0] = '\0';
  refuse_extra_options(errstr, "-n");
}

int check_options(int print) {
  static char errstr[errstr_size];
  errstr[0] = '\0';
  if (burn_device.interfaceType == VKM470F_INTERFACE_NONE) {
    std::snprintf(errstr, sizeof errstr, "interface not specify");
  } else if (burn_options.operation == operation_none) {
    std::snprintf(errstr, sizeof errstr, "operation not specified");
  } else {
    switch (burn_options.operation) {
      case operation_write:
        check_write_options(errstr);
        break;
      case operation_page_size:
        check_page_size_options(errstr);
        break;
      case operation_read_serial:
      case operation_write_serial:
        check_serial_options(errstr);
        break;
      default:
        break;
    }
  }
  if (errstr[0] == '\0') return 1;
  if (print != 0) burn_error("error: %s\n", errstr);
  return 0;
}

int burn_main(int argc, char* const* arg) {
  std::memset(&burn_device, 0, sizeof burn_device);
  std::memset(&burn_options, 0, sizeof burn_options);

  int32_t status = option_ok;
  parse_options(argc, arg, &status);
  if (status != option_ok) return burn_refused;
  if (check_options(1) == 0) return burn_refused;

  status = operation_ok;
  switch (burn_options.operation) {
    case operation_write:
      write_images(&status);
      break;
    case operation_page_size:
      set_page_size(&status);
      break;
    case operation_read_serial:
      read_serial(&status);
      break;
    case operation_write_serial:
      write_serial(&status);
      break;
    default:
      break;
  }
  return status;
}
