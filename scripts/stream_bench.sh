#!/usr/bin/env bash
# Streamed against stop-and-wait, taking turns (each condition runs its modes
# one after the other, so what the machine does meanwhile weighs on all alike),
# and writes the table into docs/BENCHMARKS.md between its markers.
#   scripts/stream_bench.sh [REPS]   (default 3; about 8 minutes a repetition,
#                                    plus 25 once for the runs at 115200)
# Run it on an otherwise idle machine: figures, not pass/fail.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
reps=${1:-3}
out=build/bench/stream
bin=build/native/bench/line_efficiency
mkdir -p "$out"
cmake --build build/native --target line_efficiency >/dev/null
: > "$out/runs.txt"

busy=()
load() { for _ in 1 2; do (while :; do :; done) & busy+=($!); done; }
unload() { kill "${busy[@]}" 2>/dev/null || true; wait "${busy[@]}" 2>/dev/null || true; busy=(); }
trap unload EXIT

# run CONDITION MODE KIB ARGS...: one file, its efficiency and ceiling appended to runs.txt
run() {
  local condition=$1 mode=$2 kib=$3; shift 3
  local data="$out/run.dat"
  echo "=== $condition, $mode, $kib KiB"
  if "$bin" --mode "$mode" --sizes "$kib" --small-files 2 --budget 100000 --data "$data" "$@" | sed 's/^/    /'; then
    awk -v c="$condition" -v m="$mode" -v k="$kib" '!/^#/ { printf "%s|%s|%s|%.2f|%.2f\n", c, m, k, $3, $5 }' "$data" >> "$out/runs.txt"
  else
    echo "$condition|$mode|$kib|failed|" >> "$out/runs.txt"
  fi
}

# Once: 4 MiB at 115200 takes six minutes of line time a run.
for mode in streamed verified classic; do
  kib=$([ $mode = streamed ] && echo 4096 || echo 1024)
  run "115200" $mode $kib --speeds 115200
done
run "115200, USB 16 ms" streamed 4096 --speeds 115200 --usb 16
for rep in $(seq "$reps"); do
  for mode in streamed verified classic; do run "921600, UART" $mode 4096 --speeds 921600 --uart; done
  run "921600, USB 16 ms" streamed 4096 --speeds 921600 --usb 16
  load
  run "921600, USB 16 ms, 2 busy cores" streamed 4096 --speeds 921600 --usb 16
  unload
done

# The table: each condition and mode, mean over the runs and their spread.
table=$(awk -F'|' '
  $4 != "failed" { key = $1 "|" $2 "|" $3; n[key]++; s[key] += $4; c[key] = $5
    if (!(key in lo) || $4 < lo[key]) lo[key] = $4; if (!(key in hi) || $4 > hi[key]) hi[key] = $4
    if (!(key in order)) order[key] = ++count }
  $4 == "failed" { failed[$1 "|" $2 "|" $3]++ }
  END {
    print "| line | mode | file | runs | efficiency (mean) | spread (min-max) | protocol ceiling |"
    print "|---|---|---:|---:|---:|---:|---:|"
    for (i = 1; i <= count; i++) for (key in order) if (order[key] == i) {
      split(key, f, "|")
      size = f[3] >= 1024 ? (f[3] / 1024) " MiB" : f[3] " KiB"
      printf "| %s | %s | %s | %d%s | %.2f %% | %.2f-%.2f | %.2f %% |\n", f[1], f[2], size, n[key],
             (key in failed) ? " (+" failed[key] " failed)" : "", s[key] / n[key], lo[key], hi[key], c[key]
    }
  }' "$out/runs.txt")
echo "$table" | tee "$out/table.md"
python3 - "$table" <<'PY'
import re, sys
path = "docs/BENCHMARKS.md"
page = open(path).read()
start, end = "<!-- stream-bench -->", "<!-- /stream-bench -->"
block = start + "\n" + sys.argv[1] + "\n" + end
page = re.sub(re.escape(start) + ".*?" + re.escape(end), lambda _: block, page, flags=re.S) if start in page else page + "\n" + block + "\n"
open(path, "w").write(page)
PY
