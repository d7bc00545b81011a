#!/bin/sh
# Builds the kernel object the way DKMS does on a terminal, from the sources
# that the DKMS package installs, against every installed kernel's headers.
# It uses a temporary DKMS tree and signing key, so /var/lib/dkms and
# /lib/modules of this machine stay untouched.
#
# Usage: dkms-build.sh PACKAGE.deb OUT
#   PACKAGE.deb  the tarvel-msrdrv-dkms package
#   OUT          work folder; the modules land in OUT/ko/<kernel>/msrdrv.ko,
#                the layout MSRDRV_KO_DIR of the qemu test reads
# Exit status: 0 when every kernel built a module whose modinfo version is
# the package's, 1 otherwise (also when no kernel headers are installed).
set -eu

deb=$1
out=$2
rm -rf "$out"
mkdir -p "$out/root" "$out/tree" "$out/ko"
out=$(cd "$out" && pwd)

dpkg-deb -x "$deb" "$out/root"
conf=$(ls "$out"/root/usr/src/*/dkms.conf)
name=$(sed -n 's/^PACKAGE_NAME="\(.*\)"$/\1/p' "$conf")
version=$(sed -n 's/^PACKAGE_VERSION="\(.*\)"$/\1/p' "$conf")
module=$(sed -n 's/^BUILT_MODULE_NAME\[0\]="\(.*\)"$/\1/p' "$conf")
[ -n "$name" ] && [ -n "$version" ] && [ -n "$module" ] || {
	echo "dkms-build: $conf lacks PACKAGE_NAME, PACKAGE_VERSION or BUILT_MODULE_NAME[0]" >&2
	exit 1
}
[ -d "$out/root/usr/src/$name-$version" ] || {
	echo "dkms-build: the sources are not in /usr/src/$name-$version" >&2
	exit 1
}

# dkms takes these from the environment unless /etc/dkms/framework.conf
# sets them: a key of this run, not the machine's /var/lib/dkms/mok.key.
export mok_signing_key="$out/mok.key" mok_certificate="$out/mok.pub"

status=0
built=0
for kdir in /lib/modules/*/build; do
	[ -e "$kdir/include" ] || continue
	kver=$(basename "$(dirname "$kdir")")
	start=$(date +%s)
	if dkms build -m "$name" -v "$version" -k "$kver" \
		--dkmstree "$out/tree" --sourcetree "$out/root/usr/src" \
		>"$out/build-$kver.log" 2>&1; then
		ko=$(find "$out/tree/$name/$version/$kver" -name "$module.ko*" | head -n 1)
		mkdir -p "$out/ko/$kver"
		case $ko in
		*.xz) xz -dc "$ko" >"$out/ko/$kver/$module.ko" ;;
		*.zst) zstd -dcq "$ko" >"$out/ko/$kver/$module.ko" ;;
		*.gz) gzip -dc "$ko" >"$out/ko/$kver/$module.ko" ;;
		*) cp "$ko" "$out/ko/$kver/$module.ko" ;;
		esac
		got=$(modinfo -F version "$out/ko/$kver/$module.ko")
		if [ "$got" = "$version" ]; then
			echo "dkms build $name/$version for $kver: ok, modinfo version $got ($(($(date +%s) - start)) s)"
			built=$((built + 1))
		else
			echo "dkms build $name/$version for $kver: FAILED: modinfo version '$got'" >&2
			status=1
		fi
	else
		cat "$out/build-$kver.log"
		echo "dkms build $name/$version for $kver: FAILED" >&2
		status=1
	fi
done
if [ "$built" = 0 ] && [ "$status" = 0 ]; then
	echo "dkms-build: no kernel headers installed (/lib/modules/*/build)" >&2
	status=1
fi
exit $status
