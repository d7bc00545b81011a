#!/bin/sh
# Checks, with this system's apt, that every Java alternative that the
# packages name in Depends or Recommends can be satisfied here on its own:
# a runtime that this release lacks fails, even where another alternative
# would do. Run on every release the packages are for.
#
# Usage: java-relations.sh PACKAGE.deb...
# Exit status: 0 when every alternative is satisfiable, 1 otherwise.
set -eu
status=0
checked=0
for deb in "$@"; do
	pkg=$(dpkg-deb -f "$deb" Package)
	for field in Depends Recommends; do
		dpkg-deb -f "$deb" "$field" | tr ',' '\n' | tr '|' '\n' |
			sed -e 's/^ *//' -e 's/ *$//' | grep -E 'java|jre|jdk' >"${TMPDIR:-/tmp}/java-alts.$$" || true
		while IFS= read -r alt; do
			checked=$((checked + 1))
			if out=$(apt-get satisfy -s "$alt" 2>&1); then
				inst=$(echo "$out" | sed -n 's/^Inst \([^ ]*\).*/\1/p' | tr '\n' ' ')
				echo "java relations: $pkg $field: $alt: satisfiable (${inst:+installs: }${inst:-already satisfied})"
			else
				echo "$out" | tail -n 3
				echo "java relations: $pkg $field: $alt: FAIL: not satisfiable on this release" >&2
				status=1
			fi
		done <"${TMPDIR:-/tmp}/java-alts.$$"
		rm -f "${TMPDIR:-/tmp}/java-alts.$$"
	done
done
[ "$checked" -gt 0 ] || { echo "java relations: FAIL: no Java relation found" >&2; status=1; }
echo "java relations on $(. /etc/os-release && echo "$PRETTY_NAME"): $checked alternatives checked"
exit $status
