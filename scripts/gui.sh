#!/usr/bin/env bash
# ./run.sh gui: two copies of the Windows program under Wine, joined by a virtual
# null-modem cable, so that a transfer can be tried with the real windows and no
# hardware. Each copy has its own Wine prefix whose COM2 (the program's default
# port) is one end of the cable, and starts in its own folder:
#   A  build/gui-a/files     three sample files to send
#   B  build/gui-b/received  where the files arrive
# Starts Xvfb only when there is no DISPLAY. Everything it started is stopped
# when both windows are closed or on Ctrl+C.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

exe=build/windows/app/zarvek.exe
[ -f "$exe" ] || { echo "$exe is missing: build it with ./run.sh gui or cmake --build --preset windows" >&2; exit 1; }
cable=()
if [ -x build/native/cable/zarvek-cable ]; then cable=(build/native/cable/zarvek-cable)
elif [ -x build/native/cli/zarvek ]; then cable=(build/native/cli/zarvek cable)
else echo "No cable command in build/native: build it with cmake --build --preset native" >&2; exit 1; fi
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)

pids=()
xvfb=
prefixes=("$root/build/gui-a/prefix" "$root/build/gui-b/prefix")
cleanup() {
  trap - EXIT INT TERM
  for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null || true; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DISPLAY:-}" ]; then
  displayfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
  [ -s "$displayfile" ] || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$(tr -d '\n' < "$displayfile")
  rm -f "$displayfile"
  echo "No DISPLAY was set: started Xvfb on $DISPLAY. Watch it through a VNC server"
  echo "(x11vnc -display $DISPLAY) or take pictures: import -display $DISPLAY -window root shot.png"
fi

echo "Preparing the Wine prefixes (the first time takes a minute)..."
for p in "${prefixes[@]}"; do cmake/wine-prefix.sh "$p"; done
# On our own Xvfb there is no window manager: each copy then runs in a Wine
# desktop window of its own (A on the left, B on the right), where Wine draws
# the title bars and a click activates a window. On the user's display the
# windows are ordinary ones.
names=(A B)
for i in 0 1; do
  reg=(env WINEPREFIX="${prefixes[$i]}" WINEDEBUG=-all "$wine" reg)
  if [ -n "$xvfb" ]; then
    "${reg[@]}" add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d "${names[$i]}" /f >/dev/null 2>&1
    "${reg[@]}" add 'HKCU\Software\Wine\Explorer\Desktops' /v "${names[$i]}" /t REG_SZ /d 620x640 /f >/dev/null 2>&1
  else
    "${reg[@]}" delete 'HKCU\Software\Wine\Explorer' /v Desktop /f >/dev/null 2>&1 || true
  fi
  WINEPREFIX="${prefixes[$i]}" wineserver -k 2>/dev/null || true  # the desktop starts afresh with it
done

mkdir -p build/gui-a/files build/gui-b/received
[ -f build/gui-a/files/readme.txt ] || printf 'A short text file sent over the virtual cable.\r\n' > build/gui-a/files/readme.txt
[ -f build/gui-a/files/data-64k.bin ] || head -c 65536 /dev/urandom > build/gui-a/files/data-64k.bin
[ -f build/gui-a/files/data-1m.bin ] || head -c 1048576 /dev/urandom > build/gui-a/files/data-1m.bin
# The help file and the completion sound are looked for in the start folder.
for f in zarvek.hlp complete.wav; do
  for d in build/gui-a/files build/gui-b/received; do
    [ -f "build/windows/app/$f" ] && cp -f "build/windows/app/$f" "$d/"
  done
done

"${cable[@]}" --baud 115200 --link-a "${prefixes[0]}/ports/com2" --link-b "${prefixes[1]}/ports/com2" >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -e "${prefixes[0]}/ports/com2" ] && [ -e "${prefixes[1]}/ports/com2" ] && break; sleep 0.1; done
[ -e "${prefixes[1]}/ports/com2" ] || { echo "The cable did not start" >&2; exit 1; }

start() {  # start PREFIX FOLDER
  (cd "$2" && WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" exec "$wine" "$root/$exe") >/dev/null 2>&1 &
  pids+=($!)
}
start "${prefixes[0]}" build/gui-a/files
start "${prefixes[1]}" build/gui-b/received
apps=("${pids[@]:1}")
if [ -n "$xvfb" ]; then
  # B's desktop beside A's; the keyboard follows the pointer into a desktop.
  for _ in $(seq 150); do
    a=$(xdotool search --name '^A - Wine desktop$' 2>/dev/null | head -1 || true)
    b=$(xdotool search --name '^B - Wine desktop$' 2>/dev/null | head -1 || true)
    [ -n "$a" ] && [ -n "$b" ] && break
    sleep 0.2
  done
  if [ -n "$a" ] && [ -n "$b" ]; then
    xdotool windowmove "$b" 640 0
    xdotool search --name ' - Wine desktop$' behave %@ mouse-enter windowfocus >/dev/null 2>&1 &
    pids+=($!)
  fi
fi

cat <<TEXT

Two Zarvek windows are opening, joined by a virtual cable on COM2 at both ends:
  A  started in build/gui-a/files, which holds three sample files
  B  started in build/gui-b/received
Try a transfer:
  1. In B choose Action > Receive (Ctrl+R): it waits for files.
  2. In A choose Action > Send (Ctrl+S), select the files (Ctrl+A selects all) and press Open.
  3. The files arrive in build/gui-b/received; A returns to ZARVEK [IDLE].
Esc aborts, F1 opens the help. Close both windows, or press Ctrl+C here, to end.
TEXT
wait "${apps[@]}" 2>/dev/null || true
