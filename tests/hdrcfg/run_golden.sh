#!/usr/bin/env bash
# Golden-output tests of hdrcfg.
#
#   run_golden.sh case HDRCFG LIBTRVSIM CASEDIR [SANITIZER]
#       Runs HDRCFG as its own process under the driver simulator (LD_PRELOAD
#       of LIBTRVSIM) with CASEDIR/scenario, in a fresh working directory that
#       holds CASEDIR/trvpos.ini if the case has one, and compares:
#         - standard output with CASEDIR/expected.out, byte for byte;
#         - the exit status with CASEDIR/expected.status (default 42, the
#           status of the scenarios' exit action: hdrcfg never ends by itself);
#         - the opens, writes and closes the simulator logged with
#           CASEDIR/expected.nodes (descriptor numbers left out);
#         - standard error with CASEDIR/expected.err, if the case has one.
#       CASEDIR/args, if present, holds the command line's arguments.
#   run_golden.sh static HDRCFG
#       Checks the binary: it imports no heap allocator and needs no shared
#       library of this project.
#
# Exit status 0: pass, 1: fail, 77: skipped.
set -u

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

skip() {
	echo "SKIP: $*"
	exit 77
}

run_static() {
	local tool=$1
	command -v nm >/dev/null || skip "nm not installed"
	local imports
	imports=$(nm -D --undefined-only "$tool" | awk '{ print $NF }' | sed 's/@.*//')
	local heap
	heap=$(grep -E -x 'malloc|calloc|realloc|reallocarray|free|posix_memalign|aligned_alloc|memalign|valloc|strdup|strndup|asprintf|vasprintf|_Zn[wa].*|_Zd[la].*|fopen|fdopen|open_memstream' <<<"$imports")
	[ -z "$heap" ] || fail "hdrcfg imports heap functions: $(echo $heap)"
	local own
	own=$(readelf -d "$tool" | grep NEEDED | grep -E 'nativelayer|trvsim|hid2ps2|config') || true
	[ -z "$own" ] || fail "hdrcfg needs a library of its own project: $own"
	echo "PASS: no heap allocator imported, no project library needed"
	exit 0
}

run_case() {
	local tool=$1 simlib=$2 casedir=$3 sanitizer=${4:-}
	local name
	name=$(basename "$casedir")

	case "$sanitizer" in
	"") ;;
	address) export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" ;;
	*) skip "$name: not run in a $sanitizer sanitizer build" ;;
	esac

	if [ ! -f "$casedir/trvpos.ini" ] && [ -e /etc/tarvel/pos/trvpos.ini ]; then
		skip "$name: /etc/tarvel/pos/trvpos.ini exists and would be read"
	fi

	local work
	work=$(mktemp -d "${TMPDIR:-/tmp}/hdrcfg-golden.XXXXXX") || fail "mktemp"
	trap 'rm -rf "$work"' EXIT
	[ -f "$casedir/trvpos.ini" ] && cp "$casedir/trvpos.ini" "$work/trvpos.ini"

	local status args=()
	[ -f "$casedir/args" ] && read -r -a args <"$casedir/args"
	(
		cd "$work" &&
			TRVSIM_SCENARIO="$casedir/scenario" TRVSIM_LOG="$work/sim.log" \
				LD_PRELOAD="$simlib" timeout -s KILL 30 "$tool" "${args[@]}" >"$work/stdout" 2>"$work/stderr"
	)
	status=$?

	local ok=1
	local want_status=42
	[ -f "$casedir/expected.status" ] && want_status=$(<"$casedir/expected.status")
	if [ "$status" != "$want_status" ]; then
		echo "$name: exit status $status, expected $want_status" >&2
		[ "$status" = 137 ] && echo "$name: hdrcfg was killed after 30 s" >&2
		ok=0
	fi
	if ! cmp -s "$casedir/expected.out" "$work/stdout"; then
		echo "$name: standard output differs (- expected, + actual):" >&2
		diff -u "$casedir/expected.out" "$work/stdout" | cat -A | head -60 >&2
		ok=0
	fi
	if [ -f "$casedir/expected.nodes" ]; then
		grep -E '^(open|write|close) ' "$work/sim.log" 2>/dev/null |
			sed -E 's/ fd=[0-9]+$//' >"$work/nodes"
		if ! cmp -s "$casedir/expected.nodes" "$work/nodes"; then
			echo "$name: device node traffic differs (- expected, + actual):" >&2
			diff -u "$casedir/expected.nodes" "$work/nodes" >&2
			ok=0
		fi
	fi
	if [ -f "$casedir/expected.err" ] && ! cmp -s "$casedir/expected.err" "$work/stderr"; then
		echo "$name: standard error differs (- expected, + actual):" >&2
		diff -u "$casedir/expected.err" "$work/stderr" >&2
		ok=0
	elif [ -s "$work/stderr" ]; then
		echo "$name: standard error:" >&2
		cat "$work/stderr" >&2
	fi
	[ "$ok" = 1 ] || fail "$name"
	echo "PASS: $name"
	exit 0
}

case "${1:-}" in
static) [ $# -eq 2 ] || fail "usage: $0 static HDRCFG"; run_static "$2" ;;
case) [ $# -ge 4 ] || fail "usage: $0 case HDRCFG LIBTRVSIM CASEDIR [SANITIZER]"; run_case "$2" "$3" "$4" "${5:-}" ;;
*) fail "usage: $0 static HDRCFG | case HDRCFG LIBTRVSIM CASEDIR [SANITIZER]" ;;
esac
