#!/usr/bin/env bash
# One long 1920x1080@60 session of the test pattern on loopback (default one hour), sampling RSS
# and descriptors of both programs every INTERVAL seconds (default 60), plotted with gnuplot to
# build/soak/soak.png, with the session's pictures per second and latency median per interval.
#
#   bench/soak_bench.sh [--minutes M] [--interval S] [--build DIR]
#
# It ends by itself and leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
minutes=60
interval=60
build=build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="${2:?}"; shift 2 ;;
    --interval) interval="${2:?}"; shift 2 ;;
    --build) build="${2:?}"; shift 2 ;;
    *) echo "usage: bench/soak_bench.sh [--minutes M] [--interval S] [--build DIR]" >&2; exit 2 ;;
  esac
done
command -v gnuplot >/dev/null || { echo "gnuplot is missing (scripts/setup.sh installs it)" >&2; exit 1; }
out="$PWD/build/soak"
rm -rf "$out"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-remote veltra-test-pattern
port=19991
total=$(( minutes * 60 ))
start_host soak "$port" "'$bin/veltra-test-pattern'"
start_remote soak "$port" $(( total + 5 )) --latency "$out/latency.csv"
wait_for_line "$remote_log" "^Connected · " 30 "$remote_pid" || { cat "$remote_log" >&2; exit 1; }

samples="$out/samples.txt"
echo "# minutes host_rss_mib host_fds client_rss_mib client_fds host_threads client_threads" >"$samples"
began=$(mono_us)
times="$out/times.txt"
: >"$times"
for (( elapsed = 0; elapsed <= total; elapsed += interval )); do
  while (( ($(mono_us) - began) / 1000000 < elapsed )); do sleep 0.5; done
  kill -0 "$remote_pid" 2>/dev/null || { echo "the client ended early" >&2; break; }
  echo "$(mono_us)" >>"$times"
  awk -v m="$(awk -v e="$elapsed" 'BEGIN { printf "%.2f", e / 60 }')" \
      -v hr="$(rss_kib "$host_pid")" -v hf="$(fds "$host_pid")" \
      -v cr="$(rss_kib "$remote_pid")" -v cf="$(fds "$remote_pid")" \
      -v ht="$(threads "$host_pid")" -v ct="$(threads "$remote_pid")" \
      'BEGIN { printf "%s %.1f %d %.1f %d %d %d\n", m, hr / 1024, hf, cr / 1024, cf, ht, ct }' >>"$samples"
  echo "$(tail -1 "$samples")" >&2
done
kill -INT "$remote_pid" 2>/dev/null || true
wait "$remote_pid" 2>/dev/null || true

# Pictures per second and latency median per interval, from the client's record.
echo "# minutes fps latency_median_ms" >"$out/rate.txt"
previous=""
while read -r at; do
  if [ -n "$previous" ]; then
    read -r fps median < <(window "$out/latency.csv" "$previous" "$at")
    awk -v p="$previous" -v b="$began" -v f="$fps" -v m="$median" \
      'BEGIN { printf "%.2f %s %s\n", (p - b) / 6e7, f, m }' >>"$out/rate.txt"
  fi
  previous="$at"
done <"$times"

gnuplot <<PLOT
set terminal pngcairo size 1100,800 noenhanced
set output "$out/soak.png"
set multiplot layout 3,1 title "Veltra 1920x1080@60 session, ${minutes} min, sampled every ${interval} s"
set xlabel "minutes"
set grid
set ylabel "RSS MiB"
plot "$samples" using 1:2 with linespoints title "host RSS", "$samples" using 1:4 with linespoints title "client RSS"
set ylabel "descriptors"
plot "$samples" using 1:3 with linespoints title "host fds", "$samples" using 1:5 with linespoints title "client fds"
set ylabel "pictures/s, ms"
plot "$out/rate.txt" using 1:2 with linespoints title "pictures/s", "$out/rate.txt" using 1:3 with linespoints title "latency median ms"
unset multiplot
PLOT
awk 'NR == 2 { first = $0 } NR > 1 { last = $0 } END { print "first sample: " first; print "last sample:  " last }' "$samples" | tee "$out/summary.txt"
echo "plot: $out/soak.png"
