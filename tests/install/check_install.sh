#!/usr/bin/env bash
# Installs the build tree into a scratch DESTDIR and checks what lands there.
# Usage: check_install.sh BUILD PREFIX BINDIR LIBDIR INCLUDEDIR DATADIR MANDIR MAN ICONS DAEMON
#                         VERSION CONSUMER_SOURCE
set -uo pipefail
build=$1 prefix=$2 bindir=$3 libdir=$4 includedir=$5 datadir=$6 mandir=$7
have_man=$8 have_icons=$9 have_daemon=${10} version=${11} consumer=${12}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vespero-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
dest=$scratch/root
root=$dest$prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! DESTDIR=$dest cmake --install "$build" >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

programs=(vespero vespero-sim vespero-probe)
[ "$have_daemon" = 1 ] && programs+=(vesperod)

# Programs: present, free of the build tree's search path, answering --version without a display.
for p in "${programs[@]}"; do
  exe=$root/$bindir/$p
  [ -x "$exe" ] || { fail "$bindir/$p missing"; continue; }
  if readelf -d "$exe" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "$p still searches the build tree for libraries"
  fi
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM LD_LIBRARY_PATH="$root/$libdir" \
        "$exe" --version 2>&1) || fail "$p --version exits non-zero: $out"
  [ "$out" = "$p $version" ] || fail "$p --version prints '$out', not '$p $version'"
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM LD_LIBRARY_PATH="$root/$libdir" \
        "$exe" --help 2>&1) || fail "$p --help exits non-zero"
  grep -q -- "--version" <<<"$out" || fail "$p --help does not list --version"
done

# The link library: real file, SONAME link, linker name, SONAME inside.
lib=$root/$libdir/libvesperolink.so
[ -f "$lib.$version" ] && [ ! -L "$lib.$version" ] || fail "libvesperolink.so.$version missing"
[ "$(readlink "$lib.1")" = "libvesperolink.so.$version" ] || fail "libvesperolink.so.1 does not link to .so.$version"
[ "$(readlink "$lib")" = "libvesperolink.so.1" ] || fail "libvesperolink.so does not link to .so.1"
readelf -d "$lib.$version" | grep -q 'SONAME.*\[libvesperolink\.so\.1\]' || fail "SONAME is not libvesperolink.so.1"
[ -f "$root/$includedir/vespero/link/ups_link.h" ] || fail "ups_link.h missing"

# Desktop entry and icons.
desktop=$root/$datadir/applications/vespero.desktop
if [ -f "$desktop" ]; then
  grep -qx 'Name=Vespero Monitor' "$desktop" || fail "desktop entry is not named Vespero Monitor"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop entry does not validate"
  fi
else
  fail "vespero.desktop missing"
fi
[ -f "$root/$datadir/icons/hicolor/scalable/apps/vespero.svg" ] || fail "scalable icon missing"
if [ "$have_icons" = 1 ]; then
  for size in 16 22 24 32 48 64 128 256; do
    png=$root/$datadir/icons/hicolor/${size}x${size}/apps/vespero.png
    [ -f "$png" ] || { fail "${size}x${size} icon missing"; continue; }
    # Width and height are the big-endian words at bytes 16 and 20 of the PNG header.
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
      awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    [ "$w $h" = "$size $size" ] || fail "${size}x${size}/apps/vespero.png is ${w}x${h}"
  done
fi
if [ "$have_man" = 1 ]; then
  for p in "${programs[@]}"; do
    page=$root/$mandir/man1/$p.1.gz
    [ -f "$page" ] || { fail "man page of $p missing"; continue; }
    zcat "$page" | grep -q '^\.TH' || fail "man page of $p is not a man page"
    zcat "$page" | grep -q '^\.SH OPTIONS' || fail "man page of $p lists no options"
  done
fi

# Another module, built with pkg-config's flags alone against the installed tree.
pc_dir=$root/$libdir/pkgconfig
if [ -f "$pc_dir/vesperolink.pc" ]; then
  flags=$(PKG_CONFIG_SYSROOT_DIR=$dest PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags --libs vesperolink) ||
    fail "pkg-config does not know vesperolink"
  [ "$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --modversion vesperolink)" = "$version" ] ||
    fail "vesperolink.pc has the wrong version"
  # shellcheck disable=SC2086
  if c++ -std=c++17 -o "$scratch/consumer" "$consumer" $flags 2>"$scratch/cc.log"; then
    readelf -d "$scratch/consumer" | grep -q 'NEEDED.*\[libvesperolink\.so\.1\]' ||
      fail "the consumer does not need libvesperolink.so.1 by its SONAME"
    LD_LIBRARY_PATH=$root/$libdir "$scratch/consumer" || fail "the consumer fails"
  else
    cat "$scratch/cc.log"
    fail "the consumer does not build with: $flags"
  fi
else
  fail "vesperolink.pc missing"
fi

if [ "$have_daemon" = 1 ]; then
  find "$dest" -name vesperod.service | grep -q . || echo "note: no vesperod.service in the tree yet"
fi

[ "$failures" -eq 0 ] && echo "install tree: all checks passed" && exit 0
exit 1
