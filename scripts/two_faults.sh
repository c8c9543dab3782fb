#!/usr/bin/env bash
# Two faults at a time on the verified batch (ZARVEK_STREAMED=1: the streamed one), drawn at random (seeded) from the
# single-fault table's faults, on the simulated line: prints one row of counts
# (cases, identical, reported by both ends, ends disagreeing without damage,
# silent damage, hangs, the longest beyond the clean run). A few minutes.
#   scripts/two_faults.sh [CASES] [SEED]     (defaults 10000 and 1)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native >/dev/null
cmake --build --preset native --target single_fault_tests >/dev/null
ZARVEK_TWO_FAULTS=${1:-10000} ZARVEK_SEED=${2:-1} build/native/tests/reliability/single_fault_tests \
  --gtest_also_run_disabled_tests --gtest_filter='*TwoFaultsSeeded' | grep -E '^\| two faults|Failure|silent|no end|PASSED|FAILED'
