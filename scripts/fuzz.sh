#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each, one process, for FUZZ_SECONDS
# (default 20) on a working copy of its seed corpus and its regression inputs,
# as many at a time as the machine has processors. A crash, a hang (an input
# that runs over 10 s), a leak, a sanitizer report or a wrong answer fails the
# run; the input that did it is printed and left in $FUZZ_BUILD/artifacts. Copy it into
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
fuzz_one() {
  local target=$1
  mkdir -p "$build/corpus/$target"
  "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "fuzz/$target/seeds" "fuzz/$target/regressions" \
    >"$build/$target.log" 2>&1
}

# Waits for the oldest run still going and says how it went; a failure ends
# the others and the script.
pids=()
names=()
finish_oldest() {
  local target=${names[0]} log="$build/${names[0]}.log" status=0
  wait "${pids[0]}" || status=$?
  pids=("${pids[@]:1}")
  names=("${names[@]:1}")
  echo "== fuzz_$target: ${seconds} s"
  if [ "$status" -ne 0 ]; then
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
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
}

for target in "${targets[@]}"; do
  fuzz_one "$target" &
  pids+=($!)
  names+=("$target")
  [ ${#pids[@]} -lt "$(nproc)" ] || finish_oldest
done
while [ ${#pids[@]} -gt 0 ]; do finish_oldest; done
