#!/usr/bin/env bash
# Makes docs/window.png, the README's picture of the pairing window: the real app under Xvfb
# with a sample pairing code, in a private network namespace whose only IPv4 address is
# 192.168.1.20 on a veth pair that stays down (nothing is sent anywhere).
# Needs root (unshare -n), xvfb, xdotool and imagemagick.
#
# usage: packaging/window-picture.sh [BUILD_DIR]   (default build/package, see scripts/package)
set -euo pipefail
cd "$(dirname "$0")/.."
app=$(readlink -f "${1:-build/package}/OrvaneBridgeApp/OrvaneBridgeApp")
out=$PWD/docs/window.png
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/data" "$work/runtime"
printf 'maple-river-cloud-482913\n' >"$work/data/token"
chmod 0600 "$work/data/token"

export APP=$app OUT=$out WORK=$work
# shellcheck disable=SC2016 # expanded by the inner shells
timeout 120 unshare -n bash -c '
  set -euo pipefail
  ip link add orvane0 type veth peer name orvane1
  ip addr add 192.168.1.20/24 dev orvane0
  # The app asks the bridge on loopback before its badge says "running".
  ip link set lo up
  exec xvfb-run -a -s "-screen 0 1280x800x24" bash -c "
    set -euo pipefail
    XDG_RUNTIME_DIR=\$WORK/runtime ORVANE_DIR=\$WORK/data \"\$APP\" >/dev/null 2>&1 &
    app=\$!
    window=\$(timeout 30 xdotool search --sync --name \"^Orvane Bridge\$\" | head -n 1)
    sleep 1  # let the first paint land; this is a picture, not a test
    import -window \"\$window\" \"\$WORK/window.png\"
    kill -TERM \$app
    wait \$app || true
  "
'
# 8-bit palette with a little dithering keeps the picture small.
convert "$work/window.png" -strip -colors 255 "PNG8:$out"
echo "$out"
