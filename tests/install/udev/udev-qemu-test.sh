#!/bin/sh
# Tries the udev rules of the library's package with this machine's real
# udev (udevadm and systemd-udevd) in a kernel booted under qemu, without
# hardware: a stand-in module registers misc devices named like the
# keyboard drivers' nodes, and the real msrdrv.ko registers trvposusb_swipe.
#
#  1. systemd-udevd runs with Debian's rules plus the packaged rules file,
#     `udevadm trigger` replays the devices' add events: every qkbd_* and
#     trvposusb_* node must become root:tarvel-pos 0660, trvposusb_swipe
#     root:root 0600 (it is set to 0666 and the group beforehand, so that
#     the rule must take the access away).
#  2. The nodes are set back to root:root 0600 and `udevadm test` is run on
#     each: same result, and its trace names the packaged rules file.
#
# Usage: udev-qemu-test.sh LIBRARY-PACKAGE.deb [work dir]
# Exit status: 0 pass, 1 fail, 77 skipped (something missing; with CI=true a
# missing piece is a failure instead).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../../usb/msrdrv" && pwd)
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/udev-qemu.XXXXXX")}
end_marker=UDEV-QEMU-END
rules=usr/lib/udev/rules.d/60-tarvel-pos.rules
gid=990

missing() {
	if [ "${CI:-}" = true ]; then
		echo "udev qemu test: FAIL: $*" >&2
		exit 1
	fi
	echo "udev qemu test: SKIPPED: $*"
	exit 77
}

fail() {
	echo "udev qemu test: FAIL: $*" >&2
	exit 1
}

for tool in qemu-system-x86_64 cpio gzip make timeout udevadm dpkg-deb; do
	command -v "$tool" >/dev/null 2>&1 || missing "$tool not found"
done
[ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 ||
	missing "no static /bin/busybox (package busybox-static)"

# The newest kernel that has headers and an image.
kver=
for hdr in $(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V); do
	v=${hdr#/usr/src/linux-headers-}
	[ -r "/boot/vmlinuz-$v" ] && kver=$v
done
[ -n "$kver" ] || missing "no kernel with headers and image"
echo "udev qemu test: kernel $kver, udev $(udevadm --version), work folder $work"

mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -rf "$work/kmod" "$work/root" "$work/pkg"
mkdir -p "$work/kmod" "$work/pkg"
dpkg-deb -x "$deb" "$work/pkg"
[ -f "$work/pkg/$rules" ] || fail "the package lacks /$rules"

echo "== building msrdrv.ko and the stand-in nodes module"
cp "$src"/Kbuild "$src"/*.c "$src"/*.h "$here/trvnodes.c" "$work/kmod/"
echo "obj-m += trvnodes.o" >>"$work/kmod/Kbuild"
make -C "/usr/src/linux-headers-$kver" M="$work/kmod" modules >"$work/kbuild.log" 2>&1 ||
	{ cat "$work/kbuild.log"; fail "module build failed"; }

echo "== packing the initramfs"
root=$work/root
mkdir -p "$root/bin" "$root/sbin" "$root/etc" "$root/proc" "$root/sys" "$root/dev" \
	"$root/run" "$root/tmp" "$root/lib/systemd" "$root/usr/lib/udev/rules.d"
cp /bin/busybox "$root/bin/busybox"
cp "$work/kmod/msrdrv.ko" "$work/kmod/trvnodes.ko" "$root/"
# udevadm (systemd-udevd is the same program) with its shared libraries.
udevadm=$(readlink -f "$(command -v udevadm)")
cp "$udevadm" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
for lib in $(ldd "$udevadm" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
	mkdir -p "$root$(dirname "$lib")"
	cp -L "$lib" "$root$lib"
done
# Debian's own rules, so that the packaged file is tried among them.
cp /usr/lib/udev/rules.d/*.rules "$root/usr/lib/udev/rules.d/"
cp "$work/pkg/$rules" "$root/$rules"
echo "root:x:0:0:root:/:/bin/sh" >"$root/etc/passwd"
printf 'root:x:0:\ntarvel-pos:x:%s:\n' "$gid" >"$root/etc/group"

nodes="qkbd_stat qkbd_keyboard qkbd_keylock qkbd_msr1 qkbd_msr2 qkbd_msr3
trvposusb_kbdstat trvposusb_msrstat trvposusb_keyboard trvposusb_keylock
trvposusb_msr1 trvposusb_msr2 trvposusb_msr3 trvposusb_swipe"
cat >"$root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
insmod /msrdrv.ko || echo "UDEV insmod msrdrv failed"
insmod /trvnodes.ko || echo "UDEV insmod trvnodes failed"
show() { for n in $(echo $nodes); do echo "UDEV \$1 \$(stat -c '%n %u %g %a' /dev/\$n)"; done; }
show kernel
chown 0:$gid /dev/trvposusb_swipe && chmod 0666 /dev/trvposusb_swipe
/lib/systemd/systemd-udevd --daemon --resolve-names=early
udevadm trigger --action=add --subsystem-match=misc
udevadm settle --timeout=60 || echo "UDEV settle timed out"
show daemon
udevadm control --exit
for n in $(echo $nodes); do chown 0:0 /dev/\$n; chmod 0600 /dev/\$n; done
for n in $(echo $nodes); do
	udevadm test --action=add /sys/class/misc/\$n >/tmp/test.\$n 2>&1 || echo "UDEV test \$n exit \$?"
	grep -F 60-tarvel-pos.rules /tmp/test.\$n | sed "s/^/UDEVTRACE /"
done
show test
echo $end_marker
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

echo "== booting $kver under qemu (tcg)"
rm -f "$work/serial.log"
start=$(date +%s)
timeout 300 qemu-system-x86_64 -accel tcg -cpu max -m 512 -smp 1 \
	-display none -monitor none -no-reboot -serial "file:$work/serial.log" \
	-kernel "/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
	-append "console=ttyS0 quiet panic=-1" </dev/null || true
echo "== qemu ran $(($(date +%s) - start)) s"
log=$(tr -d '\r' <"$work/serial.log")
echo "$log" | grep -E '^UDEV' || true
echo "$log" | grep -q "$end_marker" || { echo "$log" | tail -40; fail "no end marker"; }

# Every node, after the daemon and after `udevadm test`.
for stage in daemon test; do
	for n in $nodes; do
		case $n in
		trvposusb_swipe) want="/dev/$n 0 0 600" ;;
		*) want="/dev/$n 0 $gid 660" ;;
		esac
		echo "$log" | grep -qx "UDEV $stage $want" ||
			fail "after $stage: want '$want', got '$(echo "$log" | grep "^UDEV $stage /dev/$n " || true)'"
	done
done
# The trace shows which line of the packaged file set what on each node.
trace() {
	echo "$log" | grep -q "^UDEVTRACE $1: /$rules:$2 $3\$" ||
		fail "udevadm test: no '$1: /$rules:$2 $3' in the trace"
}
for n in $nodes; do
	case $n in
	qkbd_*) trace "$n" 8 "GROUP $gid"; trace "$n" 8 "MODE 0660" ;;
	trvposusb_swipe) trace "$n" 10 "GROUP 0"; trace "$n" 10 "MODE 0600" ;;
	*) trace "$n" 9 "GROUP $gid"; trace "$n" 9 "MODE 0660" ;;
	esac
done
if echo "$log" | grep -q "^UDEVTRACE trvposusb_swipe: /$rules:[89] "; then
	fail "udevadm test: a group line matched trvposusb_swipe"
fi
echo "udev qemu test: PASS"
