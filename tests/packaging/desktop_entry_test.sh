#!/usr/bin/env bash
# The installed menu entry passes desktop-file-validate with no error, warning or hint.
#   desktop_entry_test.sh PREFIX
set -euo pipefail
command -v desktop-file-validate >/dev/null || {
    echo "desktop-file-validate is not installed (Debian package desktop-file-utils)"
    exit 77
}
entry=$1/share/applications/velta-bootloader.desktop
[ -f "$entry" ] || {
    echo "FAIL: $entry is missing" >&2
    exit 1
}
# It exits 0 on warnings and hints, which would still show in distributions' checks.
out=$(desktop-file-validate "$entry" 2>&1) || {
    echo "$out" >&2
    exit 1
}
if [ -n "$out" ]; then
    echo "$out" >&2
    exit 1
fi
echo "desktop entry: valid"
