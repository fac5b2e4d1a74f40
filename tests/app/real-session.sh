#!/usr/bin/env bash
# The app as a person meets it, in an X session with a window manager (openbox) and a tray
# (trayer): the window closed through the window manager hides and the bridge keeps running; a
# second launch exits 0 and brings the first app's window back; the tray's "Quit" ends the app
# and its bridge. Exits 77 (skipped) when the X tools are missing.
# usage: tests/app/real-session.sh PATH/TO/OrvaneBridgeApp
set -euo pipefail
app=$1
for tool in Xvfb openbox trayer wmctrl xdotool; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool (scripts/setup --tests)"; exit 77; }
done
work=$(mktemp -d)
started=()
trap 'kill "${started[@]}" 2>/dev/null; rm -rf "$work"' EXIT
start() { "$@" >/dev/null 2>&1 & started+=($!); }
fail() { echo "FAILED: $*" >&2; exit 1; }
# Polls "$@" every 0.1 s for at most 30 s.
await() { for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done; return 1; }
visible() { xdotool search --onlyvisible --name '^Orvane Bridge$' 2>/dev/null; }
hidden() { ! visible >/dev/null; }
# Exited, maybe a zombie nobody has reaped yet.
gone() { [[ $(ps -o stat= -p "$1" || echo Z) == Z* ]]; }
# The app's window of its class that is not the pairing window.
trayIcon() {
  comm -23 <(xdotool search --class '^OrvaneBridgeApp$' | sort) \
    <(xdotool search --name '^Orvane Bridge$' | sort) | head -n 1 | grep .
}

mkdir -m 0700 "$work/runtime"
export ORVANE_DIR=$work/data XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=xcb
export ORVANE_PORT=$((20000 + RANDOM % 40000))
while (exec 3<>"/dev/tcp/127.0.0.1/$ORVANE_PORT") 2>/dev/null; do ((ORVANE_PORT++)); done
start Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display"
await test -s "$work/display" || fail "Xvfb did not start"
DISPLAY=:$(cat "$work/display") && export DISPLAY
start openbox
await wmctrl -m >/dev/null 2>&1 || fail "openbox did not start"
start trayer --edge top --align right --widthtype pixel --width 64 --heighttype pixel --height 24

start "$app"
first=${started[-1]}
await visible >/dev/null || fail "no window after the first launch"
bridge=$(ps -o pid= --ppid "$first" | tr -d ' ')
[[ -n $bridge ]] || fail "the app started no bridge"

wmctrl -c 'Orvane Bridge'
await hidden || fail "the window did not close"
kill -0 "$first" "$bridge" || fail "closing the window ended the app or the bridge"

timeout 60 "$app" >/dev/null 2>&1 || fail "the second launch exited with $?"
await visible >/dev/null || fail "the second launch did not bring the window back"
[[ $(xdotool getwindowpid "$(visible)") == "$first" ]] || fail "the window is not the first app's"

await trayIcon >/dev/null || fail "no tray icon"
xdotool mousemove --window "$(trayIcon)" 8 8 click 3
sleep 0.5  # the menu opens; "Quit" is its last entry
xdotool key Up Return
await gone "$first" || fail "the tray's Quit did not end the app"
await gone "$bridge" || fail "the bridge outlived the app"
echo "real session: close, relaunch and tray Quit behave"
