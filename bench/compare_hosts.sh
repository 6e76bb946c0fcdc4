#!/usr/bin/env bash
# Before and after in one run: two builds of veltra-host stream the test pattern to the same
# veltra-remote over loopback, taking turns (A B A B …) so that the machine's noise falls on both
# alike. Per turn: pictures per second, latency median / p95 / p99, stamps that could not be
# read (torn pictures), and the host's CPU seconds per second (its Xvfb and the pattern
# included).
#
#   bench/compare_hosts.sh BEFORE_HOST AFTER_HOST [--mode WxH@FPS] [--rounds N] [--seconds S]
#
# The client and the test pattern come from the release build. It leaves no process behind.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 2 ] || { echo "usage: bench/compare_hosts.sh BEFORE_HOST AFTER_HOST [--mode M] [--rounds N] [--seconds S]" >&2; exit 2; }
before="$(realpath "$1")" after="$(realpath "$2")"; shift 2
mode=1920x1080@60 rounds=3 seconds=15
while [ $# -gt 0 ]; do
  case "$1" in
    --mode) mode="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
cmake --preset release >/dev/null
cmake --build build/release --target veltra-remote veltra-test-pattern >/dev/null
bin="$PWD/build/release/tools"
out="$PWD/build/compare"
rm -rf "$out"; mkdir -p "$out"
tick=$(getconf CLK_TCK)
port=19700

host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill -INT "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  host_pid=""
}
trap cleanup EXIT

# CPU ticks of a process and all its descendants.
ticks_of() {
  local pid="$1" total=0 child
  total=$(awk '{ sub(/.*\) /, ""); print $12 + $13 }' /proc/"$pid"/stat 2>/dev/null || echo 0)
  for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
    total=$(( total + $(ticks_of "$child") ))
  done
  echo "$total"
}

run_one() {
  local label="$1" host="$2" dir="$out/$3"
  mkdir -p "$dir"
  port=$(( port + 1 ))
  "$host" --headless --port "$port" --session "$bin/veltra-test-pattern --fps ${mode#*@}" \
    >"$dir/host.log" 2>&1 &
  host_pid=$!
  for _ in $(seq 100); do grep -q "^Connection key: " "$dir/host.log" && break; sleep 0.1; done
  sed -n 's/^Connection key: //p' "$dir/host.log" | tr -d '\n' |
    "$bin/veltra-remote" --headless --address 127.0.0.1 --port "$port" --key-file - \
      --mode "$mode" --seconds $(( seconds + 2 )) --latency "$dir/latency.csv" --warm-up 2 \
      >"$dir/client.log" 2>&1 &
  local client=$!
  sleep 2
  local t0 t1
  t0=$(ticks_of "$host_pid")
  sleep "$seconds"
  t1=$(ticks_of "$host_pid")
  wait "$client" || true
  cleanup
  local cpu lat fps unread
  cpu=$(awk -v a="$t0" -v b="$t1" -v t="$tick" -v s="$seconds" 'BEGIN { printf "%.2f", (b - a) / t / s }')
  lat=$(sed -n 's/^latency median \([0-9.]*\) ms · p95 \([0-9.]*\) ms · p99 \([0-9.]*\) ms.*/\1 · \2 · \3/p' "$dir/client.log")
  fps=$(sed -n 's/^pictures per second: mean \([0-9.]*\) · worst second \([0-9]*\).*· \([0-9]*\) unread/\1 · \2/p' "$dir/client.log")
  unread=$(sed -n 's/^pictures per second:.*· \([0-9]*\) unread/\1/p' "$dir/client.log")
  echo "| $label | ${fps:-–} | ${lat:-–} | ${unread:-–} | $cpu |"
}

echo "## $mode, $rounds rounds of $seconds s, turns alternating"
echo
echo "| host | pictures/s mean · worst second | latency median · p95 · p99 (ms) | unread stamps | host CPU s/s |"
echo "|---|---|---|---|---|"
for round in $(seq "$rounds"); do
  run_one before "$before" "before-$round"
  run_one after "$after" "after-$round"
done
