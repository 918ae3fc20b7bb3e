#!/usr/bin/env bash
# The real velta-line on a real X server, driven with keys as a technician drives it, against
# twelve simulators on 127.0.0.x, each on a port of its own: one gateway with the devices 16 to 19,
# and eleven direct devices of which one answers ERROR to line 5, one is silent and one sits on a
# lossy line. Enter runs the line: the rows end ok, device-error, timeout and ok, and the report
# holds what velta-flash writes for the same line, field by field apart from times, ports, run ids
# and the resends and late replies a busy machine's timing makes; Alt+R ("Rerun failed") runs
# exactly the two again; Enter and Esc ask "Stop the line" and stop the run (130), which is the
# exit code when the window is closed.
#   line_test.sh VELTA_LINE VELTA_FLASH DEVSIM [SCREENSHOT.png]
set -euo pipefail
line=$(readlink -f "$1") flash=$(readlink -f "$2") devsim=$(readlink -f "$3") shot=${4:+$(readlink -f "$4")}
if [ -z "${VELTA_ON_XVFB:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" env VELTA_ON_XVFB=1 "$0" "$@"
fi
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Waits up to $1 tenths of a second for the command after it to succeed.
waitfor() {
    local n=$1
    shift
    for _ in $(seq 1 "$n"); do "$@" && return 0; sleep 0.1; done
    "$@"
}

# The firmware: 1500 records of 16 bytes and the end record, long enough to be stopped by hand.
for ((i = 0; i < 1500; i++)); do
    a=$((i * 16))
    printf ':10%04X00%s%02X\r\n' $((a & 0xFFFF)) 00000000000000000000000000000000 \
        $(((0x100 - ((0x10 + (a >> 8 & 0xFF) + (a & 0xFF)) & 0xFF)) & 0xFF))
done >"$work/fw.hex"
printf ':00000001FF\r\n' >>"$work/fw.hex"

sim() { # NAME ADDRESS PORT OPTIONS...
    local name=$1 address=$2 port=$3
    shift 3
    "$devsim" --bind "$address" --port "$port" --quiet "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
}
sim gateway 127.0.0.21 5121 --address 16,17,18,19
for i in $(seq 22 29); do sim "direct$i" "127.0.0.$i" "51$i" --direct-only; done
sim error 127.0.0.30 5130 --direct-only --error-at-line 5
sim silent 127.0.0.31 5131 --direct-only --drop-every 1
sim lossy 127.0.0.32 5132 --direct-only --loss 5 --seed 7
for log in "$work"/*.log; do
    waitfor 50 grep -q listening "$log" || { cat "$log"; grep -qi permission "$log" && exit 77; exit 1; }
done
{
    for a in 16 17 18 19; do echo "127.0.0.21:5121/$a"; done
    for i in $(seq 22 32); do echo "127.0.0.$i:51$i"; done
} >"$work/line.hosts"
cd "$work"
args=(--direct --hosts line.hosts --timeout 0.3 --retries 2)

code=0
"$flash" "${args[@]}" --quiet --report flash.jsonl fw.hex || code=$?
[ "$code" = 1 ] || fail "velta-flash exited $code"

mkdir -m 700 xdg config
XDG_RUNTIME_DIR=$work/xdg XDG_CONFIG_HOME=$work/config "$line" "${args[@]}" --report line.jsonl fw.hex &
app=$!
pids+=($app)
wid=$(timeout 20 xdotool search --sync --all --onlyvisible --classname --name '^velta-line' | head -n1)
[ -n "$wid" ] || fail "the window did not appear"
title() { LC_ALL=C.UTF-8 xprop -id "$1" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p'; }
runs() { [ "$(grep -c '"type":"run"' line.jsonl 2>/dev/null)" = "$1" ]; }
titled() { [ "$(title "$wid")" = "velta-line - line.hosts - $1" ]; }
keys() { xdotool windowfocus --sync "$wid" key --delay 50 "$@"; }

keys Return
waitfor 600 runs 1 || fail "the line did not end: $(title "$wid")"
totals="13 ok, 2 failed: 1 device-error, 1 timeout"
waitfor 20 titled "$totals" || fail "title: $(title "$wid")"
# Field by field as velta-flash wrote them, sorted, without what timing alone decides.
same() { sed -E 's/"(duration_s|local_port|resends|late_replies)":[^,}]*,?//g; s/"(end|start|run_id)":("[^"]*"|null),?//g' "$1" | sort; }
diff <(same flash.jsonl) <(same line.jsonl) || fail "the report differs from velta-flash's (< velta-flash, > velta-line)"
[ "$(grep -c '"result":"ok"' line.jsonl)" = 13 ] || fail "not 13 devices ok"

keys alt+r # Rerun failed
waitfor 300 runs 2 || fail "the rerun did not end"
rerun=$(sed -n '17,$p' line.jsonl | grep '"type":"device"' | sed -E 's/.*"result":"([^"]*)".*"target":"([^"]*)".*/\2 \1/' | sort | tr '\n' ' ')
[ "$rerun" = "127.0.0.30:5130 device-error 127.0.0.31:5131 timeout " ] || fail "the rerun ran: $rerun"
[ "$(sed -n '17,$p' line.jsonl | grep -o '"run_id":"[^"]*"' | sort -u | wc -l)" = 1 ] || fail "the rerun is not one run"
waitfor 20 titled "$totals" || fail "title after the rerun: $(title "$wid")"
[ -z "$shot" ] || import -window "$wid" "$shot"

keys Return Escape
box=
for _ in $(seq 1 100); do
    for w in $(xdotool search --all --onlyvisible --classname velta-line 2>/dev/null); do
        [ "$w" != "$wid" ] && [ "$(title "$w")" = "Stop the line" ] && box=$w
    done
    [ -n "$box" ] && break
    sleep 0.1
done
[ -n "$box" ] || fail "Esc asked nothing"
xdotool windowfocus --sync "$box" key Return # "Stop", the default
waitfor 300 runs 3 || fail "the stopped run did not end"
tail -n1 line.jsonl | grep -q '"exit_code":130' || fail "the stopped run: $(tail -n1 line.jsonl)"
grep -q '"result":"interrupted"' line.jsonl || fail "no device interrupted"

grep -qx "hostsFiles=$work/line.hosts" config/velta/velta-line.conf || fail "the station's settings were not kept"
kill -TERM "$app"
code=0
wait "$app" || code=$?
[ "$code" = 130 ] || fail "velta-line exited $code, not the stopped run's 130"
echo "PASS: $totals as velta-flash reports them; the rerun ran exactly the two; Esc stopped the line (130)"
