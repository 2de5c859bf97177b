#!/usr/bin/env bash
# The tray tool on an X display with a tray host (Xvfb and trayer) when the claims directory's
# Warehouse folder goes away under it (its share dropped; here a file stands where the folder
# was): "Claim Search" from the menu cannot open the activity log, the tool shows the error box
# and stays in the tray. Once the folder is back every command works again, and after "Upload
# Claims" the timer runs by itself. Skipped (77) when Xvfb, trayer, xwininfo or xdotool is missing.
set -u
exe=$1
server=$2
fixture=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop.sh
source "$here/desktop.sh"

need_tools Xvfb trayer xwininfo xdotool
# Interval 3000: no timer runs before the first run from the menu, then one every three seconds.
start_sample_warehouse secret 3000
claims="$w/ws/Claims"
start_tray_tool
wait_for "[ -n \"\$(icon_centre)\" ]" || fail "the tool's icon is not in the tray"
read -r x y <<<"$(icon_centre)"

# The share goes away.
mv "$claims/Warehouse" "$claims/Warehouse.away"
echo "not a folder" >"$claims/Warehouse"
choose 2 "[ -n \"\$(window_named 'Warehouse Upload')\" ] || ! kill -0 $tool 2>/dev/null"
kill -0 $tool 2>/dev/null || fail "the tool ended when Claim Search could not open the activity log"
[ -n "$(window_named 'Warehouse Upload')" ] || fail "no error box"
grep -q "Warehouse Upload: Cannot open file \"$claims/Warehouse/log.txt\"" "$w/tool.err" \
    || fail "the error does not name the activity log"
xdotool key Return
wait_for "[ -z \"\$(window_named 'Warehouse Upload')\" ]" || fail "Return did not close the error box"
kill -0 $tool 2>/dev/null || fail "the tool ended after the error box"

# The share is back: Claim Search opens its window at once (the failed command let Busy go).
rm "$claims/Warehouse"
mv "$claims/Warehouse.away" "$claims/Warehouse"
choose 2 "[ -n \"\$(window_named 'Claim Search')\" ]" || fail "Claim Search opened no window after the error"
xdotool key Escape
wait_for "[ -z \"\$(window_named 'Claim Search')\" ]" || fail "Escape did not close the search window"

# Upload Claims runs, and the timer runs again by itself after it.
choose 1 "grep -q 'WHT INI INFORMATION Username' '$log'" || fail "no run started"
wait_long "[ \$(grep -c 'WHT claims upload complete' '$log') -ge 2 ]" || fail "the timer did not run after the menu's run"

kill -TERM $tool
wait_long "! kill -0 $tool 2>/dev/null" || fail "the tool did not end on SIGTERM"
wait $tool; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc"
echo "tray fault: the error box for a command that failed, the tool stayed and its timer ran"
