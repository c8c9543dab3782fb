#!/usr/bin/env bash
# deb_test.sh DEB VERSION SCRATCH: dpkg installs the package (package.sh has put
# it through lintian) into a root of its own in SCRATCH, where zarvek --version
# and zarvek ports run, zarvek(1) renders without a warning and names every
# subcommand, option and exit code that the installed programs' --help lists,
# and bash completion completes from it; purging leaves nothing behind.
set -euo pipefail
deb=$1 version=$2 scratch=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/packages.sh"
require_packages "$deb"

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"

root=$scratch/root
rm -rf "$scratch" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# Not the machine's packages: the dependencies (libc, libstdc++) are not in this root.
dpkg=(dpkg --root="$root" --force-not-root --force-depends --log=/dev/null)
out=$("${dpkg[@]}" -i "$deb" 2>&1) || fail "dpkg -i: $out"
export PATH=$root/usr/bin:$PATH
[ "$(zarvek --version)" = "zarvek $version" ] || fail "zarvek --version says $(zarvek --version)"
zarvek ports >/dev/null || fail "zarvek ports exited with $?"

man1=$root/usr/share/man/man1
for page in zarvek zarvek-cable; do
  MANWIDTH=80 man --warnings -E ascii -l "$man1/$page.1.gz" >"$scratch/$page.txt" 2>"$scratch/warnings"
  [ ! -s "$scratch/warnings" ] || fail "$page(1): $(cat "$scratch/warnings")"
done
subcommands=$(zarvek --help | awk '/^Subcommands:/ { on = 1; next } on && NF == 0 { on = 0 } on { print $1 }')
helps=$(zarvek --help; for sub in $subcommands; do zarvek "$sub" --help; done; zarvek-cable --help)
options=$(grep -o -- '--[a-z][a-z-]*' <<<"$helps" | sort -u)
codes=$(awk '/^Exit codes:/ { on = 1; next } on && $1 ~ /^[0-9]+$/ { print $1 }' <<<"$helps" | sort -u)
# The terms a section of the page explains: its lines' first words.
terms() { awk -v s="$1" '$0 == s { on = 1; next } /^[A-Z]/ { on = 0 } on { print $1 }' "$scratch/zarvek.txt"; }
[ -n "$subcommands" ] && [ -n "$options" ] && [ -n "$codes" ] || fail "could not read the --help texts"
for sub in $subcommands; do
  terms COMMANDS | grep -qx "$sub" || fail "zarvek(1) does not explain the command $sub"
done
for word in $options dialout; do
  grep -q -- "$word" "$scratch/zarvek.txt" || fail "zarvek(1) does not mention $word"
done
for code in $codes; do
  terms "EXIT STATUS" | grep -qx "$code" || fail "zarvek(1) lacks exit status $code"
done

completions=$root/usr/share/bash-completion/completions
complete_line() {  # complete_line WORD...: what completing the last word offers
  bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _zarvek; echo "${COMPREPLY[*]}"' \
    "$completions/zarvek" "$@"
}
[ "$(complete_line zarvek se)" = send ] || fail "zarvek se<Tab> gave: $(complete_line zarvek se)"
[ "$(complete_line zarvek send --retry)" = --retry-limit ] || fail "zarvek send --retry<Tab>"
[ "$(readlink -f "$completions/zarvek-cable")" = "$(readlink -f "$completions/zarvek")" ] ||
  fail "no completion for zarvek-cable"

out=$("${dpkg[@]}" --purge zarvek 2>&1) || fail "dpkg --purge: $out"
left=$(cd "$root" && find . -mindepth 1 -not -path ./var -not -path ./var/lib -not -path './var/lib/dpkg*'
        ls var/lib/dpkg/info | grep zarvek || true)
[ -z "$left" ] || fail "purging left: $left"
echo "PASS"
