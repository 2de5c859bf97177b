#!/usr/bin/env bash
# The Debian packages as a user meets them: built by scripts/package in this test's own folder,
# checked by lintian, installed with apt, the service's server started as its unit starts it, an
# upload run of the installed whupload-cli against it, then remove and purge.
# Usage: package_test.sh SOURCE_DIR WHFIXTURE
# Needs root and apt (exit 77, a skip, otherwise). It installs and removes the packages
# whupload and warehouse-server, and refuses to run where they or /var/lib/warehouse-server
# already exist: an administrator's installation and data are never touched.
set -uo pipefail
repo=$1
whfixture=$2
skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*"
    exit 1
}
step() { printf '\n== %s\n' "$*"; }

[ "$(id -u)" -eq 0 ] || skip "the package test installs packages and needs root (CI runs as root)."
command -v apt-get >/dev/null && command -v dpkg >/dev/null || skip "apt-get and dpkg are not available."

data=/var/lib/warehouse-server
service_packages=(whupload warehouse-server)
# An earlier run of this test that was killed leaves this mark (it lives until the next boot): what
# it installed and made may then be cleared, nothing else.
mark=/run/whupload-package-test
if [ -f "$mark" ]; then
    echo "Clearing what an interrupted earlier run of this test left: $(cat "$mark")"
    apt-get -o DPkg::Lock::Timeout=600 purge -y -q "${service_packages[@]}" >/dev/null 2>&1
    grep -q '^data$' "$mark" && rm -rf -- "$data"
    grep -q '^user$' "$mark" && userdel _warehouse-server 2>/dev/null
    rm -f "$mark"
fi
for p in "${service_packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$'; then
        skip "the package $p is on this machine already; the test would remove it. Purge it first."
    fi
done
[ -e "$data" ] && skip "$data exists (a warehouse's data?); the test would use and remove it. Move it away first."
user_existed=no
getent passwd _warehouse-server >/dev/null && user_existed=yes

w=$(mktemp -d)
server_pid=
installed=no
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    if [ "$installed" = yes ]; then
        apt-get -o DPkg::Lock::Timeout=600 purge -y -q "${service_packages[@]}" >/dev/null 2>&1
    fi
    if [ -f "$mark" ]; then
        grep -q '^data$' "$mark" && rm -rf -- "$data"
        grep -q '^user$' "$mark" && userdel _warehouse-server 2>/dev/null
        rm -f "$mark"
    fi
    rm -rf -- "$w"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$w/tmp"
export TMPDIR=$w/tmp

# --- Build.
step "Building the packages with scripts/package"
debs=$w/debs
start=$(date +%s)
"$repo/scripts/package" "$debs" || fail "scripts/package failed."
echo "built in $(($(date +%s) - start)) s"
project_version=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
changelog_version=$(cd "$repo" && dpkg-parsechangelog -S Version)
upstream=${changelog_version%-*}
[ "${upstream#*:}" = "$project_version" ] \
    || fail "debian/changelog's upstream version ${upstream#*:} is not the project's version $project_version."
for p in "${service_packages[@]}"; do
    deb=$(ls "$debs/${p}_"*.deb 2>/dev/null)
    [ "$(wc -w <<<"$deb")" -eq 1 ] || fail "not exactly one $p package in $debs: $deb"
    version=$(dpkg-deb -f "$deb" Version)
    [ "$version" = "$changelog_version" ] || fail "$deb has version $version, debian/changelog $changelog_version."
    printf -v "deb_${p//-/_}" '%s' "$deb"
done

# --- lintian: no error, no warning that is not overridden with its reason.
step "lintian"
lintian --fail-on error,warning --display-level '>=warning' "$debs"/*.changes || fail "lintian found errors or warnings."
echo "no errors, no warnings"

# --- Install as a user does.
step "Installing both packages with apt-get"
printf 'data\n' >"$mark"
[ "$user_existed" = no ] && printf 'user\n' >>"$mark"
installed=yes
apt-get -o DPkg::Lock::Timeout=600 install -y -q "$deb_whupload" "$deb_warehouse_server" >"$w/install.log" 2>&1 \
    || { cat "$w/install.log"; fail "apt-get install failed."; }

programs=(/usr/bin/whupload /usr/bin/whupload-cli /usr/sbin/warehouse-server)
entries=(/usr/share/applications/whupload.desktop /etc/xdg/autostart/whupload.desktop)
pages=(/usr/share/man/man1/whupload.1.gz /usr/share/man/man1/whupload-cli.1.gz
    /usr/share/man/man8/warehouse-server.8.gz)
unit=$(dpkg -L warehouse-server | grep '/systemd/system/warehouse-server\.service$')
config=/etc/warehouse-server/warehouse-server.conf
icons=$(dpkg -L whupload | grep -c '^/usr/share/icons/hicolor/[0-9]*x[0-9]*/apps/whupload\.png$')
owned=("${programs[@]}" "${entries[@]}" "${pages[@]}" "$unit" "$config")
for f in "${owned[@]}"; do
    [ -f "$f" ] || fail "$f is not installed."
