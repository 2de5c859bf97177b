#!/usr/bin/env bash
# The tray tool on an X display with a tray host (Xvfb and trayer), on a sample claims directory
# signed up with a real warehouse-server: "Upload Claims", chosen from the tray icon's menu with
# the pointer and the keyboard, uploads the closed claims, and both balloons of the run reach the
# tray with the balloon window on screen. Skipped (77) when Xvfb, trayer, xwininfo or xdotool is
# missing.
set -u
exe=$1
server=$2
fixture=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop.sh
source "$here/desktop.sh"

need_tools Xvfb trayer xwininfo xdotool
# Interval 60000: no first-run timer and no timer before the first run, so only the menu starts one.
start_sample_warehouse secret 60000
reached="Warehouse Tool balloon reached the tray: "
start_tray_tool

wait_for "[ -n \"\$(icon_centre)\" ]" || fail "the tool's icon is not in the tray"
read -r x y <<<"$(icon_centre)"
grep -q 'WHT Claim List received' "$log" && fail "a run came before the menu was used"

# Right button on the icon opens the menu; Down picks its first item, "Upload Claims". A menu that
# missed the keys is closed and opened again; a run that has begun is never asked for twice.
started=no
for attempt in 1 2 3; do
    xdotool mousemove "$x" "$y" click 3
    if wait_for "menu_window >/dev/null"; then
        xdotool key Down Return
        if wait_for "grep -q 'WHT INI INFORMATION Username' '$log'"; then
            started=yes
            break
        fi
    fi
    xdotool key Escape
    echo "menu attempt $attempt did not start a run"
done
[ $started = yes ] || fail "choosing Upload Claims started no run"

wait_long "grep -q 'All closed claims current on Warehouse.' '$w/tool.err'" || fail "the run did not end"
grep -qxF "${reached}Closed claims are currently uploading. (balloon window on screen)" "$w/tool.err" \
    || fail "the 'currently uploading' balloon did not reach the tray, or its window is not on screen"
grep -qxF "${reached}All closed claims current on Warehouse. (balloon window on screen)" "$w/tool.err" \
    || fail "the 'all current' balloon did not reach the tray, or its window is not on screen"
grep -q '^Warehouse Tool: ' "$w/tool.err" && fail "a balloon went to standard error: the tool saw no tray"
[ "$(grep -c 'WHT Claim List received' "$log")" -eq 1 ] || fail "not exactly one run"
wait_for "grep -q 'WHT claims upload complete' '$log'" || fail "no completion line"
[ "$(grep -c 'Processing NEW claim number' "$log")" -eq 2 ] || fail "not the two closed claims processed"

# The server keeps both closed claims, archive and summary document each.
list=$(curl -sSk -u 'Sample Adjusting/adjuster:secret' "$url/api/claims/") || fail "claim list request failed"
count=$(python3 -c 'import json,sys; l=json.loads(sys.argv[1]); print(len([c for c in l if c["version"] >= 1]))' \
    "$list") || fail "claim list is not JSON: $list"
[ "$count" -eq 2 ] || fail "the server lists $list"
[ "$(grep -cE 'PUT /api/claims/[0-9]+\.kvz 200' "$w/server.err")" -eq 2 ] || fail "not two archives stored"
[ "$(grep -cE 'PUT /api/claims/[0-9]+\.json 200' "$w/server.err")" -eq 2 ] || fail "not two documents stored"

kill -TERM $tool; wait $tool; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc after SIGTERM"
echo "Upload Claims from the tray menu uploaded the closed claims; both balloons reached the tray"
