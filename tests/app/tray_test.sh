#!/usr/bin/env bash
# The tray tool on an X display with a tray host (Xvfb and trayer): the balloon that start-up shows
# when the tool is not installed, and the notice of a second start, both reach the tray with the
# balloon window on screen. The tool notes every balloon that reached the tray on standard error.
# Skipped (77) when Xvfb, trayer or xwininfo is missing.
set -u
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop.sh
source "$here/desktop.sh"
fail() { echo "FAIL: $*"; for f in "$w"/*.err "$w"/trayer.log; do echo "--- $f"; cat "$f"; done; exit 1; }

need_tools Xvfb trayer xwininfo
start_display || fail "no X display could be started"
start_tray_host || fail "the tray host did not come up"
use_display

mkdir -p "$w"/{prog,claims/Warehouse,data,tmp,run}
chmod 700 "$w/run"
echo "KVXClaimsDB=$w/claims" > "$w/prog/DBAlias.ini"
printf 'WServer=https://127.0.0.1:9\r\n[Check]\r\nInterval=900000\r\n' > "$w/claims/Warehouse/warehouse.ini"
export WHUPLOAD_PROGRAM_DIR="$w/prog" XDG_DATA_HOME="$w/data" TMPDIR="$w/tmp" XDG_RUNTIME_DIR="$w/run" HOME="$w"
log="$w/claims/Warehouse/log.txt"
reached="Warehouse Tool balloon reached the tray: "

# Not installed (no ARCS template): start-up's balloon reaches the tray, not standard error's
# stand-in for a missing tray.
"$exe" >"$w/first.out" 2>"$w/first.err" & first=$!; pids+=($first)
wait_for "grep -q 'not installed properly' '$w/first.err'" || fail "no 'not installed properly' balloon"
grep -qxF "${reached}Warehouse Upload Tool is not installed properly. (balloon window on screen)" "$w/first.err" \
    || fail "the not-installed balloon did not reach the tray, or its window is not on screen"
grep -qxF "Warehouse Tool: Warehouse Upload Tool is not installed properly." "$w/first.err" \
    && fail "the tool saw no tray"
kill -TERM $first; wait $first; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc after SIGTERM"

# Installed: a second start's notice reaches the first instance's tray.
mkdir -p "$w/claims/Warehouse/TempArcs"
echo arcs > "$w/claims/Warehouse/TempArcs/ARCS.DB"
"$exe" >"$w/second.out" 2>"$w/second.err" & second=$!; pids+=($second)
wait_for "grep -q 'launch warehouse tool' '$log' 2>/dev/null" || fail "no launch line"
timeout 20 "$exe" >"$w/third.out" 2>"$w/third.err"; rc=$?
[ $rc -eq 0 ] || fail "the second start ended with $rc"
wait_for "grep -q 'already running' '$w/second.err'" || fail "no 'already running' balloon"
grep -qxF "${reached}Warehouse Upload Tool already running. (balloon window on screen)" "$w/second.err" \
    || fail "the 'already running' balloon did not reach the tray, or its window is not on screen"
kill -TERM $second; wait $second; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc after SIGTERM"
echo "balloons of start-up and of a second start reach the tray"
