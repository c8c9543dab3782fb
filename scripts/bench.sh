#!/usr/bin/env bash
# Builds and runs every benchmark, then writes docs/BENCHMARKS.md (the tables,
# the raw output and how to reproduce them) and docs/efficiency.png.
#   scripts/bench.sh           the full run (about 45 minutes: 4 MiB at 115200 alone
#                              is 6 minutes of line time, once per build)
#   scripts/bench.sh --quick   runs whose line time exceeds 60 s are estimated, 64 MiB
#                              stands for 1 GiB in the memory figures (about 10 minutes)
#   scripts/bench.sh --report  only rewrites the report from the last run's output
# Benchmarks print figures; none of them fails on a time. Run it on an otherwise
# idle machine: a busy one shows up as turnaround time and lowers the figures.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Seconds of line time up to which a run is measured, not estimated: 4 MiB at
# 115200 (367 s) is measured for both senders.
budget=400
big_mib=1024
report_only=0
case "${1:-}" in
  --quick) budget=60; big_mib=64 ;;
  --report) report_only=1 ;;
esac
out=build/bench
[ $report_only = 1 ] && budget=$(cat "$out/budget")

if [ $report_only = 0 ]; then
./scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target line_efficiency resources_bench cable_bench serial_bench zarvek
cmake --preset windows >/dev/null
cmake --build --preset windows --target zarvek

mkdir -p "$out" docs
echo "$budget" > "$out/budget"
bin=build/native/bench
wine_exe=build/windows/cli/zarvek.exe

run() {  # run NAME COMMAND...: output on the terminal and in $out/NAME.txt; a failure is noted, not fatal
  local name=$1; shift
  echo "=== $name"
  "$@" 2>&1 | tee "$out/$name.txt" || echo "($name: a run failed; see above)" | tee -a "$out/$name.txt"
}

run line-linux "$bin/line_efficiency" --budget "$budget" --markdown "$out/line-linux.md" --data "$out/line-linux.dat"
run line-wine "$bin/line_efficiency" --budget "$budget" --wine "$wine_exe" \
  --markdown "$out/line-wine.md" --data "$out/line-wine.dat"
# 921600 once more with the cable handing bytes over as a UART does: byte by
# byte, its relay takes a core at that speed and the figures are its own.
run line-linux-uart "$bin/line_efficiency" --uart --speeds 921600 --budget "$budget" \
  --markdown "$out/line-linux-uart.md" --data "$out/line-linux-uart.dat"
run line-wine-uart "$bin/line_efficiency" --uart --speeds 921600 --budget "$budget" --wine "$wine_exe" \
  --markdown "$out/line-wine-uart.md" --data "$out/line-wine-uart.dat"
# The cost of verified transfers: the same files with both ends classic, at
# 115200 (4 MiB, and the small-file batch), next to the default runs above.
run line-linux-classic "$bin/line_efficiency" --classic --speeds 115200 --sizes 1,4096 --budget "$budget" \
  --markdown "$out/line-linux-classic.md" --data "$out/line-linux-classic.dat"
# The same cost once more, the two modes taking turns: what the machine is
# doing meanwhile weighs on both alike.
for turn in 1 2; do
  for mode in classic verified; do
    flag=()
    [ $mode = classic ] && flag=(--classic)
    run turn$turn-$mode "$bin/line_efficiency" "${flag[@]}" --speeds 115200 --sizes 4096 --budget 100000 \
      --markdown "$out/turn$turn-$mode.md"
  done
done
# Through USB adapters at both ends (16 ms latency timer): the stop-and-wait
# baseline that streaming is to beat. 1 MiB at 115200 (2 minutes a run), 4 MiB
# at 921600 (3 minutes).
for mode in classic verified; do
  flag=()
  [ $mode = classic ] && flag=(--classic)
  run usb-115200-$mode "$bin/line_efficiency" "${flag[@]}" --usb 16 --speeds 115200 --sizes 1024 \
    --budget 100000 --markdown "$out/usb-115200-$mode.md"
  run usb-921600-$mode "$bin/line_efficiency" "${flag[@]}" --usb 16 --speeds 921600 --sizes 4096 \
    --budget 100000 --markdown "$out/usb-921600-$mode.md"
done
# Streamed against stop-and-wait, taking turns: writes its own section.
run stream scripts/stream_bench.sh 3
# Two faults at a time on the simulated line (seeded).
run two-faults scripts/two_faults.sh 10000 1
ZARVEK_STREAMED=1 run two-faults-streamed scripts/two_faults.sh 10000 1
run resources "$bin/resources_bench" --big-mib "$big_mib" --wine "$wine_exe" --markdown "$out/resources.md"
run cable "$bin/cable_bench"
run serial "$bin/serial_bench"
fi

