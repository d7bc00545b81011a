#!/bin/sh
# Boots Debian's kernels under qemu (software emulation), one after the
# other, each with a small initramfs that loads evdev and msrdrv.ko, types
# test swipes through the swipe device, checks the key events that arrive
# on /dev/input/eventN, unloads the module while a swipe is typing, and
# dumps the kernel log, which must hold nothing at warning level or above
# from the moment the module loads.
#
# Kernels: by default the newest 6.1, 6.12 and 6.12 PREEMPT_RT (-rt-amd64)
# found under /boot; MSRDRV_KERNELS="<version> ..." names them instead.
# MSRDRV_ROOT=<folder> takes the kernel images, configs and modules from the
# system installed there (its boot/ and lib/modules/) instead of this one;
# it needs MSRDRV_KO_DIR, since that system's headers do not build here.
# Module: built against each kernel's headers with warnings as errors, or,
# with MSRDRV_KO_DIR set, taken prebuilt from $MSRDRV_KO_DIR/<version>/msrdrv.ko
# (a named kernel without one fails the test).
#
# Usage: run-qemu-test.sh [work dir]   (default: a new temporary folder)
# Needs: qemu-system-x86 busybox-static cpio gcc make, and per kernel
#        linux-image-<version> and (unless prebuilt) linux-headers-<version>.
# Exit status: 0 pass, 1 fail, 77 skipped (nothing to boot; with CI=true a
# missing kernel or tool is a failure instead).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../../usb/msrdrv" && pwd)
work=${1:-$(mktemp -d "${TMPDIR:-/tmp}/msrdrv-qemu.XXXXXX")}
ko_dir=${MSRDRV_KO_DIR:-}
kroot=${MSRDRV_ROOT:-}
kroot=${kroot%/}
if [ -n "$kroot" ] && [ -z "$ko_dir" ]; then
	echo "msrdrv qemu test: FAIL: MSRDRV_ROOT=$kroot needs MSRDRV_KO_DIR (prebuilt modules)" >&2
	exit 1
fi
end_marker=MSRDRV-QEMU-END
packages="qemu-system-x86 busybox-static cpio linux-image-6.12-amd64 linux-headers-6.12-amd64"
packages="$packages linux-image-6.12-rt-amd64 linux-headers-6.12-rt-amd64 linux-image-amd64 linux-headers-amd64"
# Debug checks the Debian kernels can switch on from the command line (they
# are built without lockdep and without CONFIG_DEBUG_ATOMIC_SLEEP).
debug_args="slub_debug=FZPU page_poison=1"

missing() {
	if [ "${CI:-}" = true ]; then
		echo "msrdrv qemu test: FAIL: $*" >&2
		exit 1
	fi
	echo "msrdrv qemu test: SKIPPED: $*"
	echo "  install with: apt-get install --no-install-recommends $packages"
	exit 77
}

for tool in qemu-system-x86_64 cpio gzip gcc make timeout; do
	command -v "$tool" >/dev/null 2>&1 || missing "$tool not found"
done
[ -x /bin/busybox ] || missing "/bin/busybox not found (package busybox-static)"
if ldd /bin/busybox >/dev/null 2>&1; then
	missing "/bin/busybox is not statically linked (package busybox-static)"
fi

# usable VERSION: the kernel image, its evdev module and its headers (or
# the prebuilt module) are there.
usable() {
	[ -r "$kroot/boot/vmlinuz-$1" ] || return 1
	ls "$kroot/lib/modules/$1"/kernel/drivers/input/evdev.ko* >/dev/null 2>&1 || return 1
	if [ -n "$ko_dir" ]; then
		[ -r "$ko_dir/$1/msrdrv.ko" ]
	else
		[ -d "/lib/modules/$1/build" ]
	fi
}

# pick GLOB rt|std: the newest usable kernel whose version matches GLOB.
pick() {
	best=
	for img in $(ls "$kroot"/boot/vmlinuz-$1 2>/dev/null | sort -V); do
		v=${img#"$kroot"/boot/vmlinuz-}
		case $v in
		*-rt-amd64) [ "$2" = rt ] || continue ;;
		*) [ "$2" = std ] || continue ;;
		esac
		if usable "$v"; then best=$v; fi
	done
	echo "$best"
}

