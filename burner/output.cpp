// SPDX-License-Identifier: MIT
// vkm470burn's output and assertions.
#include "output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void burn_assert_failed(const char* expression, const char* source, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, source, line);
  std::fflush(stderr);
  std::abort();
}

void burn_print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

void burn_error(const char* format, ...) {
  std::fflush(stdout);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}
