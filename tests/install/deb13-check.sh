#!/bin/sh
# Installs every package of DEB-FOLDER into the Debian 13 system with apt,
# as an integrator would (dependencies and recommendations resolved by apt),
# and checks what a terminal gets; then removes and purges them again. The
# system itself stays as it was: the run works on an overlay of it whose
# changes go to a tmpfs, in a private mount namespace.
#
# Checked: every Java alternative of the packages is satisfiable with this
# release's apt; the system group tarvel-pos; the udev rules, with
# `udevadm verify`; DKMS built and installed msrdrv.ko for every kernel that
# has its headers; the installed demo (java -jar, no options) on every Java
# runtime of the system, with nothing on standard error; after removal no
# module and no DKMS entry, after purge no file that was not there before.
#
# The modules DKMS built are copied to OUT/ko/<kernel>/msrdrv.ko (the layout
# MSRDRV_KO_DIR of the qemu test reads), its status lines to
# OUT/dkms-status.txt.
#
# Usage: deb13-check.sh DEB13-DIR DEB-FOLDER SIMULATOR.so SCENARIO OUT
# Exit status: 0 pass, 1 fail.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/deb13-lib.sh"

dir=$(cd "$1" && pwd)
debs=$(cd "$2" && pwd)
sim=$(readlink -f "$3")
scenario=$(readlink -f "$4")
mkdir -p "$5"
out=$(cd "$5" && pwd)
[ -e "$dir/ready" ] || { echo "deb13 check: no Debian 13 system in $dir (deb13-system.sh)" >&2; exit 1; }
deb13_private_namespace "$0" "$dir" "$debs" "$sim" "$scenario" "$out"

# ---- in a private mount namespace -----------------------------------------
fail() {
	echo "deb13 check: FAIL: $*" >&2
	exit 1
}
start=$(date +%s)
step=$start
lap() {
	now=$(date +%s)
	deb13_log "deb13 check: $1 ($((now - step)) s)"
	step=$now
}

top=$(mktemp -d "${TMPDIR:-/tmp}/deb13-check.XXXXXX")
trap 'cd /; umount -lR "$top" 2>/dev/null || true; rmdir "$top"' EXIT
mount -t tmpfs tmpfs "$top"
mkdir -p "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=$dir/root,upperdir=$top/upper,workdir=$top/work" "$top/root" ||
	fail "cannot mount an overlay of $dir/root"
root=$top/root
deb13_enter "$root"
in_root() {
	deb13_in "$root" "$@"
}

# Every file of the system, outside the pseudo file systems.
files() {
	in_root find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \) -prune \
		-o -print | sort
}
files >"$top/files-before"
in_root dpkg-query -W -f '${Package}\n' | sort >"$top/pkgs-before"

mkdir -p "$root/tmp/debs" "$root/tmp/demo"
set --
for deb in "$debs"/*.deb; do
	[ -e "$deb" ] || fail "no package in $debs"
	cp "$deb" "$root/tmp/debs/"
	set -- "$@" "$(dpkg-deb -f "$deb" Package)"
done
packages=$*
version=$(dpkg-deb -f "$debs"/libtarvel-jpos-jni_*.deb Version)
dkms_name=tarvel-msrdrv
cp "$here/java-relations.sh" "$root/tmp/"
cp "$sim" "$root/tmp/libtrvsim.so"
cp "$scenario" "$root/tmp/demo.scenario"

echo "== Java relations, with Debian 13's apt"
in_root sh -c "sh /tmp/java-relations.sh /tmp/debs/*.deb" || fail "a Java relation is not satisfiable on Debian 13"

echo "== apt-get install ./*.deb ($packages, version $version)"
if ! in_root sh -c 'apt-get install -y -q -o Dpkg::Use-Pty=0 /tmp/debs/*.deb' >"$out/install.log" 2>&1; then
	cat "$out/install.log"
	fail "apt-get install failed"
fi
grep -E '^(Setting up|Building|Installing|Signing|Running|Error|E:)|dkms' "$out/install.log" || true
lap "apt-get install"

echo "== the group and the udev rules"
group=$(in_root getent group tarvel-pos) || fail "no group tarvel-pos"
gid=$(echo "$group" | cut -d: -f3)
[ "$gid" -lt 1000 ] || fail "tarvel-pos is not a system group (gid $gid)"
echo "group: $group"
rules=/usr/lib/udev/rules.d/60-tarvel-pos.rules
[ -r "$root$rules" ] || fail "$rules not installed"
in_root udevadm --version | sed 's/^/udev /'
verify=$(in_root udevadm verify "$rules" 2>&1 >/dev/null) || { echo "$verify"; fail "udevadm verify $rules failed"; }
[ -z "$verify" ] || { echo "$verify"; fail "udevadm verify $rules warned"; }
echo "udevadm verify $rules: ok"

echo "== DKMS: msrdrv built and installed for every kernel with headers"
kernels=
for kdir in "$root"/lib/modules/*/build; do
	[ -e "$kdir/include" ] || continue
	kernels="$kernels $(basename "$(dirname "$kdir")")"
