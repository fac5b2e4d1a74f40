#!/usr/bin/env bash
# Checks a built orvane-bridge .deb the way an installation would use it: the control data and
# its dependencies, then, unpacked into a throwaway root (dpkg-deb -x), every file where the
# desktop entry, the user unit, man and the app's bridge lookup expect it, and the unpacked
# programs themselves. Every program run is bounded by `timeout`; nothing outside the
# throwaway directory is written.
#
# usage: check-deb.sh PATH/TO/orvane-bridge_VERSION_ARCH.deb
set -uo pipefail

deb=${1:?usage: check-deb.sh PACKAGE.deb}
[[ -f "$deb" ]] || { echo "no such package: $deb" >&2; exit 2; }
deb=$(readlink -f "$deb")

passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok - $1"; }
bad() { failed=$((failed + 1)); echo "not ok - $1"; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }  # DESCRIPTION COMMAND...

work=$(mktemp -d) app_pid="" bridge_pid=""
cleanup() {
  for pid in $app_pid $bridge_pid; do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root

field() { dpkg-deb -f "$deb" "$1"; }
check "package name is orvane-bridge" test "$(field Package)" = orvane-bridge
check "version is 1.2.0" test "$(field Version)" = 1.2.0
check "architecture is this machine's" test "$(field Architecture)" = "$(dpkg --print-architecture)"
# One package name a line, versions dropped.
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for needed in libqt6widgets6 libqt6gui6 libqt6core6 libqt6charts6 libqrencode4 libutf8proc2 \
  libstdc++6 libc6 qt6-qpa-plugins; do
  check "Depends names $needed" grep -qxF "$needed" <<<"$depends"
done
# apt resolves every dependency against this machine's packages without installing anything.
if out=$(timeout 120 apt-get -s -qq -o Debug::NoLocking=1 install "$deb" 2>&1); then
  ok "apt can install it (simulated)"
else
  bad "apt can install it (simulated): $out"
fi

dpkg-deb -x "$deb" "$root" || { echo "not ok - dpkg-deb -x unpacks the package"; exit 1; }
usr=$root/usr
app_real=$usr/lib/OrvaneBridgeApp/OrvaneBridgeApp
resources_bridge=$usr/lib/OrvaneBridgeApp/OrvaneBridgeApp.resources/OrvaneBridge

check "bin/OrvaneBridgeApp is a relative symlink" \
  test -L "$usr/bin/OrvaneBridgeApp" -a "$(readlink "$usr/bin/OrvaneBridgeApp")" = \
  ../lib/OrvaneBridgeApp/OrvaneBridgeApp
check "the app is an executable file" test -f "$app_real" -a -x "$app_real"
check "the app's bridge is an executable file" test -f "$resources_bridge" -a -x "$resources_bridge"
check "bin/OrvaneBridge is an executable file" \
  test -f "$usr/bin/OrvaneBridge" -a ! -L "$usr/bin/OrvaneBridge" -a -x "$usr/bin/OrvaneBridge"

desktop=$usr/share/applications/OrvaneBridgeApp.desktop
entry() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }
if [[ -f "$desktop" ]]; then
  ok "desktop entry installed"
  if command -v desktop-file-validate >/dev/null; then
    check "desktop-file-validate accepts the entry" desktop-file-validate "$desktop"
  else
    bad "desktop-file-validate is missing (scripts/setup --tests installs it)"
  fi
  check "entry is named Orvane Bridge" test "$(entry Name)" = "Orvane Bridge"
  exec_program=$(entry Exec | cut -d' ' -f1)
  check "entry's Exec ($exec_program) is in usr/bin" test -x "$usr/bin/$exec_program"
  check "entry offers the action Today" test "$(entry Actions)" = "Today;" -a \
    "$(sed -n '/^\[Desktop Action Today\]/,$s/^Exec=//p' "$desktop")" = "OrvaneBridgeApp --today"
  icon=$(entry Icon)
  check "entry's Icon names a theme icon, not a path" test -n "$icon" -a "${icon#/}" = "$icon"
else
  bad "desktop entry installed"
  icon=OrvaneBridgeApp
fi

# PNG signature, then IHDR: width and height (big-endian) at bytes 16-23, colour type at 25.
for side in 48 128 256; do
  png=$usr/share/icons/hicolor/${side}x${side}/apps/$icon.png
  if [[ ! -f "$png" ]]; then
    bad "icon ${side}x${side} installed"
    continue
  fi
  read -r -a b <<<"$(od -An -tu1 -N26 "$png" | tr -s ' \n' ' ')"
  check "icon ${side}x${side} is a ${side}-pixel square RGBA PNG" test \
    "${b[*]:0:8} ${b[*]:16:8} ${b[25]}" = "137 80 78 71 13 10 26 10 0 0 $((side >> 8)) $((side & 255)) 0 0 $((side >> 8)) $((side & 255)) 6"
done

