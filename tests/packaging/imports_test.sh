#!/usr/bin/env bash
# imports_test.sh ZIP MSI LIST SCRATCH: every .exe in the zip and in the MSI
# imports only functions that LIST holds, all of Windows 7 or older; and the
# check itself fails once one of those functions is missing from LIST.
set -euo pipefail
zip=$1 msi=$2 list=$3 scratch=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/packages.sh"
require_packages "$zip" "$msi"

rm -rf "$scratch" && mkdir -p "$scratch/zip" "$scratch/msi"
(cd "$scratch/zip" && cmake -E tar xf "$zip")
msiextract -C "$scratch/msi" "$msi" >/dev/null
mapfile -t exes < <(find "$scratch" -iname '*.exe' | sort)
echo "${#exes[@]} executables:"; printf '  %s\n' "${exes[@]#"$scratch"/}"
[ "${#exes[@]}" -ge 4 ] || fail "expected the program and the console command in each package"

check=$here/../../packaging/check-imports.sh
"$check" "$list" "${exes[@]}" || fail "an import is not in $list, or is newer than Windows 7"
grep -v '!GetTickCount64 ' "$list" >"$scratch/short.txt"
if "$check" "$scratch/short.txt" "${exes[@]}" 2>/dev/null; then
  fail "the check passed without GetTickCount64 in the list"
fi
echo "PASS"
