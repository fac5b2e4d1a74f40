#!/usr/bin/env bash
# The app as a person meets it in a Wayland session (headless sway) with a D-Bus tray: the
# window's QR code decodes to the pairing link; with another workspace focused, a second launch
# carrying an activation token (as a launcher hands one on) focuses the first app's pairing
# window; the tray's menu offers "Show pairing window" and "Quit", whose click ends the app and
# its bridge. Exits 77 (skipped) when sway or a tool is missing.
# usage: tests/app/real-session-wayland.sh PATH/TO/OrvaneBridgeApp
source "$(dirname "$0")/session-fixture.sh"
needs sway swaymsg grim jq zbarimg dbus-daemon setpriv
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || skip "no python3-gi"
compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-*' >/dev/null || skip "no qt6-wayland"
# Whether sway's tree holds the first app's pairing window, focused (true) or not (false).
focused() { swaymsg -t get_tree | jq -e "any(.. | objects | select(.pid? == $first and
  .name == \"Orvane Bridge\"); .focused == $1)" >/dev/null; }
link="^orvane://pair\?host=[^&]+:$ORVANE_PORT&code=[a-z0-9-]+$"
linkShown() { grim "$work/s.png" && [[ $(zbarimg --raw -q --nodbus "$work/s.png") =~ $link ]]; }

# sway refuses to run as root: there it runs as nobody, in a runtime directory of nobody's.
mkdir -m 0700 "$work/sway" && chmod 0711 "$work" && as=()
((EUID)) || { as=(setpriv --reuid=65534 --regid=65534 --clear-groups); chown 65534 "$work/sway"; }
printf '%s\n' 'xwayland disable' 'output HEADLESS-1 resolution 1280x800' \
  'focus_on_window_activation focus' >"$work/sway/config"
start env XDG_RUNTIME_DIR="$work/sway" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
  WLR_RENDERER=pixman "${as[@]}" sway -c "$work/sway/config"
await compgen -G "$work/sway/sway-ipc.*.sock" >/dev/null || fail "sway did not start"
export SWAYSOCK=$(compgen -G "$work/sway/sway-ipc.*.sock") QT_QPA_PLATFORM=wayland
export WAYLAND_DISPLAY=$(compgen -G "$work/sway/wayland-*[0-9]")
# Qt leaves some libwayland-client proxies (800 bytes) unfreed at exit; they are not the app's.
printf 'leak:libwayland-client.so\n' >"$work/lsan" && export LSAN_OPTIONS=suppressions=$work/lsan
await swaymsg -t get_outputs >/dev/null 2>&1 || fail "sway does not answer"

start dbus-daemon --session --nofork --print-address=3 3>"$work/bus"
await test -s "$work/bus" || fail "the session bus did not start"
DBUS_SESSION_BUS_ADDRESS=$(cat "$work/bus") && export DBUS_SESSION_BUS_ADDRESS
# Qt looks for a tray once, as the app starts: the watcher must be there before.
start /usr/bin/python3 "$here/tray-watcher.py" "$work/tray"
watcher=${started[-1]}
await grep -qx watching "$work/tray" 2>/dev/null || fail "the tray watcher did not start"

start "$app"
first=${started[-1]}
await focused true || fail "no focused pairing window after the first launch"
bridge=$(ps -o pid= --ppid "$first" | tr -d ' ')
[[ -n $bridge ]] || fail "the app started no bridge"
await linkShown || fail "the window's QR code does not decode to a pairing link on $ORVANE_PORT"

swaymsg -q workspace 2
await focused false || fail "the window kept the focus on another workspace"
token=$(/usr/bin/python3 "$here/activation-token.py") || fail "sway gave no activation token"
XDG_ACTIVATION_TOKEN=$token timeout 60 "$app" >/dev/null 2>&1 || fail "the second launch exited $?"
await focused true || fail "a second launch with an activation token did not focus the window"

await grep -qx Quit "$work/tray" || fail "no tray item whose menu has \"Quit\""
grep -qx 'Show pairing window' "$work/tray" || fail "the tray's menu has no \"Show pairing window\""
kill -USR1 "$watcher"  # clicks "Quit"
await gone "$first" || fail "the tray's Quit did not end the app"
await gone "$bridge" || { kill "$bridge"; fail "the bridge outlived the app"; }
echo "real session (Wayland): QR code, activation, tray menu and Quit behave"