done
[ "$icons" -ge 8 ] || fail "only $icons icon sizes are installed."
dpkg-query -W -f='${Conffiles}\n' warehouse-server | grep -q " $config " || fail "$config is not a conffile."

step "The installed programs, entries, pages and unit"
/usr/bin/whupload-cli --help >"$w/help.txt" 2>&1 || { cat "$w/help.txt"; fail "whupload-cli --help failed."; }
/usr/sbin/warehouse-server --help >"$w/help.txt" 2>&1 || { cat "$w/help.txt"; fail "warehouse-server --help failed."; }
for entry in "${entries[@]}"; do
    desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry."
done
for page in "${pages[@]}"; do
    MANWIDTH=80 man --warnings -l "$page" >"$w/page.txt" 2>"$w/page.err"
    [ $? -eq 0 ] && [ ! -s "$w/page.err" ] || { cat "$w/page.err"; fail "man -l $page warns or fails."; }
    grep -q . "$w/page.txt" || fail "man -l $page renders nothing."
done
systemd-analyze verify "$unit" >"$w/verify.txt" 2>&1 || { cat "$w/verify.txt"; fail "systemd-analyze verify rejects $unit."; }
# Only lines about our unit count; a host's other units may have their own complaints.
if grep -i 'warehouse-server' "$w/verify.txt"; then
    fail "systemd-analyze verify has remarks on $unit."
fi
# The confinement as systemd rates it: the "OK" band (below 2.0) or better.
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 \
    | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
case $exposure in
*" SAFE" | *" OK") ;;
*) fail "systemd-analyze security rates $unit \"$exposure\", not OK or better." ;;
esac
echo "help, desktop entries, ${#pages[@]} manual pages and the unit pass; $icons icon sizes;" \
    "exposure $exposure"

# --- The service as its unit runs it.
step "Starting the server as $unit starts it"
unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
exec_start=$(unit_value ExecStart)
service_user=$(unit_value User)
service_group=$(unit_value Group)
service_umask=$(unit_value UMask)
[ -n "$exec_start" ] && [ -n "$service_user" ] || fail "$unit has no ExecStart or User."
service_home=$(getent passwd "$service_user" | cut -d: -f6)
[ "$service_home" = "$data" ] || fail "the package did not make the user $service_user with the home folder $data."
[ "$(stat -c '%U %a' "$data")" = "$service_user 700" ] \
    || fail "$data is $(stat -c '%U %a' "$data"), not $service_user 700."
read -r -a command <<<"$exec_start"
grep -qx -- "--config $config" <<<"${command[*]:1}" || fail "ExecStart does not read $config: $exec_start"
port=$(sed -n 's/^listen *= *.*:\([0-9]*\)$/\1/p' "$config")
[ -n "$port" ] && [ "$port" -ge 1024 ] || fail "the configured port \"$port\" needs a capability the unit does not give."
if command -v ss >/dev/null && ss -Hltn "sport = :$port" | grep -q .; then
    # Another program holds the port on this machine: a free one instead, the rest as the unit has it.
    echo "port $port is in use here; the server listens on a free loopback port instead"
    command+=(--listen 127.0.0.1:0)
