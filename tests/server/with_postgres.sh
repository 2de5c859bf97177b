#!/usr/bin/env bash
# Runs a command beside a private PostgreSQL cluster of its own: initdb in a fresh temporary
# folder, the server listening only on a socket in that folder, stopped and removed afterwards.
# The command finds the socket folder in WH_TEST_POSTGRES_HOST (user "wh", no password).
# PostgreSQL refuses to run as root, so as root the cluster runs as the postgres (or nobody) user.
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    echo "with_postgres: no PostgreSQL server programs under /usr/lib/postgresql (scripts/setup installs them)" >&2
    exit 1
fi

folder=$(mktemp -d "${TMPDIR:-/tmp}/wh-pg-XXXXXX")
as=()
if [ "$(id -u)" -eq 0 ]; then
    owner=postgres
    id "$owner" >/dev/null 2>&1 || owner=nobody
    chown "$owner" "$folder"
    as=(setpriv --reuid="$owner" --regid="$(id -g "$owner")" --clear-groups --)
fi

stop() {
    (cd "$folder" && "${as[@]}" "$bindir/pg_ctl" -D "$folder/data" -m immediate stop >/dev/null 2>&1) || true
    rm -rf "$folder"
}
trap stop EXIT

cd "$folder"
if ! "${as[@]}" "$bindir/initdb" -D "$folder/data" -U wh --auth=trust -E UTF8 --no-locale >"$folder/initdb.log" 2>&1; then
    cat "$folder/initdb.log" >&2
    exit 1
fi
# Durability is beside the point for a cluster that lives as long as one test run.
if ! "${as[@]}" "$bindir/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w \
    -o "-k $folder -c listen_addresses='' -c max_connections=300 -c fsync=off -c synchronous_commit=off" \
    start >/dev/null; then
    cat "$folder/server.log" >&2
    exit 1
fi
cd - >/dev/null

export WH_TEST_POSTGRES_HOST="$folder"
"$@"
