#!/usr/bin/env bash
# Builds the Debian packages from a finished build, unpacks them into a
# temporary root (nothing on this machine changes) and uses them there as a
# user would: a C program built with pkg-config and a CMake project built with
# find_package(Ostrel) each activate the simulated card through the installed
# driver; quillon and pelkin-sim answer --version; the desktop entry, the
# metainfo and the icon are checked.
# Usage: packaging/check-packages.sh [BUILD_DIR]   (default build/plain)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-build/plain}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
fail() {
  echo "check-packages: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
mkdir -p "$root"
for deb in "$work"/debs/*.deb; do
  echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$root"
  # Every dependency outside our own packages names a Debian package that this
  # machine, which built the programs, has installed.
  dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | while read -r dep; do
    case "$dep" in "" | libostrel1) continue ;; esac
    dpkg-query -W "$dep" >/dev/null 2>&1 || fail "$(basename "$deb") depends on unknown $dep"
  done
done

multiarch=$(gcc -print-multiarch)
libdir=$root/usr/lib/$multiarch
lib=$libdir/libostrel.so.1
[ -f "$lib" ] && [ -f "$libdir/libhollink.so" ] || fail "library or driver missing in $libdir"
readelf -d "$lib" | grep -q 'Library soname: \[libostrel.so.1\]' || fail "SONAME is not libostrel.so.1"
# The packaged (stripped) library exports exactly the names of the export list.
diff <(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRr]$/ {sub(/@.*/, "", $3); print $3}' | sort) \
  <(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$src/lib/ostrel.map" | sort) ||
  fail "the packaged library's exports differ from lib/ostrel.map"

# The programs run against the unpacked library only; it finds the driver
# beside itself. The loader's log shows which driver file was loaded.
export LD_LIBRARY_PATH=$libdir
unset OSTREL_HOLLINK HOLLINK_READER
run_activation() {
  local what=$1 program=$2
  LD_DEBUG=files "$program" >"$work/out" 2>"$work/loader" || {
    grep -v "^ *[0-9]*:" "$work/loader" >&2 || true
    fail "$what: the card activation failed"
  }
  grep -q "file=$libdir/libhollink.so" "$work/loader" || fail "$what: the installed driver was not loaded"
  echo "$what: $(cat "$work/out")"
}

export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
[ "$(pkg-config --modversion ostrel)" = "$(dpkg-deb -f "$work"/debs/libostrel-dev_*.deb Version | cut -d- -f1)" ] ||
  fail "ostrel.pc names another version"
# shellcheck disable=SC2046  # pkg-config's flags are meant to split
cc -std=c11 -Wall -Wextra -Werror -o "$work/activate_pc" "$src/packaging/consumer/activate.c" \
  $(pkg-config --cflags --libs ostrel)
run_activation "pkg-config program" "$work/activate_pc"

cmake -S "$src/packaging/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/cmake.log" 2>&1 || {
  cat "$work/cmake.log"
  fail "the find_package(Ostrel) project does not build"
}
run_activation "find_package program" "$work/consumer/activate"

QT_QPA_PLATFORM=offscreen "$root/usr/bin/quillon" --version | grep -qx "quillon [0-9.]*" ||
  fail "quillon --version"
"$root/usr/bin/pelkin-sim" --version | grep -qx "pelkin-sim [0-9.]*" || fail "pelkin-sim --version"
if [ -x "$root/usr/bin/ostrel" ]; then
  "$root/usr/bin/ostrel" --version >/dev/null || fail "ostrel --version"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
  [ -x "$root/usr/bin/$(basename "$page" .1.gz)" ] || fail "$(basename "$page") has no program"
done

desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop entry"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >"$work/as.log" ||
  { cat "$work/as.log"; fail "metainfo"; }
rsvg-convert -w 48 -h 48 -o "$work/icon.png" "$root"/usr/share/icons/hicolor/scalable/apps/*.svg ||
  fail "the icon does not render"
echo "check-packages: $(ls "$work"/debs/*.deb | wc -l) packages built, unpacked and used"