fi
# The unit's user, group and umask, no capability of any kind, no way to gain privileges, the
# environment systemd gives a service of a user (HOME is where libpq looks for .pgpass); standard
# output and error go where the journal would take them; the folder is /, as for every service.
(
    cd / || exit 1
    umask "${service_umask:-0022}"
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        HOME="$service_home" USER="$service_user" LOGNAME="$service_user" SHELL=/usr/sbin/nologin \
        setpriv --reuid="$service_user" --regid="${service_group:-$service_user}" --init-groups \
        --no-new-privs --bounding-set=-all --inh-caps=-all -- "${command[@]}"
) >"$w/server.out" 2>"$w/server.err" &
server_pid=$!
address=
for _ in $(seq 300); do
    address=$(sed -n 's/^listening on https:\/\/[^ ]*:\([0-9]*\).*/\1/p' "$w/server.out")
    [ -n "$address" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$address" ] || { cat "$w/server.err"; fail "the server did not start listening."; }
address=https://127.0.0.1:$address
echo "listening; the workstation uses $address"
for f in warehouse.db server.crt server.key; do
    [ "$(stat -c %U "$data/$f" 2>/dev/null)" = "$service_user" ] || fail "$data/$f is missing or not $service_user's."
done

step "Adding an account with the packaged program, as $service_user"
company="Package Test"
user=adjuster
password=package-test-password
printf '%s\n' "$password" | runuser -u "$service_user" -- /usr/sbin/warehouse-server --config "$config" \
    add-user --company "$company" --user "$user" --company-id 1 --region-id 1 --office-id 1 \
    --department-id 1 --user-id 1 || fail "add-user failed."

step "An upload run of a sample claims directory with /usr/bin/whupload-cli"
claims=6
open_claims=1
"$whfixture" --root "$w/ws" --claims "$claims" --open-claims "$open_claims" --files-per-claim 2 \
    --subfolder-files 1 --file-bytes 5000 --server "$address" --warehouse-user "$user" \
    --warehouse-password "$password" --company "$company" >"$w/fixture.log" 2>&1 \
    || { cat "$w/fixture.log"; fail "whfixture failed."; }
mkdir -p "$w/local"
export WHUPLOAD_PROGRAM_DIR=$w/ws/Program XDG_DATA_HOME=$w/local
/usr/bin/whupload-cli run >"$w/run.out" 2>"$w/run.err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$w/run.out" "$w/run.err"; fail "whupload-cli run exited with $rc."; }
/usr/bin/whupload-cli table dump "$w/ws/Claims/Claims.DB" >"$w/claims.tsv" || fail "cannot dump Claims.DB."
field() { head -n 1 "$w/claims.tsv" | tr '\t' '\n' | grep -nx "$1" | cut -d: -f1; }
stored=0
while IFS=$'\t' read -r number id closed; do
    [ "$closed" = True ] || continue
    [ -n "$id" ] && [ "$id" != 0 ] || fail "closed claim $number got no server id."
    archive=$(find "$data/store" -path "*/claims/$id.kvz" -print -quit)
    [ -n "$archive" ] && [ -f "${archive%.kvz}.json" ] || fail "claim $number ($id) is not in $data/store."
    stored=$((stored + 1))
done < <(awk -F'\t' -v n="$(field ClaimNumber)" -v i="$(field SrvClaimID)" -v c="$(field ClaimisClosed)" \
    'NR > 1 { print $n "\t" $i "\t" $c }' "$w/claims.tsv")
[ "$stored" -eq $((claims - open_claims)) ] || fail "$stored claims stored, $((claims - open_claims)) closed."
grep -q ' PUT ' "$w/server.err" || fail "the server's log (its standard error, the journal's) shows no upload."
echo "all $stored closed claims are stored in $data/store"

kill "$server_pid"
wait "$server_pid"
rc=$?
server_pid=
[ "$rc" -eq 0 ] || fail "the server ended with $rc on SIGTERM."

# --- Remove, then purge.
step "apt-get remove, then purge"
apt-get -o DPkg::Lock::Timeout=600 remove -y -q "${service_packages[@]}" >"$w/remove.log" 2>&1 \
    || { cat "$w/remove.log"; fail "apt-get remove failed."; }
for f in "${programs[@]}" "${entries[0]}" "${pages[@]}" "$unit"; do
    [ ! -e "$f" ] || fail "$f is left after remove."
done
# Files in /etc are the administrator's (conffiles): remove keeps them, purge takes them. The
# autostart entry kept names its program in TryExec, so no session tries to start what is gone.
[ -f "$config" ] || fail "remove took the configuration $config (only purge may)."
try_exec=$(sed -n 's/^TryExec=//p' "${entries[1]}" 2>/dev/null)
if [ -e "${entries[1]}" ] && { [ -z "$try_exec" ] || command -v "$try_exec" >/dev/null; }; then
    fail "${entries[1]}, kept after remove, would still start a session's tool (TryExec=$try_exec)."
fi
apt-get -o DPkg::Lock::Timeout=600 purge -y -q "${service_packages[@]}" >"$w/purge.log" 2>&1 \
    || { cat "$w/purge.log"; fail "apt-get purge failed."; }
installed=no
for f in "${owned[@]}" /etc/warehouse-server; do
    [ ! -e "$f" ] || fail "$f is left after purge."
done
[ -z "$(find /usr/share/icons/hicolor -name whupload.png)" ] || fail "icons are left after purge."
[ -f "$data/warehouse.db" ] && [ -n "$(find "$data/store" -name '*.kvz' -print -quit)" ] \
    || fail "purge removed the data in $data; it must stay."
echo "nothing is left but the data folder $data, as the manual page says"
echo "PASS"
