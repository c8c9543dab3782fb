#!/usr/bin/env bash
# With no arguments: installs what is missing, builds, and runs the main job, a
# transfer over a virtual null-modem cable (scripts/demo.sh). With arguments: runs
# the command line (./run.sh send ..., ./run.sh receive ..., ./run.sh ports,
# ./run.sh cable, ./run.sh gui). ./run.sh package builds only what ships and
# makes the packages in dist/ (scripts/package.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
./scripts/deps.sh
if [ "${1:-}" = package ]; then exec scripts/package.sh; fi
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" >/dev/null

if [ $# -eq 0 ]; then exec scripts/demo.sh; fi
if [ "$1" = gui ] && [ -x scripts/gui.sh ]; then shift; exec scripts/gui.sh "$@"; fi
exec build/native/cli/zarvek "$@"
