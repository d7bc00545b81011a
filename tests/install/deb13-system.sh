#!/bin/sh
# Makes a minimal Debian 13 system in DIR/root with debootstrap, from the
# Debian archive that this machine's own apt sources name, with trixie's
# updates, security and backports: dkms and udev, the Java runtimes 21 (the
# release's default) and 25, cmake (for ctest), kernel 6.12 of the release
# and the newest 7.x of its backports with its PREEMPT_RT build, each with
# its headers. Nothing of this machine changes: the system's mounts live in
# a private mount namespace and vanish with it.
#
# DIR/ready marks a finished system, which later runs of the same script
# reuse as it is; it holds the kernel versions installed. DIR/system.log has apt's output.
#
# Usage: deb13-system.sh DIR
# Needs root, debootstrap and unshare. Exit status: 0 ready, 1 failed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/deb13-lib.sh"

mkdir -p "$1"
dir=$(cd "$1" && pwd)
root=$dir/root
# A system made by another version of this script is made anew.
recipe=$(sha256sum <"$0" | cut -d' ' -f1)
if [ -e "$dir/ready" ] && [ "$(cat "$dir/recipe" 2>/dev/null)" = "$recipe" ]; then
	deb13_log "deb13 system: reusing $root (kernels: $(cat "$dir/ready"))"
	exit 0
fi
rm -f "$dir/ready"
[ "$(id -u)" = 0 ] || { echo "deb13 system: needs root" >&2; exit 1; }
for tool in debootstrap unshare chroot; do
	command -v "$tool" >/dev/null 2>&1 || { echo "deb13 system: $tool not found" >&2; exit 1; }
done
deb13_private_namespace "$0" "$@"

# ---- in a private mount namespace -----------------------------------------
deb13_mirrors
start=$(date +%s)
step=$start
lap() {
	now=$(date +%s)
	deb13_log "deb13 system: $1 ($((now - step)) s)"
	step=$now
}
log=$dir/system.log
: >"$log"

rm -rf "$root"
if ! debootstrap --variant=minbase trixie "$root" "$debian_mirror" >>"$log" 2>&1; then
	tail -n 30 "$log"
	cat "$root/debootstrap/debootstrap.log" 2>/dev/null | tail -n 30
	echo "deb13 system: debootstrap failed" >&2
	exit 1
fi
lap "debootstrap trixie (minbase)"

cat >"$root/etc/apt/sources.list" <<EOF
deb $debian_mirror trixie main
deb $debian_mirror trixie-updates main
deb $debian_mirror trixie-backports main
deb $security_mirror trixie-security main
EOF
# No service starts inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$root/etc/resolv.conf"
deb13_enter "$root"

# The kernels boot only with the kernel test's own initramfs.
TRV_DEB13_ENV="INITRD=No"
apt_get() {
	deb13_in "$root" apt-get -y -q -o Dpkg::Use-Pty=0 "$@" >>"$log" 2>&1 || {
		tail -n 40 "$log"
		echo "deb13 system: apt-get $* failed" >&2
		exit 1
	}
}
apt_get update
apt_get install --no-install-recommends dkms udev cmake \
	openjdk-21-jre-headless openjdk-25-jre-headless \
	linux-image-amd64 linux-headers-amd64
lap "dkms, udev, cmake, Java 21 and 25, kernel 6.12 with headers"

# The newest backports kernel by version: the meta package's candidate in
# trixie-backports names the versioned image it depends on.
backport() {
	meta=$1
	ver=$(deb13_in "$root" apt-cache -t trixie-backports policy "$meta" |
		sed -n 's/^ *Candidate: *//p')
	deb13_in "$root" apt-cache depends "$meta=$ver" |
		sed -n 's/^ *Depends: *\(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}
images=
for meta in linux-image-amd64 linux-image-rt-amd64; do
	img=$(backport "$meta")
	case $img in
	linux-image-[7-9].*) ;;
	*) echo "deb13 system: trixie-backports has no 7.x kernel for $meta (found '$img')" >&2; exit 1 ;;
	esac
	images="$images $img linux-headers-${img#linux-image-}"
done
apt_get install --no-install-recommends -t trixie-backports $images
lap "trixie-backports:$images"

kernels=$(cd "$root/boot" && ls vmlinuz-* | sed 's/^vmlinuz-//' | sort -V | tr '\n' ' ')
apt_get clean
echo "$recipe" >"$dir/recipe"
echo "$kernels" >"$dir/ready"
deb13_log "deb13 system: ready in $(($(date +%s) - start)) s, kernels: $kernels"
