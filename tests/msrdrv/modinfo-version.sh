#!/bin/sh
# Builds msrdrv.ko against one installed kernel's headers in the two ways
# the module is built outside CMake, and checks that `modinfo -F version`
# gives the project version each time:
#   - sources with the VERSION file beside them (the CMake build's module
#     and the DKMS package);
#   - sources in the project tree, where Kbuild reads the top CMakeLists.txt.
#
# Usage: modinfo-version.sh SRC VERSION_FILE WANT WORK
# Exit status: 0 pass, 1 fail, 77 skipped (no kernel headers or modinfo;
# with CI=true that is a failure).
set -eu

src=$1
version_file=$2
want=$3
work=$4

skip() {
	if [ "${CI:-}" = true ]; then
		echo "msrdrv modinfo: FAIL: $*" >&2
		exit 1
	fi
	echo "msrdrv modinfo: SKIPPED: $*"
	exit 77
}

modinfo=$(command -v modinfo || echo /sbin/modinfo)
[ -x "$modinfo" ] || skip "modinfo not found (package kmod)"
kdir=/lib/modules/$(uname -r)/build
if [ ! -e "$kdir/include" ]; then
	kdir=
	for d in /lib/modules/*/build; do
		[ -e "$d/include" ] && kdir=$d
	done
fi
[ -n "$kdir" ] || skip "no kernel headers under /lib/modules/*/build"

rm -rf "$work"
status=0
# check LABEL DIR: build in DIR, compare the module's version.
check() {
	if ! make -C "$kdir" M="$2" modules >"$2.log" 2>&1; then
		cat "$2.log"
		echo "msrdrv modinfo: $1: FAIL: module build failed"
		status=1
		return
	fi
	got=$("$modinfo" -F version "$2/msrdrv.ko")
	if [ "$got" = "$want" ]; then
		echo "msrdrv modinfo: $1: version $got"
	else
		echo "msrdrv modinfo: $1: FAIL: version '$got', want '$want'"
		status=1
	fi
}

mkdir -p "$work/packaged" "$work/tree/usb/msrdrv"
cp "$src"/Kbuild "$src"/*.c "$src"/*.h "$version_file" "$work/packaged/"
check "sources with VERSION ($kdir)" "$work/packaged"
cp "$src"/Kbuild "$src"/*.c "$src"/*.h "$work/tree/usb/msrdrv/"
cp "$src/../../CMakeLists.txt" "$work/tree/"
check "sources in the project tree ($kdir)" "$work/tree/usb/msrdrv"
exit $status
