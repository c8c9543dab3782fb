#!/usr/bin/env bash
# Streamed against stop-and-wait, taking turns (each condition runs its modes
# one after the other, so what the machine does meanwhile weighs on all alike),
# and writes the table into docs/BENCHMARKS.md between its markers.
#   scripts/stream_bench.sh [REPS]   (default 3; about 4 minutes a repetition,
#                                    plus 30 once: 115200, and stop-and-wait
#                                    through USB adapters)
#   scripts/stream_bench.sh --report the table and docs/streaming.png again
# Run it on an otherwise idle machine: figures, not pass/fail.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
reps=${1:-3}
out=build/bench/stream
bin=build/native/bench/line_efficiency
mkdir -p "$out"
if [ "$reps" != --report ]; then  # --report: the table and plot again from the last runs
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
# Stop-and-wait through the adapters: 1 MiB, as its efficiency is per packet.
for mode in verified classic; do
  run "115200, USB 16 ms" $mode 1024 --speeds 115200 --usb 16
  run "921600, USB 16 ms" $mode 1024 --speeds 921600 --usb 16
done
for rep in $(seq "$reps"); do
  for mode in streamed verified classic; do run "921600, UART" $mode 4096 --speeds 921600 --uart; done
  run "921600, USB 16 ms" streamed 4096 --speeds 921600 --usb 16
  load
  run "921600, USB 16 ms, 2 busy cores" streamed 4096 --speeds 921600 --usb 16
  unload
done
fi

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

# Each line's modes side by side (means), as docs/streaming.png.
awk -F'|' '$4 != "failed" { key = $1 "|" $2; n[key]++; s[key] += $4; if (!($1 in seen)) { seen[$1] = 1; lines[++count] = $1 } }
  END { for (i = 1; i <= count; i++) { l = lines[i]; printf "\"%s\"", l
          for (m = 1; m <= 3; m++) { mode = (m == 1 ? "classic" : m == 2 ? "verified" : "streamed"); k = l "|" mode
            printf " %s", (k in n) ? sprintf("%.2f", s[k] / n[k]) : "NaN" }
          print "" } }' "$out/runs.txt" > "$out/plot.dat"
gnuplot <<PLOT
set terminal pngcairo size 1000,520 noenhanced
set output 'docs/streaming.png'
set title 'Line efficiency: 4 MiB streamed, 1 or 4 MiB stop-and-wait (the table), Linux ends, virtual cable'
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set ylabel 'efficiency (%)'
set yrange [0:100]
set key outside right top
set grid ytics
set xtics font ',9' rotate by -15
plot '$out/plot.dat' using 2:xtic(1) title 'classic', '' using 3 title 'verified', '' using 4 title 'streamed'
PLOT
