# Sourced by the desktop tests: a scratch folder $w, the array pids of processes that the clean-up
# on exit ends (last started, first ended), wait_for, a private X display (Xvfb on the first free
# display number from 93 on) and, when asked, the tray host trayer on it.

w=$(mktemp -d)
pids=()
cleanup()
{
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
    # A process that ignores the request (a test that failed with a window open) is not waited
    # for beyond a few seconds.
    for _ in $(seq 50); do
        kill -0 "${pids[@]}" 2>/dev/null || break
        sleep 0.1
    done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -9 "${pids[i]}" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$w"
}
trap cleanup EXIT

# Runs a shell condition every 0.1 s until it holds; false after 10 s.
wait_for() { for _ in $(seq 100); do eval "$1" && return 0; sleep 0.1; done; return 1; }

# Ends the test as skipped (77) when one of the tools it needs is not installed.
need_tools()
{
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
    done
}

# Starts Xvfb and exports DISPLAY once the server answers.
start_display()
{
    local d server
    for d in $(seq 93 199); do
        if [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ]; then
            continue
        fi
        # -noreset: a server that resets when its last client leaves (the probe below) refuses
        # the next client for a moment, and that client is the tray host.
        Xvfb ":$d" -screen 0 1024x768x24 -nolisten tcp -noreset >"$w/xvfb-$d.log" 2>&1 &
        server=$!
        pids+=("$server")
        for _ in $(seq 100); do
            # The lock file names the server that won the number, when tests start displays at once.
            if [ "$(tr -d ' \n' <"/tmp/.X$d-lock" 2>/dev/null)" = "$server" ] \
                && xwininfo -root -display ":$d" >/dev/null 2>&1; then
                export DISPLAY=":$d"
                return 0
            fi
            kill -0 "$server" 2>/dev/null || break # another server took the number first
            sleep 0.1
        done
        kill "$server" 2>/dev/null
    done
    return 1
}

# True once trayer's panel is on screen; it owns the tray selection by then.
tray_host_mapped()
{
    local id
    id=$(xwininfo -root -tree | grep -F '("panel" "trayer")' | awk '{ print $1 }' | head -n 1)
    [ -n "$id" ] && xwininfo -id "$id" | grep -q 'Map State: IsViewable'
}

start_tray_host()
{
    trayer --edge top --align right --widthtype request --height 24 >"$w/trayer.log" 2>&1 &
    pids+=("$!")
    wait_for tray_host_mapped
}

# The tray tool talks to the X server directly: no desktop bus tray and no session manager.
use_display()
{
    export QT_QPA_PLATFORM=xcb
    unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
}

# The centre of the tool's icon in trayer's panel, as "X Y" on the screen.
icon_centre()
{
    local panel
    panel=$(xwininfo -root -tree | grep -F '("panel" "trayer")' | awk '{ print $1 }' | head -n 1)
    [ -n "$panel" ] || return 1
    xwininfo -id "$panel" -tree | grep -F '("whupload"' | head -n 1 \
        | sed -E 's/.* ([0-9]+)x([0-9]+)\+-?[0-9]+\+-?[0-9]+ +\+(-?[0-9]+)\+(-?[0-9]+)$/\1 \2 \3 \4/' \
        | awk 'NF == 4 { print $3 + int($1 / 2), $4 + int($2 / 2) }'
}

# The id of the tool's open tray menu: a new top-level window of the tool, wider than the icon.
menu_window()
{
    local id
    for id in $(xwininfo -root -children | grep -F '("whupload"' | awk '{ print $1 }'); do
        if xwininfo -id "$id" | grep -q 'Map State: IsViewable' \
            && xwininfo -id "$id" | grep -qE 'Width: ([3-9][0-9]|[0-9]{3})'; then
            echo "$id"
            return 0
        fi
    done
    return 1
}

# A visible window of the tool with exactly this title.
window_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }

# Opens the menu of the icon at $x $y and picks the item `downs` rows from the top (the separator
# is skipped by the keys); a menu that missed the keys is opened again, until `started` holds.
choose()
{
    local downs=$1 started=$2 attempt keys
    keys=$(printf 'Down %.0s' $(seq "$downs"))
    for attempt in 1 2 3; do
        xdotool mousemove "$x" "$y" click 3
        if wait_for "[ -n \"\$(menu_window)\" ]"; then
            # shellcheck disable=SC2086
            xdotool key $keys Return
            wait_for "$started" && return 0
        fi
        xdotool key Escape
        echo "menu attempt $attempt: $started did not hold"
    done
    return 1
}

# --- The tray tests' sample: a warehouse-server and a workstation signed up with it, the tray tool
# on the private display. They take the tool, the server and whfixture as $exe, $server and
# $fixture, and set $log to the activity log.

# The failure of a tray test: the message, then what the programs wrote and the activity log.
fail()
{
    echo "FAIL: $*"
    for f in "$w"/*.err "$w"/trayer.log "${log:-}"; do [ -e "$f" ] && { echo "--- $f"; cat "$f"; }; done
    exit 1
}

# wait_for with a deadline of 30 s, for an upload run.
wait_long() { for _ in $(seq 300); do eval "$1" && return 0; sleep 0.1; done; return 1; }

# Starts warehouse-server on loopback with the sample account (password "secret") and makes the
# workstation $w/ws with 3 claims, one of them open, whose stored password is $1 and whose timer
# interval is $2 ms. Sets $url, $server_pid and $log.
start_sample_warehouse()
{
    local password=$1 interval=$2
    "$server" --data "$w/server" add-user --company "Sample Adjusting" --user adjuster --password secret \
        --company-id 11 --region-id 22 --office-id 33 --department-id 44 --user-id 55 >/dev/null \
        || fail "add-user failed"
    "$server" --data "$w/server" --listen 127.0.0.1:0 >"$w/server.out" 2>"$w/server.err" &
    server_pid=$!
    pids+=("$server_pid")
    wait_for "grep -q 'listening on https://' '$w/server.out'" || fail "warehouse-server did not start"
    url=$(grep -o 'https://[^ ]*' "$w/server.out" | head -n 1)
    "$fixture" --root "$w/ws" --claims 3 --open-claims 1 --server "$url" --interval "$interval" \
        --warehouse-user adjuster --warehouse-password "$password" --company "Sample Adjusting" >/dev/null \
        || fail "whfixture failed"
    log="$w/ws/Claims/Warehouse/log.txt"
}

# The display, the tray host and the private folders of the tool, then the tool itself, on the
# sample workstation; returns once its launch line is in the activity log. Sets $tool.
start_tray_tool()
{
    start_display || fail "no X display could be started"
    start_tray_host || fail "the tray host did not come up"
    use_display
    mkdir -p "$w"/{data,tmp,run}
    chmod 700 "$w/run"
    export WHUPLOAD_PROGRAM_DIR="$w/ws/Program" XDG_DATA_HOME="$w/data" TMPDIR="$w/tmp" XDG_RUNTIME_DIR="$w/run" \
        HOME="$w"
    "$exe" >"$w/tool.out" 2>"$w/tool.err" &
    tool=$!
    pids+=("$tool")
    wait_for "grep -q 'launch warehouse tool' '$log' 2>/dev/null" || fail "no launch line"
}
