#!/usr/bin/env bash
# Builds and runs every test: optimised, under AddressSanitizer and
# UndefinedBehaviorSanitizer, under ThreadSanitizer, the fuzz targets for a
# bounded time, and the Windows builds (32-bit export and import tables; 64-bit
# tests under wine64). The streaming soak test (label soak) runs in the
# optimised build only: the sanitizer test presets leave it out.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_preset() {
  echo "== $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
}

run_preset default
run_preset asan
run_preset tsan
if command -v clang++ >/dev/null; then
  echo "== fuzz"
  bash scripts/fuzz.sh
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
