#!/usr/bin/env bash
# Two users of one machine, neither with TMPDIR set: each gets a temporary folder of their own
# below /tmp, so both start the tool (engine folder, local tree) and reach the server, and a
# folder planted under one user's name by another is refused with a clear message. Runs the
# children under other user ids, so it needs root; elsewhere it is skipped.
set -u
cli=$1
server=$2
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "SKIP: needs root and setpriv to run children as other users"
    exit 77
fi

users=(61041 61042)
planted=61043
w=$(mktemp -d)
chmod 755 "$w"
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$w"
    for uid in "${users[@]}" "$planted"; do rm -rf "/tmp/whupload-$uid"; done
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$server" --data "$w/server" --listen 127.0.0.1:0 >"$w/server.out" 2>"$w/server.err" &
server_pid=$!
for _ in $(seq 300); do grep -q "listening on https://" "$w/server.out" 2>/dev/null && break; sleep 0.1; done
base=$(grep -o "https://[0-9.:]*" "$w/server.out" | head -n 1)
[ -n "$base" ] || fail "warehouse-server did not start: $(cat "$w/server.err")"

# The build folder may not be readable by other users; the program needs only system libraries.
mkdir "$w/bin"
cp "$cli" "$w/bin/whupload-cli"
chmod 755 "$w/bin" "$w/bin/whupload-cli"

# A workstation owned by `uid`, without TMPDIR, XDG_DATA_HOME or XDG_RUNTIME_DIR.
run_check() {
    local uid=$1 h="$w/u$1"
    mkdir -p "$h/prog" "$h/claims/Warehouse/TempArcs" "$h/home"
    echo "KVXClaimsDB=$h/claims" >"$h/prog/DBAlias.ini"
    printf 'WServer=%s\r\n' "$base" >"$h/claims/Warehouse/warehouse.ini"
    echo arcs >"$h/claims/Warehouse/TempArcs/ARCS.DB"
    chown -R "$uid:$uid" "$h"
    setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        env -i PATH=/usr/bin:/bin HOME="$h/home" WHUPLOAD_PROGRAM_DIR="$h/prog" \
        "$w/bin/whupload-cli" check >"$w/check-$uid.out" 2>&1
}

for uid in "${users[@]}"; do rm -rf "/tmp/whupload-$uid"; done
for uid in "${users[@]}"; do
    run_check "$uid"
    out=$(cat "$w/check-$uid.out")
    grep -q "Could not set BDE Private Directory" <<<"$out" && fail "user $uid got the private folder error: $out"
    grep -q "Installation check: *passed" <<<"$out" || fail "user $uid: installation check: $out"
    grep -q "/api/status: *answers (status" <<<"$out" || fail "user $uid reached no server: $out"
    temp="/tmp/whupload-$uid"
    [ "$(stat -c '%u %a' "$temp")" = "$uid 700" ] || fail "$temp: $(stat -c '%U %a' "$temp")"
    [ -d "$temp/Warehouse" ] || fail "no engine folder in $temp"
    [ "$(stat -c %u "$temp/Korvan_Warehouse_Log.txt")" = "$uid" ] || fail "no wire log of user $uid in $temp"
done

# Another user planted the folder this user's name points at: refused, and nothing is sent.
mkdir -p "/tmp/whupload-$planted"
chown "${users[0]}:${users[0]}" "/tmp/whupload-$planted"
chmod 777 "/tmp/whupload-$planted"
run_check "$planted"
out=$(cat "$w/check-$planted.out")
grep -q "Could not set BDE Private Directory" <<<"$out" || fail "no engine error for a planted folder: $out"
grep -q "belongs to another user" <<<"$out" || fail "the planted folder was not named as such: $out"
grep -q "answers (status" <<<"$out" && fail "a request went out through a planted folder: $out"
[ ! -e "/tmp/whupload-$planted/Korvan_Warehouse_Log.txt" ] || fail "wire log written into a planted folder"
echo "two users each have their own temporary folder; a planted one is refused"
