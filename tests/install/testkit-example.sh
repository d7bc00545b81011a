#!/bin/sh
# Runs the test kit's JUnit 5 example from the installed packages, as the
# README's "Testing your service" shows it: the shipped examples folder
# copied, then its run-tests.sh (the README quotes that script verbatim).
#
# Usage: testkit-example.sh ROOT   (a root where the packages and junit5 are
# installed; "/" for this machine). Needs root for chroot unless ROOT is /.
# Exit status: 0 pass, 1 fail.
set -eu
root=$1
examples=/usr/share/doc/tarvel-pos-testkit/examples
fail() {
	echo "testkit example: FAIL: $*" >&2
	exit 1
}
echo "== the test kit's JUnit example, as the README shows it"
[ -f "$root$examples/run-tests.sh" ] || fail "$examples/run-tests.sh not installed"
[ -f "$root/usr/share/java/junit-platform-console-standalone.jar" ] ||
	fail "junit5 is not installed"
work=$(mktemp -d "$root/tmp/testkit-example.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r "$root$examples" "$work/my-service-tests"
inner=${work#"${root%/}"}
out=$(chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
	sh -c "cd '$inner/my-service-tests' && sh run-tests.sh" 2>&1) || {
	echo "$out"
	fail "run-tests.sh failed"
}
echo "$out" | grep -E "tests (successful|failed)|WARNING"
echo "$out" | grep -q "WARNING" && { echo "$out"; fail "the JVM warned"; }
echo "$out" | grep -Eq "^\[ +[1-9][0-9]* tests successful +\]" || { echo "$out"; fail "no test passed"; }
echo "testkit example: PASS"