if [ -n "${MSRDRV_KERNELS:-}" ]; then
	kernels=$MSRDRV_KERNELS
	for v in $kernels; do
		if [ -n "$ko_dir" ] && [ ! -r "$ko_dir/$v/msrdrv.ko" ]; then
			echo "msrdrv qemu test: FAIL: no prebuilt $ko_dir/$v/msrdrv.ko" >&2
			exit 1
		fi
		usable "$v" || missing "kernel $v lacks its image, evdev module or headers"
	done
else
	kernels=
	for want in "6.1.* std 6.1" "6.12.* std 6.12" "6.12.* rt 6.12-rt"; do
		set -- $want
		v=$(pick "$1" "$2")
		if [ -n "$v" ]; then
			kernels="$kernels $v"
		elif [ "${CI:-}" = true ]; then
			missing "no usable $3 kernel under $kroot/boot"
		else
			echo "msrdrv qemu test: no usable $3 kernel under $kroot/boot${ko_dir:+ with a module in $ko_dir}: not booted"
		fi
	done
	if [ -z "$kernels" ] && [ -n "$ko_dir" ]; then
		echo "msrdrv qemu test: FAIL: no kernel under $kroot/boot has a module in $ko_dir" >&2
		exit 1
	fi
	[ -n "$kernels" ] || missing "no kernel with image, evdev module and headers"
fi
echo "msrdrv qemu test: kernels$(printf ' %s' $kernels)${kroot:+ of $kroot}, work folder $work"

mkdir -p "$work"
gcc -static -O2 -Wall -Wextra -Werror -o "$work/swipetest" "$here/swipetest.c" || {
	echo "msrdrv qemu test: FAIL: test program build failed" >&2
	exit 1
}

# unpack FILE DEST: a module file, compressed or not.
unpack() {
	case $1 in
	*.xz) xz -dc "$1" >"$2" 2>/dev/null || /bin/busybox unxz -c "$1" >"$2" ;;
	*.zst) zstd -dcq "$1" >"$2" ;;
	*.gz) gzip -dc "$1" >"$2" ;;
	*) cp "$1" "$2" ;;
	esac
}

