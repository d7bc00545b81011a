#!/bin/sh
# Builds msrdrv.ko against the installed Debian kernel headers (warnings are
# errors), boots that kernel under qemu (software emulation) with a small
# initramfs, loads evdev and the module, types test swipes through the
# swipe device and checks the key events that arrive on /dev/input/eventN.
#
# Usage: run-qemu-test.sh [work dir]   (default: a new temporary folder)
# Needs: linux-headers-amd64 linux-image-amd64 qemu-system-x86
#        busybox-static cpio, gcc and make.
# Exit status: 0 pass, 1 fail, 77 skipped (something missing; with CI=true a
# missing piece is a failure instead).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../../usb/msrdrv" && pwd)
work=${1:-$(mktemp -d "${TMPDIR:-/tmp}/msrdrv-qemu.XXXXXX")}
end_marker=MSRDRV-QEMU-END

missing() {
	if [ "${CI:-}" = true ]; then
		echo "msrdrv qemu test: FAIL: $*" >&2
		exit 1
	fi
	echo "msrdrv qemu test: SKIPPED: $*"
	echo "  install with: apt-get install --no-install-recommends" \
		"linux-headers-amd64 linux-image-amd64 qemu-system-x86 busybox-static cpio"
	exit 77
}

fail() {
	echo "msrdrv qemu test: FAIL: $*" >&2
	exit 1
}

for tool in qemu-system-x86_64 cpio gzip gcc make timeout; do
	command -v "$tool" >/dev/null 2>&1 || missing "$tool not found"
done
[ -x /bin/busybox ] || missing "/bin/busybox not found (package busybox-static)"
if ldd /bin/busybox >/dev/null 2>&1; then
	missing "/bin/busybox is not statically linked (package busybox-static)"
fi

# The newest kernel that has headers, an image and its evdev module.
kver=
for hdr in $(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V); do
	v=${hdr#/usr/src/linux-headers-}
	if [ -r "/boot/vmlinuz-$v" ] && ls /lib/modules/"$v"/kernel/drivers/input/evdev.ko* >/dev/null 2>&1; then
		kver=$v
	fi
done
[ -n "$kver" ] || missing "no kernel with headers, image and modules" \
	"(packages linux-headers-amd64 linux-image-amd64)"
hdr=/usr/src/linux-headers-$kver
echo "msrdrv qemu test: kernel $kver, work folder $work"

mkdir -p "$work"
rm -rf "$work/kmod" "$work/root"
mkdir -p "$work/kmod"
cp "$src"/Kbuild "$src"/*.c "$src"/*.h "$work/kmod/"

echo "== building msrdrv.ko against $hdr"
if ! make -C "$hdr" M="$work/kmod" KCFLAGS=-Werror modules >"$work/kbuild.log" 2>&1; then
	cat "$work/kbuild.log"
	fail "module build failed"
fi
if grep -i 'warning' "$work/kbuild.log"; then
	fail "module build reported warnings"
fi

echo "== building the static test program"
gcc -static -O2 -Wall -Wextra -Werror -o "$work/swipetest" "$here/swipetest.c" ||
	fail "test program build failed"

echo "== packing the initramfs"
root=$work/root
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" \
	"$root/proc" "$root/sys" "$root/dev"
cp /bin/busybox "$root/bin/busybox"
cp "$work/kmod/msrdrv.ko" "$work/swipetest" "$root/"
evdev=$(ls /lib/modules/"$kver"/kernel/drivers/input/evdev.ko* | head -n 1)
case $evdev in
*.xz) xz -dc "$evdev" >"$root/evdev.ko" ;;
*.zst) zstd -dcq "$evdev" >"$root/evdev.ko" ;;
*.gz) gzip -dc "$evdev" >"$root/evdev.ko" ;;
*) cp "$evdev" "$root/evdev.ko" ;;
esac
cat >"$root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /evdev.ko
insmod /msrdrv.ko || echo "MSRDRV insmod failed"
/swipetest
echo "MSRDRV swipetest exit \$?"
rmmod msrdrv && echo "MSRDRV unloaded"
echo $end_marker
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

echo "== booting $kver under qemu (tcg)"
rm -f "$work/serial.log"
start=$(date +%s)
timeout 300 qemu-system-x86_64 -accel tcg -cpu max -m 256 -smp 1 \
	-display none -monitor none -no-reboot -serial "file:$work/serial.log" \
	-kernel "/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
	-append "console=ttyS0 quiet panic=-1" </dev/null || true
echo "== qemu ran $(($(date +%s) - start)) s; serial output:"
tr -d '\r' <"$work/serial.log" | grep -E 'swipetest|SWIPETEST|MSRDRV|BUG|WARNING|Oops|panic' || true

log=$(tr -d '\r' <"$work/serial.log")
echo "$log" | grep -q "$end_marker" || fail "no end marker: the test kernel did not finish"
echo "$log" | grep -qE 'BUG|Oops|WARNING: CPU' && fail "the kernel reported a problem"
echo "$log" | grep -q 'SWIPETEST PASS' || fail "the key events differ from the expected ones"
echo "$log" | grep -q 'MSRDRV unloaded' || fail "the module did not unload"
hz=$(sed -n 's/^CONFIG_HZ=//p' "/boot/config-$kver" 2>/dev/null || true)
if [ -n "$hz" ]; then
	echo "msrdrv qemu test: the kernel ticks at HZ=$hz: 2 jiffies = $((2000 / hz)) ms" \
		"(the timer wheel may add a tick; emulation adds jitter)"
fi
echo "msrdrv qemu test: PASS"