# Efficiency against speed for 64 KiB and 4 MiB (1 KiB sits at its 24.8 % ceiling:
# the table has it). One series file per build and size, so gnuplot joins its
# points; the UART cable's runs, at 921600 only, are points of their own.
plot_lines=()
for build in linux wine linux-uart wine-uart; do
  case $build in
    linux) label="Linux" ;;
    wine) label="Windows (Wine)" ;;
    linux-uart) label="Linux, UART cable" ;;
    wine-uart) label="Windows (Wine), UART cable" ;;
  esac
  style=$([ "${build%-uart}" = "$build" ] && echo "linespoints lw 2" || echo "points pt 7 ps 1.5")
  for size in 65536 4194304; do
    name=$([ $size = 65536 ] && echo "64 KiB" || echo "4 MiB")
    awk -v s=$size '$2 == s { print $1, $3, $5 }' "$out/line-$build.dat" > "$out/series-$build-$size.dat"
    plot_lines+=("'$out/series-$build-$size.dat' using 1:2 with $style title '$label, $name'")
  done
done
for size in 65536 4194304; do
  name=$([ $size = 65536 ] && echo "64 KiB" || echo "4 MiB")
  plot_lines+=("'$out/series-linux-$size.dat' using 1:3 with lines dashtype 2 lc rgb 'gray40' title 'protocol ceiling, $name'")
done
gnuplot <<EOF
set terminal pngcairo size 900,560 noenhanced
set output 'docs/efficiency.png'
set title 'Line efficiency: payload bytes/s over the line byte rate (baud/10), virtual cable'
set logscale x
set xlabel 'line speed (bit/s)'
set ylabel 'efficiency (%)'
set yrange [80:100]
set xrange [8000:1100000]
set xtics (9600, 19200, 57600, 115200, 921600)
set key bottom left
set grid
plot $(IFS=,; echo "${plot_lines[*]}")
EOF

