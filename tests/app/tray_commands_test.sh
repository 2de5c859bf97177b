#!/usr/bin/env bash
# Every tray command from the menu of a running whupload on an X display with a tray host (Xvfb
# and trayer), against a real warehouse-server: the menu, Settings with the user picker (keyboard
# alone), Auxiliary Files (a Put from its window), Claim Search, and Shutdown refused while an
# upload run waits for the server. Screenshots of the menu and of each window go to SCREENSHOTS. Skipped (77) when
# Xvfb, trayer, xwininfo, xdotool or import is missing.
set -u
exe=$1
server=$2
fixture=$3
shots=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop.sh
source "$here/desktop.sh"

need_tools Xvfb trayer xwininfo xdotool import
mkdir -p "$shots"
# The stored password is wrong: Settings mends it below.
start_sample_warehouse wrong 60000
start_tray_tool

shot() { import -window "$1" "$shots/$2" || fail "screenshot $2"; }

wait_for "[ -n \"\$(icon_centre)\" ]" || fail "the tool's icon is not in the tray"
read -r x y <<<"$(icon_centre)"

# The menu itself.
xdotool mousemove "$x" "$y" click 3
wait_for "[ -n \"\$(menu_window)\" ]" || fail "the menu did not open"
sleep 0.3
shot "$(menu_window)" tray_menu.png
xdotool key Escape
wait_for "[ -z \"\$(menu_window)\" ]" || fail "the menu did not close"

# Settings: the fixture stored a wrong password; the dialog (keyboard only) mends it, after a look
# at the user picker, and the sign-in that follows the dialog uses it.
choose 4 "[ -n \"\$(window_named 'Warehouse Settings')\" ]" || fail "Settings opened no dialog"
settings=$(window_named 'Warehouse Settings')
sleep 0.3
shot "$settings" tray_settings.png
# ServerEdit has the focus: two tabs to the password, then past the company and OK to Select User.
xdotool key Tab Tab ctrl+a
xdotool type --delay 20 secret
xdotool key Tab Tab Tab space
wait_for "[ -n \"\$(window_named 'Select User')\" ]" || fail "Select User opened no picker"
sleep 0.3
shot "$(window_named 'Select User')" tray_user_picker.png
xdotool key Escape
wait_for "[ -z \"\$(window_named 'Select User')\" ]" || fail "Escape did not close the picker"
# Without a window manager nobody gives the dialog the keyboard back: a click on its heading does,
# and the focus is on Select User again; one step back is OK.
xdotool mousemove --window "$settings" 280 20 click 1
sleep 0.3
xdotool key shift+Tab space
wait_for "[ -z \"\$(window_named 'Warehouse Settings')\" ]" || fail "OK did not close the dialog"
wait_for "grep -q 'WHT CRODE 11 22 33 44 55' '$log'" || fail "no sign-in with the mended password"
grep -q '^WPassWord=' "$w/ws/Claims/UserP.ini" || fail "no password stored"

# Auxiliary Files: the window opens after the sign-in with OK focused (every Get starts disabled);
# one tab reaches the phone book's Put, which stores the phone book on the server.
choose 3 "[ -n \"\$(window_named 'Korvan Auxiliary Files')\" ]" || fail "Auxiliary Files opened no window"
aux=$(window_named 'Korvan Auxiliary Files')
grep -q 'Checking - Auxiliary files' "$w/tool.err" || fail "no checking balloon"
sleep 0.3
shot "$aux" tray_aux_files.png
xdotool key Tab space
wait_for "grep -q 'PUT /api/aux/PHB 200' '$w/server.err'" || fail "the phone book's Put reached no server"
sleep 0.5
shot "$aux" tray_aux_files_after_put.png
xdotool key Escape
wait_for "[ -z \"\$(window_named 'Korvan Auxiliary Files')\" ]" || fail "Escape did not close the window"
curl -sSk -u 'Sample Adjusting/adjuster:secret' "$url/api/aux/" | grep -q '"PHB"' \
    || fail "the server does not list the phone book"

# Claim Search works at once after Auxiliary Files has ended.
choose 2 "[ -n \"\$(window_named 'Claim Search')\" ]" || fail "Claim Search opened no window"
sleep 0.3
shot "$(window_named 'Claim Search')" tray_claim_search.png
xdotool key Escape
wait_for "[ -z \"\$(window_named 'Claim Search')\" ]" || fail "Escape did not close the search window"

# Shutdown while an upload run waits for a frozen server: refused with the message, the tool
# stays; once the run has ended Shutdown closes it.
kill -STOP $server_pid
choose 1 "grep -q 'WHT INI INFORMATION Username' '$log'" || { kill -CONT $server_pid; fail "no run started"; }
choose 5 "[ -n \"\$(window_named 'Warehouse Upload')\" ]" || { kill -CONT $server_pid; fail "Shutdown showed no message"; }
box=$(window_named 'Warehouse Upload')
shot "$box" tray_shutdown_refused.png
kill -0 $tool 2>/dev/null || fail "the tool ended while busy"
xdotool key Return
kill -CONT $server_pid
wait_for "grep -q 'WHT claims upload complete' '$log'" || fail "the run did not end"
choose 5 "! kill -0 $tool 2>/dev/null" || fail "Shutdown did not close the tool once idle"
wait $tool; rc=$?
[ $rc -eq 0 ] || fail "exit code $rc"
grep -q 'WHT Shutdown' "$log" || fail "no shutdown line"
echo "tray commands: menu, Auxiliary Files, Claim Search, Shutdown refused while busy; screenshots in $shots"
