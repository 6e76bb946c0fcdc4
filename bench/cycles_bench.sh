#!/usr/bin/env bash
# Many short sessions against one host: connect, stream the test pattern at 1920x1080@60 for a
# second, disconnect; N times (default 1000). After every cycle it records the host's RSS,
# threads, descriptors and Xvfb servers, and whether the cycle reached "Connected". At the end it
# prints the RSS slope (KiB per cycle, least squares over the second half, after allocator
# warm-up) and the first and last values of each.
#
#   bench/cycles_bench.sh [--cycles N] [--build DIR]
#
# About 2 s per cycle on a 2-core machine. Results go to build/cycles/. It ends by itself and
# leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
cycles=1000
build=build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles="${2:?}"; shift 2 ;;
    --build) build="${2:?}"; shift 2 ;;
    *) echo "usage: bench/cycles_bench.sh [--cycles N] [--build DIR]" >&2; exit 2 ;;
  esac
done
out="$PWD/build/cycles"
rm -rf "$out"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-remote veltra-test-pattern
port=19971
start_host cycles "$port" "'$bin/veltra-test-pattern'"

# A first session, not counted, creates the display, which takes longer than a cycle's second on
# a loaded machine; every cycle then reuses it, as a user's reconnections would.
start_remote warm-up "$port" 5
wait "$remote_pid" || true

samples="$out/samples.txt"
echo "cycle connected rss_kib threads fds xvfb seconds" >"$samples"
failed=0
ends=0
for cycle in $(seq 1 "$cycles"); do
  began=$(mono_us)
  start_remote cycle "$port" 1
  wait "$remote_pid" || true
  connected=0
  grep -q "^Connected · " "$remote_log" && connected=1
  [ "$connected" = 1 ] || { failed=$(( failed + 1 )); cp "$remote_log" "$out/failed-$cycle.log"; }
  # The host is back to listening before the next cycle (and before it is measured).
  for _ in $(seq 1 100); do
    (( $(grep -c "listening on $port\$" "$host_log") > ends )) && break
    sleep 0.05
  done
  ends=$(grep -c "listening on $port\$" "$host_log" || true)
  echo "$cycle $connected $(rss_kib "$host_pid") $(threads "$host_pid") $(fds "$host_pid") $(xvfbs "$host_pid") $(awk -v a="$began" -v b="$(mono_us)" 'BEGIN { printf "%.2f", (b - a) / 1e6 }')" >>"$samples"
  if (( cycle % 50 == 0 )); then echo "cycle $cycle: $(tail -1 "$samples")" >&2; fi
  kill -0 "$host_pid" 2>/dev/null || { echo "the host ended at cycle $cycle" >&2; break; }
done

awk -v failed="$failed" 'NR == 1 { next }
  { n++; c[n] = $1; r[n] = $3; t[n] = $4; f[n] = $5; x[n] = $6; s += $7 }
  END {
    half = int(n / 2) + 1
    for (i = half; i <= n; i++) { m++; sx += c[i]; sy += r[i]; sxx += c[i] * c[i]; sxy += c[i] * r[i] }
    slope = (m > 1) ? (m * sxy - sx * sy) / (m * sxx - sx * sx) : 0
    printf "cycles %d, not connected %d, %.2f s per cycle\n", n, failed, s / n
    printf "host RSS %.1f MiB after cycle 1, %.1f MiB after cycle %d; slope over cycles %d-%d: %.2f KiB per cycle\n",
      r[1] / 1024, r[n] / 1024, n, c[half], c[n], slope
    printf "threads %d -> %d, descriptors %d -> %d, Xvfb servers %d -> %d\n", t[1], t[n], f[1], f[n], x[1], x[n]
  }' "$samples" | tee "$out/summary.txt"
