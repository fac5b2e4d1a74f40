#!/usr/bin/env bash
# Checks a built .deb's control data, then (unpacked into a throwaway root) that every file is
# where the desktop, systemd, man and the app's bridge lookup expect it, and valid.
# usage: check-deb.sh PATH/TO/orvane-bridge_VERSION_ARCH.deb
set -uo pipefail
deb=$(readlink -f "${1:?usage: check-deb.sh PACKAGE.deb}")
work=$(mktemp -d) usr=$work/usr failed=0
trap 'rm -rf "$work"' EXIT
check() {  # DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok - $1"; else echo "not ok - $1"; failed=$((failed + 1)); fi
}

check "control names the package and this architecture" test "$(dpkg-deb -f "$deb" Package \
  Architecture | xargs)" = "Package: orvane-bridge Architecture: $(dpkg --print-architecture)"
# Besides what dpkg-shlibdeps finds: the Qt platform plugins, which no library names.
for needed in qt6-qpa-plugins libqt6charts6; do
  check "it depends on $needed" grep -qw $needed <<<"$(dpkg-deb -f "$deb" Depends)"
done
check "it recommends qt6-wayland" grep -qw qt6-wayland <<<"$(dpkg-deb -f "$deb" Recommends)"
check "apt can install it (simulated)" timeout 120 apt-get -s -qq -o Debug::NoLocking=1 install "$deb"

dpkg-deb -x "$deb" "$work" || exit 1
check "bin/OrvaneBridgeApp links to the app" \
  test "$(readlink "$usr/bin/OrvaneBridgeApp")" = ../lib/OrvaneBridgeApp/OrvaneBridgeApp
check "the bridge, the app and the app's copy of the bridge are executable" test -x \
  "$usr/bin/OrvaneBridge" -a -x "$usr/lib/OrvaneBridgeApp/OrvaneBridgeApp" -a -x \
  "$usr/lib/OrvaneBridgeApp/OrvaneBridgeApp.resources/OrvaneBridge"
entry=$usr/share/applications/OrvaneBridgeApp.desktop
check "desktop-file-validate accepts the entry" desktop-file-validate "$entry"
check "the entry runs bin/OrvaneBridgeApp" grep -qx 'Exec=OrvaneBridgeApp' "$entry"
check "the entry offers the Today window" grep -qx 'Exec=OrvaneBridgeApp --today' "$entry"
check "software centres find the app's metainfo" \
  test -f "$usr/share/metainfo/invalid.orvane.OrvaneBridgeApp.metainfo.xml"
check "appstreamcli accepts it and the entry it launches" appstreamcli validate-tree --no-net "$work"
# PNG header: width, height (big-endian), bit depth and colour type (6: RGBA) at bytes 16-25.
for side in 48 128 256; do
  size="0 0 $((side >> 8)) $((side & 255))"
  png=$usr/share/icons/hicolor/${side}x$side/apps/$(sed -n 's/^Icon=//p' "$entry").png
  check "the entry's icon is a $side-pixel RGBA square" \
    test "$(od -An -tu1 -j16 -N10 "$png" | xargs)" = "$size $size 8 6"
done
check "the user unit starts /usr/bin/OrvaneBridge" \
  grep -qx 'ExecStart=/usr/bin/OrvaneBridge' "$usr/lib/systemd/user/orvane-bridge.service"
for page in OrvaneBridge OrvaneBridgeApp; do
  out=$(gzip -dc "$usr/share/man/man1/$page.1.gz" | timeout 60 groff -man -Tutf8 -ww -z 2>&1)
  check "man page $page(1) renders without warnings $out" test $? -eq 0 -a -z "$out"
done
((failed == 0))