{
  cat <<EOF
# Benchmarks

Figures from \`scripts/bench.sh\` on $(date -u +%Y-%m-%d), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')),
$(uname -sr). They are measurements of this machine, not guarantees; nothing
here is a pass/fail test.

## Reproduce

\`\`\`sh
scripts/bench.sh            # builds, runs every benchmark, rewrites this file and docs/efficiency.png
scripts/bench.sh --quick    # long runs estimated, 64 MiB instead of 1 GiB: a few minutes
scripts/stream_bench.sh     # streamed against stop-and-wait, taking turns: the section "Streamed files"
\`\`\`

Single benchmarks (after \`cmake --build --preset native\`):

\`\`\`sh
build/native/bench/line_efficiency [--speeds 9600,115200] [--sizes 1,64,4096] [--budget S] [--uart] [--usb [DIR:]MS] [--mode classic|verified|streamed] [--wine build/windows/cli/zarvek.exe]
build/native/bench/resources_bench [--big-mib 1024] [--wine build/windows/cli/zarvek.exe]
build/native/bench/cable_bench
build/native/bench/serial_bench
\`\`\`

## Line efficiency

Efficiency is payload bytes per second divided by the line's byte rate (baud / 10,
as 8N1 takes 10 bits a byte). Each file is sent alone over the virtual cable paced
at that speed; its time runs from the first byte of its "FS" entering the cable to
the receiver taking its "EF". The receiver is always the Linux engine; the sender
is the Linux engine, or the Windows command line (\`build/windows/cli/zarvek.exe\`)
under Wine on COM7.

The protocol's ceiling for one file is its payload over everything the protocol
puts on the line for it: "FS", "FN", one "FD" per started KiB and "EF" (1030 bytes
each) plus a reply byte for all but "EF". For large files that tends to
1024 / 1031 = 99.3 %; for 1 KiB it is 24.8 %, since four packets carry one KiB.

Runs whose line time alone is over the budget (${budget} s) are not run: they are
marked (est.) and estimated from the largest file measured at that speed, from
its time beyond the line time per packet.

![efficiency against speed](efficiency.png)

The virtual cable hands the far end the bytes of a burst about once a
millisecond (each byte at most 1 ms after it is off the line) and the last byte
of a burst on time: its relay takes about 5 % of a core at 921600 (cable_bench
below, "relay cpu"), and its own packet-and-reply exchange, with no engine at
all, reaches about 98 % ("Packet (1030 bytes) and one-byte reply"). A real UART
hands bytes over in 16550 FIFO batches (14 at a time, the rest after 4 byte
times); the rows marked "UART cable" are 921600 once more with the cable doing
the same in both directions.

EOF
  cat "$out/line-linux.md"
  echo
  cat "$out/line-wine.md"
  echo
  cat "$out/line-linux-uart.md"
  echo
  cat "$out/line-wine-uart.md"
  cat <<'EOF'

The second table of each pair is the per-file cost in a batch of small files: from one file's
"EF" to the next one's, which holds the sender's 50 ms pause, opening the next
file and its four packets with their replies. "The protocol's own" is that line
time plus the 50 ms pause; the excess is every turnaround, file opening and
closing together.

## The cost of verified transfers

Two Zarvek ends verify every file by default (docs/PROTOCOL.md): the tables above
are verified runs. Here the same files at 115200 with both ends classic
(`--classic`). A verified file costs a checksum per packet at each end and the
receiver's answer to "EF" (one reply), and saves the 50 ms pause after it: the
receiver has answered, so it is already waiting.

EOF
  cat "$out/line-linux-classic.md"
  echo
  awk -F'|' '$3 ~ /115200/ && $4 ~ /4 MiB/ { gsub(/^ +| +$/, "", $2); gsub(/ /, "", $7); print "- 4 MiB at 115200, " $2 ": " $7 }' \
    "$out/line-linux.md" "$out/line-linux-classic.md"
  echo
  echo "Taking turns (classic, verified, classic, verified), 4 MiB at 115200:"
  echo
  for turn in 1 2; do
    for mode in classic verified; do
      awk -F'|' -v t="$turn" -v m="$mode" '$3 ~ /115200/ && $4 ~ /4 MiB/ { gsub(/ /, "", $7); print "- turn " t ", " m ": " $7 }' \
        "$out/turn$turn-$mode.md"
    done
  done
  cat <<'EOF'

## Through USB adapters: the stop-and-wait baseline

Both far ends receive through USB serial adapters with a 16 ms latency timer
(`--usb 16`): 62 bytes at a time, fewer when the timer, started by the first
byte held, runs out. A packet's last 38 bytes (1030 = 16 × 62 + 38) and every
reply wait out the timer, about 16 ms each way per packet: 75 % of the line at
115200 and 26 % at 921600 by arithmetic. With an adapter at the sender only
(`--usb b2a:16`), only the replies wait: about 84 % and 41 %. A streaming mode
is to beat these.

EOF
  for speed in 115200 921600; do
    for mode in classic verified; do
      cat "$out/usb-$speed-$mode.md"
      echo
    done
  done
  cat <<'EOF'
## Streamed files

Two Zarvek ends stream verified files (docs/PROTOCOL.md, "Streamed files"): the
sender keeps up to 4 packets (115200) or 16 (921600) on the line and the
receiver acknowledges in frames, so neither the adapters' 16 ms nor a turnaround
is paid per packet. `scripts/stream_bench.sh` runs each line's modes one after
the other (taking turns), with the Linux engines at both ends; "2 busy cores" is
the `load` label's load (two busy shell loops) during the run. The protocol's
ceiling counts a reply byte per packet, as above; a streamed file's replies do
not hold up its packets, so its own ceiling is 1024/1030 × chunks/(chunks + 3):
99.35 % for 4 MiB. Stop-and-wait through the adapters is measured here once
more, 1 MiB a run (its cost is per packet).

![streamed against stop-and-wait](streaming.png)

<!-- stream-bench -->
EOF
  cat "$out/stream/table.md"
  cat <<'EOF'
<!-- /stream-bench -->

## Faults, two at a time

`scripts/two_faults.sh`: two faults at a time, drawn at random (seed 1) from the
single-fault table's faults of the verified batch, or (`ZARVEK_STREAMED=1`) of
the streamed one (tests/reliability), on the simulated line. Columns: cases, every file identical, some file reported not
delivered by both ends, the ends disagreeing without damage, silent damage,
cases without an end, the longest a batch took beyond the clean run.

| | cases | identical | reported | disagreed | silent | hangs | longest |
|---|---:|---:|---:|---:|---:|---:|---:|
EOF
  grep -h '^| two faults' "$out/two-faults.txt" "$out/two-faults-streamed.txt"
  cat <<'EOF'

## CPU and memory

CPU is the thread's (Linux engines, in-process) or the processes' (Wine, with its
server) user + system time over the wall time, as % of one core. The relay of
the virtual cable is a test harness and is left out (resources.txt below gives it).

EOF
  cat "$out/resources.md"
  cat <<'EOF'

Memory: `zarvek send` and `zarvek receive` as two processes over the unpaced cable
(ports set to 921600), one file each run. Peak RSS is the kernel's high-water mark
of the program's memory (VmHWM; not ru_maxrss, which for a started process counts
the resident set of whoever started it); it, "own" (RssAnon: heap and stacks) and
"mapped file" (RssFile: the program's code and libraries, about 4.6 MiB, and the
pages of the file being moved) are the peaks of samples taken every 50 ms. The
sending file is sparse (zeros), which the sender still maps and reads page by page.

Both ends map the whole file (the sender read-only, the receiver read/write) and
give back each whole mebibyte of the view once they are past it, so the resident
set stays about flat in the file's size: compare the two rows.

## Raw output

EOF
  for name in line-linux line-wine line-linux-uart line-wine-uart line-linux-classic usb-115200-classic \
    usb-115200-verified usb-921600-classic usb-921600-verified resources cable serial; do
    echo "### $name"
    echo
    echo '```'
    cat "$out/$name.txt"
    echo '```'
    echo
  done
} > docs/BENCHMARKS.md
echo "wrote docs/BENCHMARKS.md and docs/efficiency.png"
