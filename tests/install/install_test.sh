#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed tree, as the library's users and the Debian packages see it.
#
#   install_test.sh tree      installs the build into a fresh prefix, checks
#                             that exactly the shipped files are there, builds
#                             the example against it with find_package and with
#                             pkg-config, and runs both and the installed tools
#                             against a virtual module
#   install_test.sh package   packs the build with cpack and checks the four
#                             packages' files and fields, and lintian's verdict
#
# The environment names the build (CMAKE, CPACK, BUILD, LIBDIR, INCLUDEDIR,
# BINDIR, MANDIR, DATADIR, PYTHONDIR, CONFIG, VERSION, DEBIAN_VERSION) and for
# "tree" the consumer project, the example, CC, CFLAGS, LDFLAGS and GENERATOR
# to build it with, and PYTHON to import the installed Python package with
# (none: not tried).
set -euo pipefail

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The Python package's files, relative to the prefix.
python_files() {
  local file
  for file in __init__ _installed convert errors flashmap gate module names raw status stream; do
    echo "$PYTHONDIR/vkm470/$file.py"
  done
}

# The files and links of an installed tree, relative to its prefix.
shipped() {
  local cmakedir=$LIBDIR/cmake/vkm470fapi
  python_files
  printf '%s\n' \
    "$BINDIR/vkm470" \
    "$BINDIR/vkm470burn" \
    "$BINDIR/vkm470sim" \
    "$INCLUDEDIR/vkm470fapi.h" \
    "$LIBDIR/libvkm470fapi.so" \
    "$LIBDIR/libvkm470fapi.so.1" \
    "$LIBDIR/libvkm470fapi.so.$VERSION" \
    "$cmakedir/vkm470fapiConfig.cmake" \
    "$cmakedir/vkm470fapiConfigVersion.cmake" \
    "$cmakedir/vkm470fapiTargets.cmake" \
    "$cmakedir/vkm470fapiTargets-${CONFIG:-noconfig}.cmake" \
    "$LIBDIR/pkgconfig/vkm470fapi.pc" \
    "$MANDIR/man1/vkm470.1.gz" \
    "$MANDIR/man1/vkm470burn.1.gz" \
    "$MANDIR/man1/vkm470sim.1.gz" \
    "$MANDIR/man3/vkm470fapi.3.gz" \
    "$DATADIR/vkm470/70-vkm470.rules"
}

expect_same() {  # what, expected file, actual file
  diff -u "$2" "$3" >&2 || fail "$1 differ from the shipped files (- expected, + found)"
}

# Runs a program and checks that its output has the given text.
expect_output() {  # text, command...
  local text=$1 out
  shift
  out=$("$@") || fail "$* exited with $?: $out"
  grep -qF -- "$text" <<<"$out" || fail "$* printed '$out', not '$text'"
}

