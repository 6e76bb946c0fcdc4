#!/usr/bin/env bash
# A 1920x1080@60 session of the test pattern through veltra-relay on a link that slows down and
# recovers: free for 5 s, throttled to R Mbit/s for T s, free again for 10 s, for each R. Per
# run: pictures per second (mean and worst second) and the latency median while throttled,
# leaving out the first 2 s of the throttle (the stream adapting), and how long after the
# throttle ended the stream's rate took to get back to 90 % of its level before it (from the
# relay's count of the bytes it passed to the client every 100 ms, over 300 ms windows).
#
#   bench/link_bench.sh [--throttle T] [--rates "10 5"] [--build DIR] [--before HOST]
#                       [--content pattern|grain]
#
# The content is the test pattern alone (about 0.5 Mbit/s: it barely feels a throttle) or, by
# default, with grain in its top-left 640x360 (--grain): noise that changes every picture asks
# for the stream's whole bit rate, as grainy film would, at little cost to draw.
# --before runs the same with another host binary first, for a side-by-side table. Results go
# to build/link/ (summary.md and the raw logs). It leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
throttle=20
rates="10 5"
build=build/release
before=""
content=grain
while [ $# -gt 0 ]; do
  case "$1" in
    --throttle) throttle="${2:?}"; shift 2 ;;
    --rates) rates="${2:?}"; shift 2 ;;
    --build) build="${2:?}"; shift 2 ;;
    --before) before="$(realpath "${2:?}")"; shift 2 ;;
    --content) content="${2:?}"; shift 2 ;;
    *) echo "usage: bench/link_bench.sh [--throttle T] [--rates \"10 5\"] [--build DIR] [--before HOST] [--content pattern|grain]" >&2; exit 2 ;;
  esac
done
out="$PWD/build/link"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-remote veltra-test-pattern veltra-relay
port=19981
case "$content" in
  pattern) session="'$bin/veltra-test-pattern'" ;;
  grain) session="'$bin/veltra-test-pattern' --grain" ;;
  *) echo "--content is pattern or grain" >&2; exit 2 ;;
esac
free_before=5
free_after=10
seconds=$(( free_before + throttle + free_after ))
summary="$out/summary.md"
{
  echo "| host | link | pictures/s while throttled | worst second | latency median | bit rate back to 90 % after |"
  echo "|---|---|---|---|---|---|"
} >"$summary"

run() {  # LABEL HOST-PROGRAM RATE
  local label="$1" rate="$3" name="$1-$3"
  host_program="$2"
  port=$(( port + 2 ))
  start_host "$name" "$port" "$session"
  "$bin/dev/veltra-relay" --listen $(( port + 1 )) --to "$port" --rate "$rate" \
    --rate-from "$free_before" --rate-until $(( free_before + throttle )) --report-ms 100 \
    --seconds $(( seconds + 60 )) >"$out/$name.relay.log" 2>&1 &
  local relay_pid=$!
  remember "$relay_pid"
  wait_for_line "$out/$name.relay.log" "listening" 10 "$relay_pid"
  "$bin/veltra-remote" --headless --address 127.0.0.1 --port $(( port + 1 )) --key-file - \
    --mode 1920x1080@60 --seconds "$seconds" --latency "$out/$name.csv" <<<"$host_key" \
    >"$out/$name.remote.log" 2>&1 &
  local remote_pid=$!
  remember "$remote_pid"
  wait "$remote_pid" || true
  stop "$host_pid" "$relay_pid"
  python3 - "$label" "$rate" "$out/$name.csv" "$out/$name.relay.log" \
    >>"$summary" <<'PY'
import re, statistics, sys
label, rate, csv, relay = sys.argv[1:]
text = open(relay).read()
on = re.search(r"rate [0-9.]+ Mbit/s on at (\d+) us", text)
off = re.search(r"rate off at (\d+) us", text)
if not on or not off:
    print(f"| {label} | {rate} Mbit/s | the relay never throttled | | | |"); sys.exit()
on, off = int(on.group(1)), int(off.group(1))
pictures = []
for line in open(csv).read().splitlines()[1:]:
    fields = line.split(",")
    pictures.append((int(fields[0]), int(fields[2]) if fields[2] else None))
start = on + 2_000_000
inside = [p for p in pictures if start <= p[0] < off]
seconds = [sum(1 for p in inside if s <= p[0] < s + 1_000_000) for s in range(start, off - 999_999, 1_000_000)]
latencies = [p[1] / 1000 for p in inside if p[1] is not None]
sent = [(int(t), int(b)) for b, t in re.findall(r"to the client (\d+) bytes at (\d+) us", text)]
def rate_at(i, span=3):  # Mbit/s over the 300 ms ending at report i
    (t0, b0), (t1, b1) = sent[i - span], sent[i]
    return (b1 - b0) * 8 / (t1 - t0)
windows = [(sent[i][0], rate_at(i)) for i in range(3, len(sent))]
level = statistics.median([r for t, r in windows if on - 4_000_000 <= t <= on] or [0])
back = next((t for t, r in windows if t - 300_000 >= off and r >= 0.9 * level), None)
recovery = f"{(back - off) / 1e6:.1f} s (from {level:.1f} Mbit/s)" if back else f"not within the run (from {level:.1f} Mbit/s)"
fps = len(inside) / ((off - start) / 1e6)
median = f"{statistics.median(latencies):.1f} ms" if latencies else "–"
print(f"| {label} | {rate} Mbit/s | {fps:.1f} | {min(seconds) if seconds else 0} | {median} | {recovery} |")
PY
  tail -1 "$summary"
}

for rate in $rates; do
  [ -z "$before" ] || run before "$before" "$rate"
  run this "$bin/veltra-host" "$rate"
done
echo "the rows are in $summary"
