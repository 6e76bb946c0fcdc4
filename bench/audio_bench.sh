#!/usr/bin/env bash
# The sound's latency and its sync with the picture on this machine: veltra-host runs
# `veltra-test-pattern --click` in its display, which once a second flashes one picture and plays
# a click through the display's sound server at the moment it stamps that picture; veltra-remote,
# headless, plays the session's sound into a WAV file in real time and records every picture's
# latency stamp. bench/lib/click_sync.py then finds each click in the file and its flash picture:
# sound latency is the click's place in the file less the picture's stamp (the pattern's write to
# the client's output), the offset is that place less when the client decoded the picture
# (positive: the sound came after the picture).
#
#   bench/audio_bench.sh [--seconds N] [--build DIR]
#
# N seconds of session (default 30). Results go to build/perf-audio/. It ends by itself and
# leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=30
build=build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="${2:?--seconds takes a whole number}"; shift 2 ;;
    --build) build="${2:?--build takes a directory}"; shift 2 ;;
    *) echo "usage: bench/audio_bench.sh [--seconds N] [--build DIR]" >&2; exit 2 ;;
  esac
done
[ "$seconds" -ge 3 ] 2>/dev/null || { echo "--seconds takes a whole number from 3" >&2; exit 2; }
out="$PWD/build/perf-audio"
rm -rf "$out"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-remote veltra-test-pattern

load_before="$(uptime)"
port=19981
start_host audio "$port" "'$bin/veltra-test-pattern' --click"
# The warm-up keeps the display's first picture out of the pictures' figures.
start_remote audio "$port" "$seconds" --audio "$out/sound.wav" --latency "$out/latency.csv" \
  --warm-up 2
# The client's --seconds ends the session; the wait is bounded by it and the connection's own.
wait "$remote_pid" || { echo "the client failed:" >&2; cat "$remote_log" >&2; exit 1; }
load_after="$(uptime)"
stop "$host_pid"

first_sample="$(sed -n 's/^sound: first sample at \([0-9]*\) us$/\1/p' "$remote_log")"
if [ -z "$first_sample" ] || [ ! -s "$out/latency.csv" ]; then
  echo "the client played no sound or recorded no pictures:" >&2
  cat "$remote_log" >&2
  exit 1
fi
echo "audio bench: $seconds s of test pattern with clicks at 1920x1080@60; raw results in $out"
echo "load before: ${load_before#*load average: } · after: ${load_after#*load average: }"
grep -E '^latency median|^pictures per second' "$remote_log" | sed 's/^/pictures: /'
echo "| run | clicks measured | sound latency median ms | p95 | offset p5 ms | median | p95 | trend ms/min |"
python3 bench/lib/click_sync.py "$out/sound.wav" "$out/latency.csv" "$first_sample" \
  --label "${seconds} s, load ${load_before##*load average: }" --clicks "$out/clicks.csv" | tee "$out/summary.txt"