unit=$usr/lib/systemd/user/orvane-bridge.service
if [[ -f "$unit" ]]; then
  ok "user unit installed"
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  check "unit starts /usr/bin/OrvaneBridge" test "$exec_start" = /usr/bin/OrvaneBridge
  check "unit restarts on failure only" grep -qx 'Restart=on-failure' "$unit"
  check "unit is wanted by the session" grep -qx 'WantedBy=default.target' "$unit"
  if command -v systemd-analyze >/dev/null; then
    # verify needs the program and the man page it names to exist: point both at the unpacked
    # root. Warnings (unknown keys, bad values) leave the status 0, so any output fails.
    mkdir -m 0700 "$work/unit" "$work/runtime"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$usr/bin/|" "$unit" >"$work/unit/orvane-bridge.service"
    if out=$(XDG_RUNTIME_DIR=$work/runtime MANPATH=$usr/share/man \
      timeout 60 systemd-analyze verify --user "$work/unit/orvane-bridge.service" 2>&1) &&
      [[ -z "$out" ]]; then
      ok "systemd-analyze verify --user accepts the unit"
    elif grep -q 'Failed to initialize manager' <<<"$out"; then
      echo "skip - systemd-analyze cannot run here: $out"
    else
      bad "systemd-analyze verify --user accepts the unit: $out"
    fi
  else
    echo "skip - systemd-analyze is not installed"
  fi
else
  bad "user unit installed"
fi

for name in OrvaneBridge OrvaneBridgeApp; do
  page=$usr/share/man/man1/$name.1
  [[ -f "$page" ]] || page=$page.gz
  if [[ ! -f "$page" ]]; then
    bad "man page $name(1) installed"
    continue
  fi
  ok "man page $name(1) installed"
  # Rendered as plain text; groff's warnings go to a file of their own.
  text=$(gzip -dcf "$page" | timeout 60 groff -man -Tutf8 -ww -P-cbou 2>"$work/groff.err")
  check "man page $name(1) renders without warnings" test ! -s "$work/groff.err" -a -n "$text"
  topics=(NAME SYNOPSIS DESCRIPTION)
  [[ $name == OrvaneBridge ]] && topics+=(OPTIONS ENVIRONMENT FILES "EXIT STATUS" "HTTP API" EXAMPLES)
  for topic in "${topics[@]}"; do
    check "man page $name(1) has a section $topic" grep -q "^$topic" <<<"$text"
  done
  if [[ $name == OrvaneBridge ]]; then
    for term in --data-dir --pairing --rotate-pairing ORVANE_PORT ORVANE_DIR token orvaned \
      state.json history.jsonl /health /state /ingest /mark /orvane 'curl -s -H'; do
      check "OrvaneBridge(1) documents $term" grep -qF -- "$term" <<<"$text"
    done
  fi
done

# --pairing never listens, so the default port cannot collide with anything.
card_code() { sed -n 's/^  |  Pairing code  \([^ ]*\) .*/\1/p' <<<"$1"; }
data=$work/data
card=$(ORVANE_DIR=$data ORVANE_PORT=8788 timeout 30 "$usr/bin/OrvaneBridge" --pairing 2>&1)
check "usr/bin/OrvaneBridge --pairing exits 0" test $? -eq 0
check "its card shows the port" grep -Eq '^  \|  Computer      [0-9.]+:8788 ' <<<"$card"
stored=$(cat "$data/token" 2>/dev/null)
check "its card shows the stored pairing code" test -n "$stored" -a "$(card_code "$card")" = "$stored"
# The bridge the app finds beside its real executable reads the same stored code.
card=$(ORVANE_DIR=$data ORVANE_PORT=8788 timeout 30 "$resources_bridge" --pairing 2>&1)
check "the app's bridge prints the same card" test "$(card_code "$card")" = "$stored"

# The unpacked app, started through its bin/ link, must find and start its bridge: wait, bounded,
# for a child process running the unpacked resources copy in server mode (port 0: the system
# picks a free one).
child_running_bridge() {
  local child
  # shellcheck disable=SC2013 # the children files hold pids separated by spaces
  for child in $(cat /proc/"$app_pid"/task/*/children 2>/dev/null); do
    if [[ "$(readlink /proc/"$child"/exe 2>/dev/null)" == "$(readlink -f "$resources_bridge")" ]] &&
      [[ "$(tr '\0' ' ' </proc/"$child"/cmdline 2>/dev/null)" != *--pairing* ]]; then
      bridge_pid=$child
      return 0
    fi
  done
  return 1
}
# Orphaned by the app, an exited bridge may stay a zombie until its new parent reaps it.
alive() { [[ -e /proc/$1 ]] && [[ "$(cut -d' ' -f3 /proc/"$1"/stat 2>/dev/null)" != Z ]]; }
# A bounded poll: there is no event to wait on for another program's child.
within() {  # within SECONDS COMMAND... : true once the command succeeds, false when time is up
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do ((SECONDS < deadline)) || return 1; sleep 0.1; done
}
mkdir -m 0700 "$work/app-runtime"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/app-runtime ORVANE_DIR=$work/app-data \
  ORVANE_PORT=0 "$usr/bin/OrvaneBridgeApp" >"$work/app.out" 2>&1 &
app_pid=$!
app_gone() { ! kill -0 "$app_pid" 2>/dev/null; }
bridge_gone() { ! alive "$bridge_pid"; }
within 30 eval 'child_running_bridge || app_gone'
check "the installed app starts its bundled bridge" test -n "$bridge_pid"
if ! app_gone; then
  # Quitting asks the bridge to stop; both must be gone within the bound.
  kill -TERM "$app_pid"
  check "the app quits on SIGTERM" within 20 app_gone
  wait "$app_pid" 2>/dev/null
  app_pid=""
fi
[[ -n "$bridge_pid" ]] && check "quitting the app stops its bridge" within 20 bridge_gone

echo "$passed passed, $failed failed"
((failed == 0))
