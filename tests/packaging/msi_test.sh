#!/usr/bin/env bash
# msi_test.sh MSI ZIP VERSION LIST SCRATCH CABLE ZARVEK, on an X display
# (xvfb-run): under Wine, in a prefix of its own made in SCRATCH (HOME too, so
# nothing lands in the real one), msiexec /i installs what the zip holds under
# Program Files with Start-menu entries; the installed executables import only
# what LIST holds, and the import check fails once one of their functions is
# missing from LIST; the console command gives the version; the program started
# from its Start-menu entry shows its window and, told to receive, takes a file
# that the Linux command line ZARVEK sends over the virtual cable CABLE on its
# default port into the user's Documents folder, not into Program Files; msiexec
# /x leaves the prefix's files and registry as they were before.
set -euo pipefail
msi=$1 zip=$2 version=$3 list=$4 scratch=$5 cable=$6 zarvek=$7
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/packages.sh"
require_packages "$msi" "$zip"
[ -n "${DISPLAY:-}" ] || fail "no X display"

export WINEPREFIX=$scratch/prefix HOME=$scratch/home WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"  # no desktop menu entries
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$scratch" && mkdir -p "$HOME"
"$here/../../cmake/wine-prefix.sh" "$WINEPREFIX"
c=$WINEPREFIX/drive_c

# The prefix's files (but Windows Installer's own cache folder) and every
# registry line that names Zarvek.
state() {
  (cd "$c" && find . -path ./windows/Installer -prune -o -print | sort)
  grep -ih zarvek "$WINEPREFIX"/*.reg || true
}
state >"$scratch/before.txt"

"$wine" msiexec /i "Z:${msi//\//\\}" /qn || fail "msiexec /i exited with $?"
installed=$(cd "$c/Program Files/Zarvek" 2>/dev/null && find . -type f | sed 's|^\./||' | sort)
shipped=$(cmake -E tar tf "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort)
[ -n "$installed" ] && [ "$installed" = "$shipped" ] ||
  fail "Program Files\\Zarvek holds [$installed], the zip [$shipped]"
# Searched for: Wine puts even a per-machine install's entries in the user's Start menu.
for entry in Zarvek "Zarvek Help"; do
  [ -n "$(find "$c" -name "$entry.lnk")" ] || fail "no Start-menu entry $entry"
done

mapfile -t exes < <(find "$c/Program Files/Zarvek" -iname '*.exe')
[ "${#exes[@]}" -ge 2 ] || fail "expected the program and the console command, installed: ${exes[*]}"
check=$here/../../packaging/check-imports.sh
"$check" "$list" "${exes[@]}" || fail "an import is not in $list, or is newer than Windows 7"
grep -v '!GetTickCount64 ' "$list" >"$scratch/short.txt"
! "$check" "$scratch/short.txt" "${exes[@]}" 2>/dev/null || fail "the check passed without GetTickCount64 in the list"

said=$("$wine" 'C:\Program Files\Zarvek\cli\zarvek.exe' --version | tr -d '\r')
[ "$said" = "zarvek $version" ] || fail "the installed console command says \"$said\""

# The window's title once it has become `title`, waiting up to 30 s.
titled() {
  for _ in $(seq 120); do
    window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 || true)
    [ -n "$window" ] && return 0
    sleep 0.25
  done
  echo "windows shown:" $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null) >&2
  return 1
}

# The program's default port, COM2, leads to one end of a cable; the Linux
# command line sends from the other.
"$cable" --baud 115200 --link-a "$WINEPREFIX/ports/com2" --link-b "$scratch/linux-end" >"$scratch/cable.txt" &
cable_pid=$!
trap 'kill $cable_pid 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
"$wine" start /unix "$(find "$c" -name Zarvek.lnk | head -1)"
titled Zarvek || fail "no Zarvek window within 30 s"
echo "window: $(xdotool getwindowname "$window")"
xdotool windowfocus --sync "$window" key ctrl+r
titled 'ZARVEK \[RECEIVE MODE\]' || fail "Ctrl+R did not start receiving"
head -c 20000 /dev/urandom >"$scratch/sent.bin"
"$zarvek" send --port "$scratch/linux-end" "$scratch/sent.bin" || fail "the send to the installed program failed"
arrived=$(find -L "$c" "$HOME" -path "$c/windows" -prune -o -name sent.bin -print 2>/dev/null | head -1)
[ -n "$arrived" ] || fail "sent.bin did not arrive"
case "$arrived" in
  */Documents/sent.bin) ;;
  *) fail "sent.bin arrived in $arrived, not in Documents" ;;
esac
cmp "$scratch/sent.bin" "$arrived" || fail "sent.bin arrived different"
[ -z "$(find "$c/Program Files" -name sent.bin)" ] || fail "a copy of sent.bin is under Program Files"
echo "received into: $arrived"
wineserver -k  # ends the program: only its window was under test
wineserver -w
kill $cable_pid 2>/dev/null || true
rm -f "$arrived"

"$wine" msiexec /x "Z:${msi//\//\\}" /qn || fail "msiexec /x exited with $?"
wineserver -w  # the registry reaches its files when the server ends
state >"$scratch/after.txt"
diff "$scratch/before.txt" "$scratch/after.txt" || fail "uninstalling left the lines above"
echo "PASS"
rm -rf "$WINEPREFIX"
