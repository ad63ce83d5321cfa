// SPDX-License-Identifier: MIT
// vkm470burn's output: what it prints, and its assertions. Calls nothing of the
// burner's own.
#pragma once

// Output: every line is flushed at once so progress shows as it happens and the
// order of standard output and standard error is the order of the calls.
[[gnu::format(printf, 1, 2)]] void burn_print(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void burn_error(const char* format, ...);

// Assertions name the expression and the source (main, options, operations);
// each source defines burn_source.
[[noreturn]] void burn_assert_failed(const char* expression, const char* source, int line);
#define BURN_ASSERT(expression) \
  ((expression) ? (void)0 : burn_assert_failed(#expression, burn_source, __LINE__))
