// SPDX-License-Identifier: MIT
// vkm470burn: the two process-wide records, the option scanner, the handlers,
// the checks and the operations. One run parses, checks and performs at most
// one operation. The entry and the checks (main.cpp) call the option scanner
// and its handlers (options.cpp, which holds the records) and the operations
// (operations.cpp); all of them print through output.cpp, which calls none.
#pragma once

#include <cstdint>

#include "output.h"
#include "vkm470_flash_map.h"
#include "vkm470fapi.h"

struct burn_options_record {
  char fname_app[260];
  char fname_boot[260];
  char fname_pga[260];
  char serial[vkm470::flash_map::kSerialFieldBytes];
  int32_t operation;
  int32_t verify;
};

extern burn_options_record burn_options;
extern VKM470F_DEVICE burn_device;

// Values of burn_options.operation.
enum : int32_t {
  operation_none = 0,
  operation_no_action = 1,
  operation_write = 2,
  operation_page_size = 3,
  operation_read_serial = 4,
  operation_write_serial = 5
};

// Option status, left by every handler and by parse_options.
enum : int32_t {
  option_ok = 0,
  option_unknown = 1,
  option_without_argument = 2,
  option_invalid_value = 3,
  option_duplicate = 4
};

// Operation status; the entry returns it as the exit status when it is not 0.
enum : int32_t {
  operation_ok = 0,
  operation_cannot_open = 1,
  operation_cannot_read = 2,
  operation_failed = 3
};

// Exit status of a refused command line.
constexpr int burn_refused = 10;

// The option scanner: getopt rules for ":i:rwtvb:a:p:n:", silent, no
// reordering. option is the last character scanned as an option, also when it
// is unlisted or lacks its argument.
struct option_scanner {
  int index;
  int position;
  int option;
  const char* argument;
};
extern option_scanner burn_scanner;

constexpr int scan_end = -1;
constexpr int scan_unknown = '?';
constexpr int scan_missing_argument = ':';

void scan_start();
int scan_next(int argc, char* const* arg);

// Option handlers: each sets *status, 0 when the option was taken.
void option_interface(const char* optstr, int32_t* status);
void option_no_action(int32_t* status);
void option_write(int32_t* status);
void option_page_size(int32_t* status);
void option_serial(const char* optstr, int32_t* status);  // optstr null: read the serial
void option_boot(const char* optstr, int32_t* status);
void option_app(const char* optstr, int32_t* status);
void option_pga(const char* optstr, int32_t* status);
void option_verify(int32_t* status);
void print_option_error(int option, int32_t code);

void parse_options(int argc, char* const* arg, int32_t* status);
int check_options(int print);
void check_write_options(char* errstr);
void check_page_size_options(char* errstr);
void check_serial_options(char* errstr);

// Flash layout: the shared map, under the names the operations use.
constexpr uint32_t boot_address = vkm470::flash_map::kBootAddress;
constexpr long boot_area_size = vkm470::flash_map::kBootBytes;
constexpr uint32_t serial_address = vkm470::flash_map::kSerialAddress;
constexpr uint32_t app_address = vkm470::flash_map::kAppAddress;
constexpr long app_area_size = vkm470::flash_map::kAppBytes;
constexpr uint32_t pga_header_address = vkm470::flash_map::kPgaHeaderAddress;
constexpr uint32_t pga_header_size = vkm470::flash_map::kPgaHeaderBytes;
constexpr uint32_t pga_address = vkm470::flash_map::kPgaAddress;
constexpr long pga_area_size = vkm470::flash_map::kPgaBytes;

void write_images(int32_t* status);
void write_image_file(uint32_t address, long area_size, const char* fname_bin, int32_t* status);
void write_pga_image(const char* fname_bin, int32_t* status);
void set_page_size(int32_t* status);
void read_serial(int32_t* status);
void write_serial(int32_t* status);

// The process entry: returns the exit status.
int burn_main(int argc, char* const* arg);
