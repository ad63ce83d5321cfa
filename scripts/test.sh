#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test: optimised, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, the
# fuzz targets for a bounded time (FUZZ_SECONDS each, here 10 by default: every
# build replays their seeds and regressions as tests), and the Windows builds
# (32-bit: the library and the burner, their export and import tables; 64-bit
# tests under wine64). The streaming soak test (label soak) and the Debian
# packages' test run in the optimised build only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# Each step says how long its build and its tests took.
run_preset() {
  echo "== $1"
  local start=$SECONDS
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  local built=$SECONDS
  # The suites wait more than they compute (the virtual modules keep real time,
  # the parallel-port path sleeps for each page): two tests to a processor.
  ctest --preset "$1" -j "$((jobs * 2))"
  echo "== $1: built in $((built - start)) s, tested in $((SECONDS - built)) s"
}

run_preset default
run_preset asan
run_preset tsan
if command -v clang++ >/dev/null; then
  echo "== fuzz"
  start=$SECONDS
  FUZZ_SECONDS=${FUZZ_SECONDS:-10} bash scripts/fuzz.sh
  echo "== fuzz: $((SECONDS - start)) s"
else
  echo "== fuzz skipped: clang is not installed" >&2
fi
if command -v i686-w64-mingw32-g++-posix >/dev/null; then
  run_preset mingw-i686
else
  echo "== mingw-i686 skipped: g++-mingw-w64-i686 is not installed" >&2
fi
if command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
   { command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ]; }; then
  run_preset mingw-x86_64
else
  echo "== mingw-x86_64 skipped: g++-mingw-w64-x86-64 or wine64 is not installed" >&2
fi
