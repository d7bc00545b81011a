#!/bin/sh
# Runs the JVM end-to-end tests (ctest -L jvm) of a build made on this
# machine inside the Debian 13 system, once per Java runtime there (21, the
# release's default, and 25), with -Xcheck:jni; any line a JVM writes on
# standard error fails its case (tests/jvm/run_java.cmake). The source and
# build folders are bound into the system at the same paths, in a private
# mount namespace.
#
# Usage: deb13-jvm.sh DEB13-DIR BUILD-DIR [JAVA-VERSION...]   (default: 21 25)
# Prints one line per Java version with the test counts.
# Exit status: 0 when every version passed every test, 1 otherwise.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/deb13-lib.sh"

dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
shift 2
root=$dir/root
src=$(cd "$here/../.." && pwd)
[ -e "$dir/ready" ] || { echo "deb13 jvm: no Debian 13 system in $dir (deb13-system.sh)" >&2; exit 1; }
[ -e "$build/CTestTestfile.cmake" ] || { echo "deb13 jvm: $build is not a configured build" >&2; exit 1; }
deb13_private_namespace "$0" "$dir" "$build" "$@"

# ---- in a private mount namespace -----------------------------------------
deb13_enter "$root"
for d in "$src" "$build"; do
	mkdir -p "$root$d"
	mount --bind "$d" "$root$d"
done

[ $# -gt 0 ] || set -- 21 25
status=0
summary=
for v in "$@"; do
	java=/usr/lib/jvm/java-$v-openjdk-amd64/bin/java
	if [ ! -x "$root$java" ]; then
		echo "deb13 jvm: Java $v: FAIL: $java not installed" >&2
		status=1
		continue
	fi
	version=$(deb13_in "$root" "$java" -version 2>&1 | head -n 1)
	start=$(date +%s)
	deb13_log "== Java $v in Debian 13: $version"
	log=$build/deb13-jvm-$v.log
	rc=0
	TRV_DEB13_ENV="TRV_TEST_JAVA=$java" deb13_in "$root" \
		ctest --test-dir "$build" -L jvm --output-on-failure >"$log" 2>&1 || rc=$?
	grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|The following tests|^[[:space:]]+[0-9]+ - ' "$log" || true
	counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\2 \1/p' "$log")
	total=$(echo "$counts" | awk '{ print $1 + 0 }')
	failed=$(echo "$counts" | awk '{ print $2 + 0 }')
	if [ "$rc" != 0 ] || [ "$total" = 0 ]; then
		cat "$log"
		status=1
	fi
	line="deb13 jvm: Java $v ($version): $total tests, $((total - failed)) passed, $failed failed ($(($(date +%s) - start)) s)"
	echo "$line"
	summary="$summary$line
"
done
printf '%s' "$summary"
exit $status
