# Shared by the Debian 13 scripts (sourced, POSIX sh).
#
# deb13_mirrors: sets debian_mirror and security_mirror from this machine's
# own apt sources (one-line *.list and deb822 *.sources), so that nothing
# here names a host: the archive is the URI that serves this release's
# codename, the security archive the one that serves <codename>-security.
# deb13_enter ROOT: mounts proc, sys, dev, run and tmp into ROOT; call it
# only inside a private mount namespace (see deb13_private_namespace), where
# the mounts vanish with the last process.
# deb13_in ROOT CMD...: runs CMD in ROOT with a clean environment.

deb13_log() {
	echo "$(date +%H:%M:%S) $*"
}

# deb13_private_namespace SCRIPT ARGS...: re-runs SCRIPT in a mount
# namespace of its own unless it already runs in one.
deb13_private_namespace() {
	if [ "${TRV_DEB13_NS:-}" != 1 ]; then
		exec env TRV_DEB13_NS=1 unshare --mount --propagation private "$@"
	fi
}

deb13_mirrors() {
	codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
	# One line per source: URI SUITE... (deb entries only).
	sources=$(
		for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
			[ -r "$f" ] || continue
			sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" { print $2, $3 }'
		done
		for f in /etc/apt/sources.list.d/*.sources; do
			[ -r "$f" ] || continue
			awk '
				function flush() { if (deb && uris != "") { n = split(uris, u, " "); for (i = 1; i <= n; i++) print u[i], suites } deb = 0; uris = ""; suites = "" }
				/^[ \t]*#/ { next }
				/^[ \t]*$/ { flush(); next }
				tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
				tolower($1) == "uris:" { uris = ""; for (i = 2; i <= NF; i++) uris = uris " " $i }
				tolower($1) == "suites:" { suites = ""; for (i = 2; i <= NF; i++) suites = suites " " $i }
				END { flush() }' "$f"
		done
	)
	debian_mirror=$(echo "$sources" | awk -v s="$codename" '{ for (i = 2; i <= NF; i++) if ($i == s) { print $1; exit } }')
	security_mirror=$(echo "$sources" | awk -v s="$codename-security" '{ for (i = 2; i <= NF; i++) if ($i == s) { print $1; exit } }')
	security_mirror=${security_mirror:-$debian_mirror-security}
	[ -n "$debian_mirror" ] || {
		echo "deb13: no apt source of this machine serves $codename" >&2
		return 1
	}
}

deb13_enter() {
	mount -t proc proc "$1/proc"
	mount --rbind /sys "$1/sys"
	mount --rbind /dev "$1/dev"
	mount -t tmpfs tmpfs "$1/run"
	mount -t tmpfs tmpfs "$1/tmp"
}

deb13_in() {
	r=$1
	shift
	chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
		DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 ${TRV_DEB13_ENV:-} "$@"
}
