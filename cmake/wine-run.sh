#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a 64-bit Windows program under wine64 in a prefix of its own, made on
# first use, so a fresh machine needs no set-up and the user's prefix is left
# alone. Usage: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
set -e
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wine=$(command -v wine64 || true)
for candidate in /usr/lib/wine/wine64 /usr/bin/wine; do
  if [ -z "$wine" ] && [ -x "$candidate" ]; then wine=$candidate; fi
done
if [ -z "$wine" ]; then
  echo "wine-run.sh: wine64 is not installed" >&2
  exit 127
fi

if [ ! -f "$prefix/system.reg" ]; then
  server=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
  mkdir -p "$(dirname "$prefix")"
  # Tests run in parallel share the prefix: one of them makes it.
  flock "$prefix.lock" sh -c '
    if [ ! -f "$WINEPREFIX/system.reg" ]; then "$1" wineboot --init; "$2" -w; fi
  ' sh "$wine" "$server" >/dev/null 2>&1
fi
exec "$wine" "$@"
