#!/usr/bin/env bash
# Builds the tools and shows the burner at work.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
burn=build/default/bin/vkm470burn

echo "\$ vkm470burn -i usb -r"
"$burn" -i usb -r 2>&1 && status=0 || status=$?
echo "(exit status $status)"
echo "\$ vkm470burn -i USB -r"
"$burn" -i USB -r 2>&1 && status=0 || status=$?
echo "(exit status $status)"
