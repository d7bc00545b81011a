#!/usr/bin/env bash
# Golden-output tests of tarvel-pos-check.
#
#   run_golden.sh CHECK LIBTRVSIM CASEDIR [SANITIZER]
#       Runs CHECK under the driver simulator (LD_PRELOAD of LIBTRVSIM) in a
#       fresh working directory, with from CASEDIR:
#         facts       the machine's facts (TRVCHECK_FACTS: user, group, udev
#                     rule, kernel object, DKMS), so that the output does not
#                     depend on the machine that runs the test;
#         scenario    the simulator's scenario (optional);
#         nodes       the nodes that exist (TRVSIM_NODES, optional);
#         trvpos.ini  copied into the working directory (optional);
#         ini-dir     if present, ./trvpos.ini is made a directory;
#         args        arguments, one line (optional);
#       and compares standard output with expected.out, standard error with
#       expected.err (empty when absent), the exit status with
#       expected.status, and checks that nothing was written to any node.
#
# Exit status 0: pass, 1: fail, 77: skipped.
set -u

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

[ $# -ge 3 ] || fail "usage: $0 CHECK LIBTRVSIM CASEDIR [SANITIZER]"
tool=$1 simlib=$2 casedir=$3 sanitizer=${4:-}
name=$(basename "$casedir")
case "$sanitizer" in
"") ;;
address) export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" ;;
*) echo "SKIP: $name: not run in a $sanitizer build"; exit 77 ;;
esac
if [ -e /etc/tarvel/pos/trvpos.ini ]; then
	echo "SKIP: $name: /etc/tarvel/pos/trvpos.ini exists and would be read"
	exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/check-golden.XXXXXX") || fail "mktemp"
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"
[ -f "$casedir/trvpos.ini" ] && cp "$casedir/trvpos.ini" "$work/run/trvpos.ini"
[ -e "$casedir/ini-dir" ] && mkdir "$work/run/trvpos.ini"
: >"$work/scenario"
[ -f "$casedir/scenario" ] && cp "$casedir/scenario" "$work/scenario"
nodes=all
[ -f "$casedir/nodes" ] && nodes=$(<"$casedir/nodes")
args=()
[ -f "$casedir/args" ] && read -r -a args <"$casedir/args"

(
	cd "$work/run" &&
		TRVCHECK_FACTS="$casedir/facts" TRVSIM_SCENARIO="$work/scenario" \
			TRVSIM_LOG="$work/sim.log" TRVSIM_NODES="$nodes" LD_PRELOAD="$simlib" \
			timeout -s KILL 30 "$tool" "${args[@]}" >"$work/stdout" 2>"$work/stderr"
)
status=$?
# The working directory and the case's folder differ from run to run.
sed -i "s|$work/run|WORKDIR|g" "$work/stdout"
sed -i "s|$casedir|CASEDIR|g" "$work/stderr"

ok=1
want_status=$(<"$casedir/expected.status")
if [ "$status" != "$want_status" ]; then
	echo "$name: exit status $status, expected $want_status" >&2
	ok=0
fi
if ! cmp -s "$casedir/expected.out" "$work/stdout"; then
	echo "$name: standard output differs (- expected, + actual):" >&2
	diff -u "$casedir/expected.out" "$work/stdout" >&2
	ok=0
fi
want_err=/dev/null
[ -f "$casedir/expected.err" ] && want_err=$casedir/expected.err
if ! cmp -s "$want_err" "$work/stderr"; then
	echo "$name: standard error differs (- expected, + actual):" >&2
	diff -u "$want_err" "$work/stderr" >&2
	ok=0
fi
if grep -q '^write ' "$work/sim.log" 2>/dev/null; then
	echo "$name: wrote to a node:" >&2
	grep '^write ' "$work/sim.log" >&2
	ok=0
fi
[ "$ok" = 1 ] || fail "$name"
echo "PASS: $name"