done
[ -n "$kernels" ] || fail "no kernel headers in the system"
in_root dkms status -m "$dkms_name" | tee "$out/dkms-status.txt"
rm -rf "$out/ko"
for kver in $kernels; do
	grep -q "^$dkms_name/$version, $kver, x86_64: installed" "$out/dkms-status.txt" ||
		fail "DKMS did not install $dkms_name/$version for $kver"
	ko=$(in_root modinfo -k "$kver" -F filename msrdrv) || fail "modinfo does not find msrdrv for $kver"
	case $ko in
	*/updates/dkms/msrdrv.ko*) ;;
	*) fail "msrdrv for $kver is $ko, not the DKMS build" ;;
	esac
	mkdir -p "$out/ko/$kver"
	case $ko in
	*.xz) xz -dc "$root$ko" ;;
	*.zst) zstd -dcq "$root$ko" ;;
	*.gz) gzip -dc "$root$ko" ;;
	*) cat "$root$ko" ;;
	esac >"$out/ko/$kver/msrdrv.ko"
	echo "$kver: $ko, vermagic $(in_root modinfo -k "$kver" -F vermagic msrdrv)"
done

echo "== the installed demo, java -jar with no option, on every Java runtime"
cp "$root/usr/share/doc/libtarvel-jpos-jni/examples/trvpos.ini" "$root/tmp/demo/"
javas=
for jdir in "$root"/usr/lib/jvm/java-*-openjdk-amd64; do
	# java-1.N.0-openjdk-amd64 is a link to java-N-openjdk-amd64.
	[ -L "$jdir" ] || [ ! -x "$jdir/bin/java" ] || javas="$javas ${jdir#"$root"}/bin/java"
done
[ -n "$javas" ] || fail "no Java runtime in the system"
for java in /usr/bin/java $javas; do
	rm -f "$root/tmp/demo/trvsim.log"
	in_root sh -c "cd /tmp/demo && LD_PRELOAD=/tmp/libtrvsim.so TRVSIM_SCENARIO=/tmp/demo.scenario \
		TRVSIM_LOG=/tmp/demo/trvsim.log $java -jar /usr/share/java/tarvel-jpos-demo.jar" \
		>"$top/demo.out" 2>"$top/demo.err" || { cat "$top/demo.out" "$top/demo.err"; fail "the demo failed on $java"; }
	[ ! -s "$top/demo.err" ] || { cat "$top/demo.err"; fail "the demo wrote on standard error on $java"; }
	grep -q "closed; 3 swipe(s) seen" "$top/demo.out" || { cat "$top/demo.out"; fail "the demo saw no swipes on $java"; }
	echo "$java ($(in_root "$java" -version 2>&1 | head -n 1)): $(head -n 1 "$top/demo.out"); 3 swipes, standard error empty"
done
lap "checks"

echo "== apt-get remove: no module, no DKMS entry left"
in_root apt-get remove -y -q -o Dpkg::Use-Pty=0 $packages >"$out/remove.log" 2>&1 || {
	cat "$out/remove.log"
	fail "apt-get remove failed"
}
[ -z "$(in_root dkms status -m "$dkms_name")" ] || fail "dkms still lists $dkms_name"
[ ! -e "$root/var/lib/dkms/$dkms_name" ] || fail "/var/lib/dkms/$dkms_name left"
for kver in $kernels; do
	! ls "$root/lib/modules/$kver/updates/dkms/msrdrv.ko"* >/dev/null 2>&1 ||
		fail "msrdrv.ko left in /lib/modules/$kver"
done
echo "removed: $packages"

echo "== purge (dpkg: apt knows removed local packages no more) and autoremove: no stray file"
in_root sh -c "dpkg --purge $packages && apt-get autoremove --purge -y -q -o Dpkg::Use-Pty=0" \
	>"$out/purge.log" 2>&1 || {
	cat "$out/purge.log"
	fail "apt-get purge failed"
}
in_root dpkg -l $packages 2>/dev/null | grep -E '^[a-z][a-z] ' | grep -v '^un' &&
	fail "dpkg still knows the packages"
files >"$top/files-after"
in_root dpkg-query -W -f '${Package}\n' | sort >"$top/pkgs-after"
kept=$(comm -13 "$top/pkgs-before" "$top/pkgs-after" | tr '\n' ' ')
[ -z "$kept" ] || echo "dependencies that apt keeps installed: $kept"
# A new file is stray unless an installed package owns it or it is state
# that apt, dpkg and dkms keep of their own: logs, caches, package state,
# the account databases' backups and DKMS's signing key (made on first use,
# for every module DKMS builds).
in_root sh -c 'cat /var/lib/dpkg/info/*.list' | sort -u >"$top/owned"
comm -13 "$top/files-before" "$top/files-after" >"$top/new"
comm -23 "$top/new" "$top/owned" |
	grep -vE '^/var/(log|cache)/|^/var/lib/(apt|dpkg|ucf)(/|$)|^/etc/(group|gshadow|passwd|shadow|subgid|subuid)-$|^/var/lib/dkms/mok\.(key|pub)$' \
	>"$top/stray" || true
echo "$(wc -l <"$top/new") new files after purge, $(comm -12 "$top/new" "$top/owned" | wc -l) of them owned by the packages apt keeps"
if [ -s "$top/stray" ]; then
	sed 's/^/  stray: /' "$top/stray"
	fail "files left after purge"
fi
echo "no stray file"
lap "removal and purge"
deb13_log "deb13 check: PASS in $(($(date +%s) - start)) s (kernels:$kernels)"
