#!/usr/bin/env bash
# Makes the Wine prefix given as $1 once (under a lock, as tests run in parallel).
# COM1..COM9 and COM12 (a port past COM9, as USB adapters get, which opens only
# through the device namespace; it and COM7 carry device names) are pinned in
# the registry to links in $1/ports/comN: Wine would otherwise rewrite
# dosdevices/comN from the machine's /dev/ttyS* when its server starts. A test
# points $1/ports/comN at a cable end (ln -sfn) and the Windows program opens it
# as COMn. Wine's own fonts (fonts-wine) go into the prefix's Fonts folder: this
# Wine does not find them where Debian installs them, and without Marlett the
# title bars' buttons show the letters "0 1 r".
set -euo pipefail
prefix=$1
[ -f "$prefix/.zarvek-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.zarvek-ready" ]; then
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot --init >/dev/null 2>&1 || true
  cp -n /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  mkdir -p "$prefix/ports"
  for n in 1 2 3 4 5 6 7 8 9 12; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$prefix/ports/com$n" /f >/dev/null 2>&1
  done
  # COM7 and COM12 as USB adapters are registered: ports-class devices with
  # the names Device Manager would show.
  for device in 'VID_0403&PID_6001\ZV07 COM7 USB Serial Port (COM7)' \
                'VID_2341&PID_0043\ZV12 COM12 USB Serial Device (COM12)'; do
    read -r id port friendly <<<"$device"
    key="HKLM\System\CurrentControlSet\Enum\USB\\$id"
    wine reg add "$key" /v ClassGUID /t REG_SZ /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f >/dev/null 2>&1
    wine reg add "$key" /v Class /t REG_SZ /d Ports /f >/dev/null 2>&1
    wine reg add "$key" /v FriendlyName /t REG_SZ /d "$friendly" /f >/dev/null 2>&1
    wine reg add "$key\Device Parameters" /v PortName /t REG_SZ /d "$port" /f >/dev/null 2>&1
  done
  wineserver -k || true
  wineserver -w || true
  touch "$prefix/.zarvek-ready"
fi
