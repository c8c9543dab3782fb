#!/usr/bin/env bash
# wine-server.sh start|stop [prefix]: keeps one Wine server up for a test run.
# Left to itself the server ends a few seconds after its last program; a program
# starting in that moment connects to a server that is closing and dies with
# "wine client error ... Connection reset by peer" before it runs. Tests that use
# the prefix start after "start" and "stop" ends the server once they are done.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX="${2:-$(cd "$here/.." && pwd)/build/wineprefix}"
export WINEDEBUG=-all
server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=$(command -v wineserver) || exit 0  # no Wine: the tests skip or fail themselves
case "$1" in
  start)
    "$here/wine-prefix.sh" "$WINEPREFIX"
    # A server left from earlier is not persistent; end it and start one that is.
    "$server" -k 2>/dev/null || true
    "$server" -w
    # Nothing it starts may hold a test's output open: CTest waits for that to close.
    # So the server and the services Wine starts with the first program (which
    # live as long as the server) start here, on /dev/null.
    "$server" -p </dev/null >/dev/null 2>&1
    "$here/wine-run.sh" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 ;;
  stop)
    "$server" -k 2>/dev/null || true
    "$server" -w ;;
  *) echo "usage: $0 start|stop [prefix]" >&2; exit 2 ;;
esac
