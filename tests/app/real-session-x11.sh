#!/usr/bin/env bash
# The app as a person meets it, in an X session with a window manager (openbox) and a tray
# (trayer): the window closed through the window manager hides and the bridge keeps running; a
# second launch exits 0 and brings the first app's window back; the tray's "Quit" ends the app
# and its bridge. Exits 77 (skipped) when the X tools are missing.
# usage: tests/app/real-session-x11.sh PATH/TO/OrvaneBridgeApp
source "$(dirname "$0")/session-fixture.sh"
needs Xvfb openbox trayer wmctrl xdotool
visible() { xdotool search --onlyvisible --name '^Orvane Bridge$' 2>/dev/null; }
hidden() { ! visible >/dev/null; }
# The app's window of its class that is not the pairing window.
trayIcon() {
  comm -23 <(xdotool search --class '^OrvaneBridgeApp$' | sort) \
    <(xdotool search --name '^Orvane Bridge$' | sort) | head -n 1 | grep .
}

export QT_QPA_PLATFORM=xcb
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
await gone "$bridge" || { kill "$bridge"; fail "the bridge outlived the app"; }
echo "real session (X11): close, relaunch and tray Quit behave"
