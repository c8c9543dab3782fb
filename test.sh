#!/usr/bin/env bash
# Installs what is missing, builds natively, with sanitizers and for Windows,
# makes the packages, then runs every test: native (the packages among them),
# sanitizers, under Wine, the program's windows under Xvfb, and the fuzz target
# for a bounded time. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

./scripts/deps.sh || exit 1

jobs=$(nproc)
failed=()
step() {  # step NAME COMMAND...: runs it, remembers a failure, goes on
  local name=$1; shift
  echo "=== $name"
  if ! "$@"; then failed+=("$name"); fi
}

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"
}

step "build windows" build windows
step "build native" build native
step "build asan" build asan
step "build fuzz" build fuzz
step "packages" scripts/package.sh

export ZARVEK_REQUIRE_WINE=1  # tests that drive the Windows build fail, not skip, without it
export ZARVEK_REQUIRE_PACKAGES=1  # the packaging tests check what "packages" put in dist/
step "tests native" ctest --preset native -j "$jobs"
# Under the sanitizers the load tables would only repeat the native run, slower.
step "tests asan" ctest --preset asan -j "$jobs" -LE load
step "tests windows (Wine)" ctest --preset windows -j "$jobs"
if [ -x scripts/fuzz.sh ]; then
  step "fuzz" scripts/fuzz.sh "${ZARVEK_FUZZ_SECONDS:-60}"
fi

echo
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test stages passed."
