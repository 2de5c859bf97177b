#!/usr/bin/env bash
# Start-up without a claims directory, on an X display without a tray host (so that messages are
# noted on standard error too): a missing DBAlias.ini, one without a KVXClaimsDB line and one with
# an empty value each show the alias message once, in a box that the test answers; the tool then
# ends with 0 and leaves the folder it was started from empty. Skipped (77) when Xvfb, xwininfo or
# xdotool is missing.
set -u
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop.sh
source "$here/desktop.sh"
fail() { echo "FAIL: $*"; for f in "$w"/*/err; do echo "--- $f"; cat "$f"; done; exit 1; }

need_tools Xvfb xwininfo xdotool python3
start_display || fail "no X display could be started"
use_display

message='Please check the location of your \r\nWarehouse Upload Program, it must be in\r\nthe Korvan Program folder.\r\n\r\nError: Could not locate the DBALIAS.INI file.'

# name | content of DBAlias.ini ("-": no file)
cases=(
    'missing|-'
    'no-line|Other=1\r\n'
    'empty-value|KVXClaimsDB=\r\n'
)
for case in "${cases[@]}"; do
    name=${case%%|*}
    alias=${case#*|}
    c="$w/$name"
    mkdir -p "$c"/{prog,work,data,tmp,run}
    chmod 700 "$c/run"
    [ "$alias" = "-" ] || printf "$alias" > "$c/prog/DBAlias.ini"
    (
        cd "$c/work" || exit 99
        WHUPLOAD_PROGRAM_DIR="$c/prog" XDG_DATA_HOME="$c/data" TMPDIR="$c/tmp" XDG_RUNTIME_DIR="$c/run" HOME="$c" \
            exec "$exe" >"$c/out" 2>"$c/err"
    ) &
    tool=$!
    pids+=($tool)

    box=$(timeout 20 xdotool search --sync --onlyvisible --name '^Warehouse Upload$' | head -n 1)
    [ -n "$box" ] || fail "$name: no message box"
    xdotool windowfocus --sync "$box" key Return || fail "$name: the box could not be answered"
    wait_for "! kill -0 $tool 2>/dev/null" || fail "$name: the tool did not end after its message"
    wait $tool; rc=$?
    [ $rc -eq 0 ] || fail "$name: exit code $rc"
    python3 - "$c/err" "Warehouse Upload: $(printf "$message")" <<'PY' || fail "$name: the alias message was not shown exactly once"
import sys
noted = open(sys.argv[1], "rb").read()
sys.exit(0 if noted.count(sys.argv[2].encode() + b"\n") == 1 and noted.count(b"Warehouse Upload: ") == 1 else 1)
PY
    [ -z "$(ls -A "$c/work")" ] || fail "$name: the working folder holds $(ls -A "$c/work")"
done
echo "start-up without a claims directory shows the alias message once and ends"
