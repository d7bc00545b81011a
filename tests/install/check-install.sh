#!/usr/bin/env bash
# tarvel-pos-check as installed by the packages, in the chroot ROOT that
# chroot-install.sh made (the packages installed, the driver simulator at
# /tmp/libtrvsim.so): run as a user in the group tarvel-pos, as one who is not
# in it, as one who joined it without logging in again, with a missing node,
# a node without permission and a broken trvpos.ini; checks the verdict line
# and the exit status of each.
#
#   check-install.sh ROOT
set -u
root=$1

fail() {
	echo "check install test: FAIL: $*" >&2
	exit 1
}

gid=$(chroot "$root" getent group tarvel-pos | cut -d: -f3) || fail "no group tarvel-pos"
chroot "$root" useradd --no-create-home svcin || fail "useradd"
chroot "$root" useradd --no-create-home svcout || fail "useradd"
chroot "$root" useradd --no-create-home svcnew || fail "useradd"
chroot "$root" usermod -a -G tarvel-pos svcin || fail "usermod"
chroot "$root" usermod -a -G tarvel-pos svcnew || fail "usermod"

mkdir -p "$root/tmp/check"
cp "$root/usr/share/doc/libtarvel-jpos-jni/examples/trvpos.ini" "$root/tmp/check/good.ini"
printf '[GH]\nmodifierflag = 2A\nset1code=1C\n' >"$root/tmp/check/broken.ini"
chmod -R a+rX "$root/tmp/check" "$root/tmp/libtrvsim.so"

# run NAME USER GROUPS INI WANT_STATUS WANT_LINE [SCENARIO LINES...]
run() {
	local name=$1 user=$2 groups=$3 ini=$4 want_status=$5 want_line=$6
	shift 6
	local dir=/tmp/check/$name
	mkdir -p "$root$dir"
	cp "$root/tmp/check/$ini" "$root$dir/trvpos.ini"
	{
		echo "at ms 0 perm usb 0660 0 $gid"
		printf '%s\n' "$@"
	} >"$root$dir/scenario"
	chmod -R a+rX "$root$dir"
	local out status
	out=$(chroot --userspec="$user:$user" --groups="$groups" "$root" env -i \
		PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 sh -c "cd $dir && \
		LD_PRELOAD=/tmp/libtrvsim.so TRVSIM_NODES=usb TRVSIM_SCENARIO=$dir/scenario \
		tarvel-pos-check" 2>&1)
	status=$?
	if [ "$status" != "$want_status" ] || ! grep -qF -- "$want_line" <<<"$out"; then
		echo "$out"
		fail "$name: exit status $status (expected $want_status), or no line '$want_line'"
	fi
	echo "PASS: $name: $(tail -n 1 <<<"$out")"
}

run good svcin "svcin,tarvel-pos" good.ini 0 "verdict: ready"
run not_in_group svcout svcout good.ini 1 "svcout is not a member"
run new_login svcnew svcnew good.ini 1 "this login does not have it yet"
run missing_node svcin "svcin,tarvel-pos" good.ini 1 \
	"FAIL node /dev/trvposusb_keylock: missing" "at ms 0 present usb_keylock 0"
run no_permission svcin "svcin,tarvel-pos" good.ini 1 \
	"open read-write: Permission denied" "at ms 0 perm usb_msrstat 0600 0 0" \
	"at ms 0 fail_open usb_msrstat EACCES"
run broken_ini svcin "svcin,tarvel-pos" broken.ini 1 "blanks before '='"
