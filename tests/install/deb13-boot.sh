#!/bin/sh
# Boots the newest 7.x kernel of the Debian 13 system and its PREEMPT_RT
# build (picked by version) under qemu with the modules DKMS built for them
# there, and runs every guest check of the kernel test
# (tests/msrdrv/qemu/run-qemu-test.sh). Prints per kernel the pace of the
# key events, the tick rate and the boot time; the designed pace is 2 ticks
# per event (8.0 ms at HZ=250).
#
# Usage: deb13-boot.sh DEB13-DIR KO-DIR WORK
#   KO-DIR  KO-DIR/<kernel>/msrdrv.ko, as deb13-check.sh leaves them
# Exit status: that of the kernel test.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$1" && pwd)/root
ko=$(cd "$2" && pwd)
work=$3
mkdir -p "$(dirname "$work")"

# newest rt|std: the newest 7.x (or later) kernel of that kind with a module.
newest() {
	ls "$root/boot" | sed -n 's/^vmlinuz-//p' | sort -V | while read -r v; do
		case $v in
		[0-6].*) continue ;;
		*-rt-amd64) [ "$1" = rt ] || continue ;;
		*) [ "$1" = std ] || continue ;;
		esac
		[ -r "$ko/$v/msrdrv.ko" ] && echo "$v"
	done | tail -n 1
}
kernels=
for kind in std rt; do
	v=$(newest $kind)
	[ -n "$v" ] || { echo "deb13 boot: FAIL: no 7.x $kind kernel with a DKMS module in $root/boot" >&2; exit 1; }
	kernels="$kernels $v"
done
export MSRDRV_ROOT="$root" MSRDRV_KO_DIR="$ko" MSRDRV_KERNELS="${kernels# }"
status=0
"$here/../msrdrv/qemu/run-qemu-test.sh" "$work" >"$work.log" 2>&1 || status=$?
cat "$work.log"
echo "deb13 boot: designed pace 2 ticks per event; per kernel:"
grep -E '^msrdrv qemu test: [^ ]+: HZ=' "$work.log" | sed 's/^msrdrv qemu test: /  /'
exit $status
