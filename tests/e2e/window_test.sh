#!/usr/bin/env bash
# The real program on a real X server, clicked as an operator does: a whole download and verify of
# the sample firmware into the simulator at its default port, the window's (127.0.0.1:111); then
# the titles the X server shows (_NET_WM_NAME): the caption, an "Error#" box with nothing appended
# (a FIFO chosen as the file: refused, not waited on) and the "Cancel" box without a title of its own.
#   window_test.sh BOOTLOADER DEVSIM SOURCE_DIR
set -euo pipefail
bootloader=$1 devsim=$2 source=$3
if [ -z "${VELTA_ON_XVFB:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" env VELTA_ON_XVFB=1 "$0" "$@"
fi
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
printf '127.0.0.1\r\n' >"$work/VELTA_BOOTLOADER.ini"
cp "$source/demo/blink.hex" "$work/fw.hex"
"$devsim" --bind 127.0.0.1 --image-out "$work/received.hex" >"$work/devsim.log" 2>&1 &
for _ in $(seq 1 50); do grep -q listening "$work/devsim.log" && break; sleep 0.1; done
grep -q listening "$work/devsim.log" || { cat "$work/devsim.log"; grep -qi "permission" "$work/devsim.log" && exit 77; exit 1; }
"$source/scripts/window-download" "$bootloader" "$work" "$work/fw.hex" "$work/shot.png" 90
srec_cmp "$work/fw.hex" -intel "$work/received.hex" -intel || { echo "FAIL: the device's image differs"; exit 1; }

mkdir -p "$work/bin" -m 700 "$work/xdg" && mkfifo "$work/fifo.hex" && printf '#!/bin/sh\n' >"$work/bin/ip" && chmod +x "$work/bin/ip" # ip: the cache flush, stood in for
(cd "$work" && XDG_RUNTIME_DIR="$work/xdg" PATH="$work/bin:$PATH" exec "$bootloader") &
wid=$(timeout 20 xdotool search --sync --name "BootLoader V2" | head -n1)
title() { LC_ALL=C.UTF-8 xprop -id "$1" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p'; }
box() { # waits for a shown window of the program, other than the main one, titled unlike $1
    for _ in $(seq 1 100); do
        for w in $(xdotool search --onlyvisible --classname velta-bootloader 2>/dev/null); do
            t=$(title "$w")
            [ "$w" != "$wid" ] && [ -n "$t" ] && [ "$t" != "$1" ] && { echo "$w"; return; }
        done
        sleep 0.1
    done
}
[ "$(title "$wid")" = "Ethernet PICµVELTA Device  BootLoader V2" ] || { echo "FAIL: caption $(title "$wid")"; exit 1; }
xdotool mousemove --window "$wid" 180 24 click 1 && sleep 0.5 # Connect
xdotool mousemove --window "$wid" 214 48 click 1              # Open File and  Download
dlg=$(box "")
[ "$(title "$dlg")" = Open ] || { echo "FAIL: no file dialog"; exit 1; }
xdotool windowfocus --sync "$dlg"; xdotool type --delay 10 "$work/fifo.hex"; xdotool key Return
err=$(box Open)
[ "$(title "$err")" = "Error#75" ] || { echo "FAIL: error box titled '$(title "$err")'"; exit 1; }
xdotool windowfocus --sync "$err" key Return; sleep 0.5
xdotool mousemove --window "$wid" 214 48 click 1
xdotool windowfocus --sync "$(box "")" key Escape
cancel=$(box Open)
[ "$(title "$cancel")" = "velta-bootloader" ] || { echo "FAIL: Cancel box titled '$(title "$cancel")'"; exit 1; }
echo "PASS: END on the bar, the device's image equals the file; caption, Error#75 and Cancel as the X server shows them"