tree() {
  local prefix=$work/prefix
  "$CMAKE" --install "$BUILD" --prefix "$prefix" >/dev/null
  shipped | sort >"$work/expected"
  (cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$work/found"
  expect_same "installed files" "$work/expected" "$work/found"

  # The CMake package: the imported target carries the header and the library.
  "$CMAKE" -S "$CONSUMER" -B "$work/consumer" -G "$GENERATOR" -DSOURCE="$EXAMPLE" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" ||
    { cat "$work/consumer.log" >&2; fail "the consumer project does not configure"; }
  "$CMAKE" --build "$work/consumer" >>"$work/consumer.log" ||
    { cat "$work/consumer.log" >&2; fail "the consumer project does not build"; }

  # The pkg-config file, and only it.
  export PKG_CONFIG_LIBDIR=$prefix/$LIBDIR/pkgconfig
  [ "$(pkg-config --modversion vkm470fapi)" = "$VERSION" ] || fail "pkg-config's version is not $VERSION"
  # shellcheck disable=SC2046,SC2086 # the flags are lists of words
  "$CC" $CFLAGS -std=c11 -Wpedantic "$EXAMPLE" $(pkg-config --cflags --libs vkm470fapi) $LDFLAGS \
    -o "$work/pkg-config-consumer" || fail "the example does not build with pkg-config's flags"

  # A virtual module under a device directory of the test's own.
  export VKM470_DEVICES=$work/devices
  "$prefix/$BINDIR/vkm470sim" create "$work/module.img" >/dev/null
  "$prefix/$BINDIR/vkm470sim" attach "$work/module.img" >/dev/null

  # The CMake-built program finds the library through its run path; the other
  # one as any program does under a prefix off the system's library path.
  expect_output "4 MiB looped back and checked" "$work/consumer/consumer" 4
  expect_output "4 MiB looped back and checked" \
    env LD_LIBRARY_PATH="$prefix/$LIBDIR" "$work/pkg-config-consumer" 4
  # The installed burner finds the library installed beside it.
  expect_output "Writing serial.OK" "$prefix/$BINDIR/vkm470burn" -i USB -n INSTALLED
  expect_output "Serial Number: INSTALLED" "$prefix/$BINDIR/vkm470burn" -i USB -n
  expect_output "serial:      INSTALLED" "$prefix/$BINDIR/vkm470" info
  # The installed Python package finds the library and the header installed
  # beside it, with nothing in the environment but where it lies.
  if [ -n "${PYTHON:-}" ]; then
    expect_output "INSTALLED; device could not be opened" \
      env -u VKM470_LIBRARY PYTHONPATH="$prefix/$PYTHONDIR" PYTHONDONTWRITEBYTECODE=1 "$PYTHON" -c \
      'import vkm470; print(vkm470.open("usb:0").serial, vkm470.status_text(-1002), sep="; ")'
  fi
}

# The package each shipped file goes into (its path relative to the prefix).
package_of() {
  case $1 in
    "$PYTHONDIR"/*) echo python3-vkm470 ;;
    "$BINDIR"/* | "$MANDIR"/man1/* | "$DATADIR"/vkm470/*) echo vkm470-tools ;;
    "$LIBDIR"/libvkm470fapi.so.*) echo libvkm470fapi1 ;;
    *) echo libvkm470fapi-dev ;;
  esac
}

package() {
  "$CPACK" --config "$BUILD/CPackConfig.cmake" -B "$work" >"$work/cpack.log" ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
  local arch name deb file
  arch=$(dpkg --print-architecture)
  declare -A debs=(
    [libvkm470fapi1]=libvkm470fapi1_${DEBIAN_VERSION}_$arch.deb
    [libvkm470fapi-dev]=libvkm470fapi-dev_${DEBIAN_VERSION}_$arch.deb
    [vkm470-tools]=vkm470-tools_${DEBIAN_VERSION}_$arch.deb
    [python3-vkm470]=python3-vkm470_${DEBIAN_VERSION}_all.deb)
  [ "$(cd "$work" && ls -- *.deb)" = "$(printf '%s\n' "${debs[@]}" | sort)" ] ||
    fail "cpack made other packages: $(cd "$work" && ls -- *.deb)"

  # Every shipped file in exactly one package, under /usr (the Python package
  # where Debian's Python looks for it), and each package's copyright file and
  # changelog.
  for name in "${!debs[@]}"; do
    printf '%s\n' "$DATADIR/doc/$name/copyright" "$DATADIR/doc/$name/changelog.Debian.gz"
  done >"$work/docs"
  for name in "${!debs[@]}"; do
    deb=$work/${debs[$name]}
    { shipped; cat "$work/docs"; } | while read -r file; do
      case $file in "$DATADIR"/doc/*) [[ $file == */doc/$name/* ]] && echo "$file"; continue ;; esac
      [ "$(package_of "$file")" = "$name" ] && echo "$file"
    done | sed "s|^$PYTHONDIR/|lib/python3/dist-packages/|; s|^|./usr/|" | sort >"$work/expected"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/found"
    expect_same "files of $name" "$work/expected" "$work/found"
    [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "$deb is not named $name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$DEBIAN_VERSION" ] || fail "$name's version"
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/doc/$name/changelog.Debian.gz" |
      gzip -dc | head -n 1 | grep -qF "$name ($DEBIAN_VERSION) " || fail "$name's changelog"
  done

  # What each package needs: the library its system libraries, the others the
  # library (the development files exactly this build of it).
  depends() {  # package, expected dependency names...
    local have
    have=$(dpkg-deb -f "$work/${debs[$1]}" Depends)
    shift
    for needed in "$@"; do
      tr ',' '\n' <<<"$have" | awk '{ print $1 }' | grep -qxF "$needed" ||
        fail "Depends '$have' lacks $needed"
    done
  }
  depends libvkm470fapi1 libc6 libstdc++6 libusb-1.0-0
  depends vkm470-tools libvkm470fapi1 libc6 libstdc++6
  [ "$(dpkg-deb -f "$work/${debs[libvkm470fapi-dev]}" Depends)" = "libvkm470fapi1 (= $DEBIAN_VERSION)" ] ||
    fail "libvkm470fapi-dev Depends: $(dpkg-deb -f "$work/${debs[libvkm470fapi-dev]}" Depends)"
  [ "$(dpkg-deb -f "$work/${debs[python3-vkm470]}" Depends)" = "python3, python3-numpy, libvkm470fapi1 (>= $VERSION)" ] ||
    fail "python3-vkm470 Depends: $(dpkg-deb -f "$work/${debs[python3-vkm470]}" Depends)"

  # The shared library is named to dpkg, and ldconfig runs when it comes and goes.
  dpkg-deb -e "$work/${debs[libvkm470fapi1]}" "$work/control"
  grep -qx "libvkm470fapi 1 libvkm470fapi1 (>= $DEBIAN_VERSION)" "$work/control/shlibs" ||
    fail "shlibs: $(cat "$work/control/shlibs" 2>&1)"
  grep -qx "activate-noawait ldconfig" "$work/control/triggers" || fail "no ldconfig trigger"

  # Debian's own checks, where lintian is installed: no errors.
  if command -v lintian >/dev/null; then
    (cd "$work" && lintian --fail-on error "${debs[@]}") >"$work/lintian.log" 2>&1 ||
      { cat "$work/lintian.log" >&2; fail "lintian found errors"; }
  fi
}

case ${1:-} in
  tree) tree ;;
  package) package ;;
  *) fail "usage: install_test.sh tree|package" ;;
esac
