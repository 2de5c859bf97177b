#!/usr/bin/env bash
# The tray tool as real processes under the offscreen platform: a second start only notifies the
# first and leaves no trace, "1" on the instance socket closes the tool with the shutdown line
# last, the end of the session closes it once however often it is told, and a missing ARCS
# template leaves it not installed.
set -u
exe=$1
w=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$w"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$w"/*.err; do echo "--- $f"; cat "$f"; done; exit 1; }

mkdir -p "$w"/{prog,claims/Warehouse/TempArcs,data,tmp,run}
echo "KVXClaimsDB=$w/claims" > "$w/prog/DBAlias.ini"
printf 'WServer=https://127.0.0.1:9\r\n[Check]\r\nInterval=900000\r\n' > "$w/claims/Warehouse/warehouse.ini"
echo arcs > "$w/claims/Warehouse/TempArcs/ARCS.DB"
export WHUPLOAD_PROGRAM_DIR="$w/prog" XDG_DATA_HOME="$w/data" TMPDIR="$w/tmp" XDG_RUNTIME_DIR="$w/run" \
       QT_QPA_PLATFORM=offscreen HOME="$w"
log="$w/claims/Warehouse/log.txt"

wait_for() { for _ in $(seq 100); do eval "$1" && return 0; sleep 0.1; done; return 1; }

"$exe" >"$w/first.out" 2>"$w/first.err" & first=$!; pids+=($first)
wait_for "grep -q 'launch warehouse tool' '$log' 2>/dev/null" || fail "no launch line"
[ -S "$w/run/WHUpload_Instance" ] || fail "no instance socket in the runtime folder"

# A second start, with its own (absent) data folder: it must create nothing and log nothing.
XDG_DATA_HOME="$w/second-data" timeout 20 "$exe" DEBUG >"$w/second.out" 2>"$w/second.err"; rc=$?
[ $rc -eq 0 ] || fail "second start ended with $rc"
[ ! -e "$w/second-data" ] || fail "second start created folders"
[ "$(grep -c 'launch warehouse tool' "$log")" -eq 1 ] || fail "second start wrote a launch line"
wait_for "grep -q 'Warehouse Upload Tool already running.' '$w/first.err'" || fail "first instance showed no notice"

# Anything but 0 and 1 is ignored.
python3 -c "import socket,sys;s=socket.socket(socket.AF_UNIX);s.connect(sys.argv[1]);s.sendall(b'2');s.close()" \
    "$w/run/WHUpload_Instance"
sleep 0.5
kill -0 $first 2>/dev/null || fail "the tool ended on request 2"

python3 -c "import socket,sys;s=socket.socket(socket.AF_UNIX);s.connect(sys.argv[1]);s.sendall(b'1');s.close()" \
    "$w/run/WHUpload_Instance"
wait_for "! kill -0 $first 2>/dev/null" || fail "the tool did not close on request 1"
wait $first; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc after the close request"
last=$(tr -d '\r' < "$log" | grep -v '^$' | tail -n 1)
[[ "$last" == "WHT Shutdown @ "* ]] || fail "last log line: $last"

# SIGTERM is the end of the session: balloon, then the same close.
"$exe" >"$w/third.out" 2>"$w/third.err" & third=$!; pids+=($third)
wait_for "[ \$(grep -c 'launch warehouse tool' '$log') -eq 2 ]" || fail "no second launch line"
kill -TERM $third
wait $third; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc after SIGTERM"
grep -q "System Shutdown" "$w/third.err" || fail "no System Shutdown balloon"
[ "$(grep -c 'WHT Shutdown @ ' "$log")" -eq 2 ] || fail "no shutdown line after SIGTERM"

# The end of the session told again and again (SIGTERM, then SIGHUP until the tool is gone): one
# balloon, one shutdown line, and an ordinary end however late a signal comes.
"$exe" >"$w/repeat.out" 2>"$w/repeat.err" & repeat=$!; pids+=($repeat)
wait_for "[ \$(grep -c 'launch warehouse tool' '$log') -eq 3 ]" || fail "no third launch line"
kill -TERM $repeat
for _ in $(seq 20000); do kill -HUP $repeat 2>/dev/null || break; done
wait $repeat; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc after SIGTERM and SIGHUP"
[ "$(grep -c 'System Shutdown' "$w/repeat.err")" -eq 1 ] || fail "not one System Shutdown balloon"
[ "$(grep -c 'WHT Shutdown @ ' "$log")" -eq 3 ] || fail "not one shutdown line after SIGTERM and SIGHUP"

# Not installed: attention, its balloon, no launch line.
rm -rf "$w/data/Korvan/Warehouse/TempArcs" "$w/claims/Warehouse/TempArcs"
"$exe" >"$w/fourth.out" 2>"$w/fourth.err" & fourth=$!; pids+=($fourth)
wait_for "grep -q 'not installed properly' '$w/fourth.err'" || fail "no 'not installed properly' balloon"
grep -q "Warehouse Upload Tool is not installed properly." "$w/fourth.err" || fail "balloon text"
grep -q "tray: attention" "$w/fourth.err" || fail "tray not in the attention state"
[ "$(grep -c 'launch warehouse tool' "$log")" -eq 3 ] || fail "not-installed start wrote a launch line"
kill -TERM $fourth; wait $fourth
echo "instance, close request, session end and installation check hold"
