#!/usr/bin/env bash
# How long the pointer takes to get where the user moved it, both ways the client can show it.
# In the video (a base client; the host draws its pointer into the picture): veltra-host with an
# empty display streams 1920x1080@60 over loopback, and per `move` sent, the time until a decoded
# picture shows the pointer at its new place. Drawn locally (the cursor extension; the client's
# window system draws the pointer itself): on an Xvfb of the same size, the time from an XTEST
# motion to the X server reporting the pointer at its new place. See tools/dev/pointer_latency.cpp
# for exactly what each measures.
#
#   bench/pointer_bench.sh [--moves N] [--build DIR]
#
# N moves each way (default 100), a random 20 to 70 ms apart; about 15 s. Results go to
# build/perf-pointer/. It ends by itself and leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
moves=100
build=build/release
while [ $# -gt 0 ]; do
  case "$1" in
    --moves) moves="${2:?--moves takes a whole number}"; shift 2 ;;
    --build) build="${2:?--build takes a directory}"; shift 2 ;;
    *) echo "usage: bench/pointer_bench.sh [--moves N] [--build DIR]" >&2; exit 2 ;;
  esac
done
out="$PWD/build/perf-pointer"
rm -rf "$out"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-pointer-latency
measure="$bin/dev/veltra-pointer-latency"

port=19931
start_host video "$port"
"$measure" --port "$port" --key-file - --mode 1920x1080@60 --moves "$moves" \
  >"$out/video.txt" <<<"$host_key"
stop "$host_pid"

# The local display: an Xvfb of our own, on a number it picks itself.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
xvfb_pid=$!
remember "$xvfb_pid"
for _ in $(seq 1 100); do
  [ -s "$out/display" ] && break
  sleep 0.1
done
[ -s "$out/display" ] || { echo "Xvfb did not start:" >&2; cat "$out/xvfb.log" >&2; exit 1; }
"$measure" --local ":$(head -n 1 "$out/display")" --moves "$moves" >"$out/local.txt"
stop "$xvfb_pid"

echo "in the video, 1920x1080@60 (host draws the pointer): $(tail -n 1 "$out/video.txt")"
echo "drawn locally (client's X server moves its own): $(tail -n 1 "$out/local.txt")"
