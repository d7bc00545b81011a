#!/bin/sh
# Installs the packages with dpkg into a throwaway copy of this machine
# and checks what a terminal gets: an overlay of / whose changes go to a
# tmpfs, in a mount namespace of its own, entered with chroot. The machine's
# own /etc, /var/lib/dpkg, /var/lib/dkms and /lib/modules stay untouched.
#
# Inside: dpkg -i runs the real maintainer scripts (group tarvel-pos, DKMS
# add/build/install), the kernel hook of dkms builds the module for every
# installed kernel as a kernel update would, the installed demo runs under
# the driver simulator with System.loadLibrary and no java.library.path,
# the test kit's JUnit example runs from the installed packages
# (testkit-example.sh), and dpkg -r removes the module from every kernel again.
#
# Usage: chroot-install.sh DEB-FOLDER SIMULATOR.so SCENARIO
# Needs root (mount namespaces, overlayfs) and dkms, a JRE and the kernel
# headers on this machine. Exit status: 0 pass, 1 fail, 77 skipped.
set -eu

debs=$(cd "$1" && pwd)
sim=$(readlink -f "$2")
scenario=$(readlink -f "$3")
version=$(dpkg-deb -f "$debs"/libtarvel-jpos-jni_*.deb Version)

skip() {
	if [ "${CI:-}" = true ]; then
		echo "chroot install test: FAIL: $*" >&2
		exit 1
	fi
	echo "chroot install test: SKIPPED: $*"
	exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root"
for tool in unshare dkms java dpkg; do
	command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
done

if [ "${TRV_IN_NAMESPACE:-}" != 1 ]; then
	exec env TRV_IN_NAMESPACE=1 unshare --mount --propagation private "$0" "$@"
fi

# ---- in a private mount namespace -----------------------------------------
top=$(mktemp -d "${TMPDIR:-/tmp}/chroot-install.XXXXXX")
trap 'cd /; umount -lR "$top" 2>/dev/null || true; rmdir "$top"' EXIT
mount -t tmpfs tmpfs "$top"
mkdir -p "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root" ||
	skip "cannot mount an overlay of /"
root=$top/root
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/tmp/debs" "$root/tmp/demo"
cp "$debs"/*_"$version"_*.deb "$root/tmp/debs/"
cp "$sim" "$root/tmp/libtrvsim.so"
cp "$scenario" "$root/tmp/demo.scenario"

fail() {
	echo "chroot install test: FAIL: $*" >&2
	exit 1
}
in_root() {
	chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
		DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"
}

echo "== dpkg -i (version $version)"
in_root sh -c 'dpkg -i /tmp/debs/*.deb' || fail "dpkg -i failed"

echo "== the group and the files"
in_root getent group tarvel-pos || fail "no group tarvel-pos"
for f in /usr/lib/udev/rules.d/60-tarvel-pos.rules /usr/bin/hdrcfg \
	/usr/share/man/man1/hdrcfg.1.gz "/usr/src/tarvel-msrdrv-$version/dkms.conf"; do
	[ -e "$root$f" ] || fail "$f not installed"
done

echo "== DKMS: the kernel hook builds the module for every installed kernel"
kernels=
for kdir in "$root"/lib/modules/*/build; do
	[ -e "$kdir/include" ] || continue
	kver=$(basename "$(dirname "$kdir")")
	kernels="$kernels $kver"
	in_root /etc/kernel/postinst.d/dkms "$kver" >/dev/null 2>&1 ||
		fail "the dkms kernel hook failed for $kver"
done
in_root dkms status
for kver in $kernels; do
	in_root dkms status -m tarvel-msrdrv -v "$version" -k "$kver" | grep -q ": installed" ||
		fail "msrdrv is not installed for $kver"
	in_root modinfo -k "$kver" -F filename msrdrv | grep -q "/updates/dkms/msrdrv.ko" ||
		fail "modinfo does not find msrdrv.ko for $kver"
done

echo "== the installed demo, with no -Djava.library.path"
cp "$root/usr/share/doc/libtarvel-jpos-jni/examples/trvpos.ini" "$root/tmp/demo/"
out=$(in_root sh -c 'cd /tmp/demo && LD_PRELOAD=/tmp/libtrvsim.so \
	TRVSIM_SCENARIO=/tmp/demo.scenario TRVSIM_LOG=/tmp/demo/trvsim.log \
	java -jar /usr/share/java/tarvel-jpos-demo.jar' 2>&1) || { echo "$out"; fail "the demo failed"; }
echo "$out" | head -n 2
echo "$out" | grep -q "closed; 3 swipe(s) seen" || { echo "$out"; fail "the demo saw no swipes"; }

"$(dirname "$0")/testkit-example.sh" "$root" || fail "the test kit's example failed"

echo "== dpkg -r: the module leaves every kernel"
in_root dpkg -r tarvel-pos-testkit tarvel-jpos-demo tarvel-pos-tools tarvel-msrdrv-dkms libtarvel-jpos-jni ||
	fail "dpkg -r failed"
[ -z "$(in_root dkms status -m tarvel-msrdrv)" ] || fail "dkms still lists tarvel-msrdrv"
for kver in $kernels; do
	! ls "$root/lib/modules/$kver/updates/dkms/msrdrv.ko"* >/dev/null 2>&1 ||
		fail "msrdrv.ko left in /lib/modules/$kver"
done
echo "chroot install test: PASS (kernels:$kernels)"
