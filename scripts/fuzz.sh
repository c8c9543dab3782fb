#!/usr/bin/env bash
# Runs the receiver's fuzz target for $1 seconds (default 60). Starts from the
# corpus kept in tests/fuzz/corpus; new finds go to build/fuzz/corpus, so a run
# never changes the repository.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds=${1:-60}
fuzzer=build/fuzz/tests/fuzz/receiver_fuzz
[ -x "$fuzzer" ] || { echo "build the fuzz preset first: cmake --preset fuzz && cmake --build --preset fuzz" >&2; exit 1; }
mkdir -p build/fuzz/corpus build/fuzz/artifacts
ASAN_OPTIONS=detect_leaks=1 "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus tests/fuzz/corpus 2>&1 | tail -n 25
