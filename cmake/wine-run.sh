#!/usr/bin/env bash
# Runs a Windows executable under Wine in the build's private prefix.
# The prefix is made on first use; WINEPREFIX may be set by the caller to use another.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$(cd "$here/.." && pwd)/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
"$here/wine-prefix.sh" "$WINEPREFIX"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
exec "$wine" "$@"
