#!/usr/bin/env bash
# The real executable downloads and verifies the sample firmware through real clicks; the
# simulator's received image must equal the file and the bar must show "END".
set -euo pipefail
bootloader=$1 devsim=$2 source=$3

if [ "$(id -u)" -ne 0 ] && ! command -v setcap >/dev/null; then
    echo "SKIP: the device simulator needs port 111 (root or CAP_NET_BIND_SERVICE)"
    exit 77
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
    [ -n "${VELTA_KEEP:-}" ] && cp "$work/shot.png" "$VELTA_KEEP" 2>/dev/null; rm -rf "$work"
}
trap cleanup EXIT

printf '127.0.0.1\r\n' >"$work/VELTA_BOOTLOADER.ini"
cp "$source/demo/blink.hex" "$work/fw.hex"

"$devsim" --bind 127.0.0.1 --port 111 --image-out "$work/received.hex" >"$work/devsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 50); do
    grep -q listening "$work/devsim.log" && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        cat "$work/devsim.log"
        if grep -qi "permission\|CAP_NET_BIND_SERVICE" "$work/devsim.log"; then exit 77; fi
        exit 1
    fi
    sleep 0.1
done

xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    "$source/scripts/window-download" "$bootloader" "$work" "$work/fw.hex" "$work/shot.png" 90

test -s "$work/received.hex" || { echo "FAIL: the simulator wrote no image"; exit 1; }
srec_cmp "$work/fw.hex" -intel "$work/received.hex" -intel || { echo "FAIL: image differs"; exit 1; }
echo "PASS: END on the bar and the device's image equals the file"
