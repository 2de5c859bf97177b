#!/usr/bin/env bash
# What `cmake --install` puts on a desktop: the three programs, the menu entry and the autostart
# entry (the same file), the manual pages, and the icon the entry names in every theme size, each
# PNG the size its folder says.
set -u
build=$1
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$w/prefix" >"$w/install.log" 2>&1 || { cat "$w/install.log"; fail "install failed"; }
p="$w/prefix"
for program in whupload whupload-cli warehouse-server; do
    [ -x "$p/bin/$program" ] || fail "bin/$program is not installed"
done
entry="$p/share/applications/whupload.desktop"
autostart="$p/etc/xdg/autostart/whupload.desktop"
[ -f "$entry" ] || fail "no menu entry"
[ -f "$autostart" ] || fail "no autostart entry"
cmp -s "$entry" "$autostart" || fail "the autostart entry differs from the menu entry"
head -n 1 "$entry" | grep -qx '\[Desktop Entry\]' || fail "the entry does not open with [Desktop Entry]"
for line in 'Type=Application' 'TryExec=whupload' 'Exec=whupload' 'Icon=whupload' 'Terminal=false' 'Name=Warehouse Upload Tool'; do
    grep -qx "$line" "$entry" || fail "the entry lacks $line"
done
for page in man1/whupload.1 man1/whupload-cli.1 man8/warehouse-server.8; do
    [ -f "$p/share/man/$page" ] || fail "the manual page share/man/$page is not installed"
done
PATH="$p/bin:$PATH" command -v "$(sed -n 's/^Exec=//p' "$entry")" >/dev/null || fail "Exec does not name an installed program"

python3 - "$p/share/icons/hicolor" <<'PY' || fail "icon theme"
import os, struct, sys
root = sys.argv[1]
sizes = [16, 22, 24, 32, 48, 64, 96, 128, 192, 256, 512]
for size in sizes:
    path = os.path.join(root, f"{size}x{size}", "apps", "whupload.png")
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        sys.exit(f"{path} is no PNG")
    width, height = struct.unpack(">II", head[16:24])
    if (width, height) != (size, size):
        sys.exit(f"{path} is {width}x{height}")
PY
echo "installed: programs, menu and autostart entries, manual pages, icon in 11 sizes"
