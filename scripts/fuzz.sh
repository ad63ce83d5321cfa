#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each in turn, one process, for
# FUZZ_SECONDS (default 20) on a working copy of its seed corpus and its
# regression inputs. A crash, a hang (an input that runs over 10 s), a leak, a
# sanitizer report or a wrong answer fails the run; the input that did it is
# printed and left in $FUZZ_BUILD/artifacts. Copy it into
# fuzz/<target>/regressions so that it runs with the tests from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD:-build/fuzz}
targets=(command_line dataflash cable_ppdev ring flash_exports usb_module loadfile)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVKM470_SANITIZE=address -DVKM470_FUZZ=ON -DVKM470_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$corpus"
  echo "== fuzz_$target: ${seconds} s"
  if ! "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" \
      "$corpus" "fuzz/$target/seeds" "fuzz/$target/regressions" >"$log" 2>&1; then
    tail -n 40 "$log"
    for input in "$build/artifacts/$target-"*; do
      [ -e "$input" ] || continue
      echo "-- $input"
      od -An -tx1 -v "$input" | head -n 64
    done
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" | tr '\n' ' '
  echo
done
