#!/usr/bin/env bash
# The main job: sample files from two folders sent over a virtual null-modem
# cable paced at 115200 bit/s to a receiver writing into a fresh folder under
# /tmp, with the progress shown; then the copies are compared with the
# originals and the folders named. Extra arguments go to `zarvek demo`
# (--speed S). Exits non-zero if any file did not arrive identical.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec build/native/cli/zarvek demo "$@"