# run_kernel VERSION: build (or take) the module, boot, check; prints one
# summary line.  Returns non-zero when the kernel failed the test.
run_kernel() {
	kver=$1
	kw=$work/$kver
	rm -rf "$kw"
	mkdir -p "$kw/kmod" "$kw/root"
	if [ -n "$ko_dir" ]; then
		echo "== $kver: prebuilt $ko_dir/$kver/msrdrv.ko"
		cp "$ko_dir/$kver/msrdrv.ko" "$kw/kmod/msrdrv.ko"
	else
		echo "== $kver: building msrdrv.ko against /lib/modules/$kver/build"
		cp "$src"/Kbuild "$src"/*.c "$src"/*.h "$kw/kmod/"
		# The copy is out of the source tree: give it the project version.
		sed -n 's/^project.tarvel_pos VERSION \([0-9][0-9.]*\).*/\1/p' \
			"$src/../../CMakeLists.txt" >"$kw/kmod/VERSION"
		if ! make -C "/lib/modules/$kver/build" M="$kw/kmod" KCFLAGS=-Werror modules \
			>"$kw/kbuild.log" 2>&1; then
			cat "$kw/kbuild.log"
			echo "msrdrv qemu test: $kver: FAIL: module build failed"
			return 1
		fi
		if grep -i 'warning' "$kw/kbuild.log" | grep -v 'Skipping BTF'; then
			echo "msrdrv qemu test: $kver: FAIL: module build reported warnings"
			return 1
		fi
	fi

	root=$kw/root
	mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" \
		"$root/proc" "$root/sys" "$root/dev"
	cp /bin/busybox "$root/bin/busybox"
	cp "$kw/kmod/msrdrv.ko" "$work/swipetest" "$root/"
	unpack "$(ls "$kroot/lib/modules/$kver"/kernel/drivers/input/evdev.ko* | head -n 1)" "$root/evdev.ko"
	cat >"$root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /evdev.ko
echo "<6>msrdrv-test: loading msrdrv" >/dev/kmsg
insmod /msrdrv.ko || echo "MSRDRV insmod failed"
/swipetest
echo "MSRDRV swipetest exit \$?"
[ -d /sys/module/msrdrv ] || echo "MSRDRV unloaded"
echo MSRDRV-DMESG-BEGIN
dmesg -r
echo MSRDRV-DMESG-END
echo $end_marker
poweroff -f
INIT
	chmod +x "$root/init"
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$kw/initrd.gz"

	echo "== $kver: booting under qemu (tcg)"
	start=$(date +%s.%N)
	timeout 150 qemu-system-x86_64 -accel tcg -cpu max -m 384 -smp 2 \
		-display none -monitor none -no-reboot -serial "file:$kw/serial.log" \
		-kernel "$kroot/boot/vmlinuz-$kver" -initrd "$kw/initrd.gz" \
		-append "console=ttyS0 loglevel=5 panic=-1 $debug_args" </dev/null || true
	boot=$(awk "BEGIN { print $(date +%s.%N) - $start }")
	tr -d '\r' <"$kw/serial.log" >"$kw/console.log"
	grep -E 'swipetest|SWIPETEST|MSRDRV' "$kw/console.log" | grep -v DMESG || true

	# The kernel log from the module's load on: level = priority & 7.
	sed -n '/^MSRDRV-DMESG-BEGIN/,/^MSRDRV-DMESG-END/p' "$kw/console.log" |
		grep -E '^<[0-9]+>' >"$kw/dmesg.log" || true
	total=$(wc -l <"$kw/dmesg.log")
	sed -n '/msrdrv-test: loading msrdrv/,$p' "$kw/dmesg.log" >"$kw/dmesg-test.log"
	checked=$(wc -l <"$kw/dmesg-test.log")
	awk -F'[<>]' '$2 % 8 <= 4' "$kw/dmesg-test.log" |
		grep -v 'msrdrv: loading out-of-tree module taints kernel\.$' >"$kw/warnings.log" || true
	boot_warn=$(awk -F'[<>]' '$2 % 8 <= 4' "$kw/dmesg.log" | wc -l)

	hz=$(sed -n 's/^CONFIG_HZ=//p' "$kroot/boot/config-$kver" 2>/dev/null || echo '?')
	spacing=$(sed -n 's/^swipetest: event spacing over \([0-9]*\) intervals: min \([0-9.]*\) ms, median \([0-9.]*\) ms, mean [0-9.]* ms, max \([0-9.]*\) ms$/median \3 ms, min \2 ms, max \4 ms over \1 intervals/p' "$kw/console.log")
	rmmod_ms=$(sed -n 's/^swipetest: rmmod while typing took \([0-9.]*\) ms.*/\1/p' "$kw/console.log")
	printf 'msrdrv qemu test: %s: HZ=%s, key event spacing %s; rmmod while typing %s ms; boot %.1f s; kernel log %s lines, %s from the module load on checked (%s at warning or above in the whole log)\n' \
		"$kver" "$hz" "${spacing:-not measured}" "${rmmod_ms:-?}" "$boot" "$total" "$checked" "$boot_warn"

	log=$kw/console.log
	if grep -qE 'BUG:|Oops|WARNING: CPU|Kernel panic' "$log"; then
		grep -E -A3 'BUG:|Oops|WARNING: CPU|Kernel panic' "$log"
		echo "msrdrv qemu test: $kver: FAIL: the kernel reported a problem"
		return 1
	fi
	grep -q "$end_marker" "$log" || { echo "msrdrv qemu test: $kver: FAIL: the test kernel did not finish"; return 1; }
	[ "$checked" -gt 0 ] || { echo "msrdrv qemu test: $kver: FAIL: no kernel log from the module load on"; return 1; }
	if [ -s "$kw/warnings.log" ]; then
		cat "$kw/warnings.log"
		echo "msrdrv qemu test: $kver: FAIL: the kernel log has warnings since the module loaded"
		return 1
	fi
	grep -q 'SWIPETEST PASS' "$log" || { echo "msrdrv qemu test: $kver: FAIL: the typed keys differ from the expected ones"; return 1; }
	grep -q 'MSRDRV unloaded' "$log" || { echo "msrdrv qemu test: $kver: FAIL: the module did not unload"; return 1; }
	echo "msrdrv qemu test: $kver: PASS"
}

failed=
all_start=$(date +%s)
for kver in $kernels; do
	run_kernel "$kver" || failed="$failed $kver"
done
echo "msrdrv qemu test: $(echo $kernels | wc -w) kernels in $(($(date +%s) - all_start)) s"
if [ -n "$failed" ]; then
	echo "msrdrv qemu test: FAIL:$failed" >&2
	exit 1
fi
echo "msrdrv qemu test: PASS"
