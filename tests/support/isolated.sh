#!/bin/sh
# Runs a test in a network of its own that has only loopback, where the test may look up names
# that do not resolve, refuse group targets and play a silent name server: nothing it sends can
# leave the machine. Names are asked of 127.0.0.1 there (a test may answer, or not). Needs root
# and unshare; without them the test runs as it is and skips what needs the isolation.
#   isolated.sh TEST [ARGS...]
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 &&
    unshare -n -m true 2>/dev/null; then
    resolv=$(mktemp)
    printf 'nameserver 127.0.0.1\noptions timeout:2 attempts:1\n' >"$resolv"
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -n -m sh -c 'ip link set lo up && mount --bind "$0" /etc/resolv.conf && exec "$@"' "$resolv" "$@"
    status=$?
    rm -f "$resolv"
    exit $status
fi
exec "$@"
