#!/usr/bin/env bash
# Hostile connections against a host while a legitimate 1920x1080@60 session streams the test
# pattern on loopback: silent connections, random bytes, a 1 GiB frame announced and trickled, a
# hello and then nothing, and connect-and-close churn; one scenario at a time, then all together.
# Per scenario: how the host closed the hostile connections, the session's pictures per second
# and latency median beside the quiet figures, and the host's memory. Then, without a session,
# how long a legitimate client waits behind 1 to 100 connections that stall the handshake, each
# from an address of its own, and behind stallers that share the client's address.
#
#   bench/hostile_bench.sh [--repeat S] [--count N] [--cycles N] [--build DIR] [--no-wait]
#                          [--warm-up S]
#
# S seconds of storm per scenario (rounds of N connections; default 10 and 100), N churn cycles
# (default 2000). The session streams W seconds (--warm-up, default 45) before the quiet window.
# Results go to build/hostile/ (summary.md and the raw logs). It ends by itself
# and leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
repeat=10
count=100
cycles=2000
build=build/release
measure_wait=1
warm_up=45
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat) repeat="${2:?}"; shift 2 ;;
    --count) count="${2:?}"; shift 2 ;;
    --cycles) cycles="${2:?}"; shift 2 ;;
    --build) build="${2:?}"; shift 2 ;;
    --no-wait) measure_wait=0; shift ;;
    --warm-up) warm_up="${2:?}"; shift 2 ;;
    *) echo "usage: bench/hostile_bench.sh [--repeat S] [--count N] [--cycles N] [--build DIR] [--no-wait]" >&2; exit 2 ;;
  esac
done
out="$PWD/build/hostile"
rm -rf "$out"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-remote veltra-test-pattern veltra-hostile-load
port=19931

start_host storm "$port" "'$bin/veltra-test-pattern'"
csv="$out/latency.csv"
start_remote storm "$port" 600 --latency "$csv"
wait_for_line "$remote_log" "^Connected · " 30 "$remote_pid" || { cat "$remote_log" >&2; exit 1; }
# Past the first key frame, and past the allocator's warm-up: the host's RSS levels off within
# the first 40 s of a session (bench/soak_bench.sh), which would otherwise count as growth here.
sleep "$warm_up"

# The host's memory every 200 ms, beside the monotonic clock, for the whole run.
( while kill -0 "$host_pid" 2>/dev/null; do echo "$(mono_us) $(rss_kib "$host_pid")"; sleep 0.2; done ) \
  >"$out/host-rss.txt" &
remember $!

fds_before=$(fds "$host_pid")
rss_before=$(rss_kib "$host_pid")
quiet_from=$(mono_us)
sleep 10
quiet_to=$(mono_us)

results="$out/scenarios.txt"
: >"$results"
for scenario in silent garbage giant hello churn all; do
  list="$scenario"
  [ "$scenario" = all ] && list=silent,garbage,giant,hello,churn
  echo "scenario $scenario…" >&2
  from=$(mono_us)
  "$bin/dev/veltra-hostile-load" --port "$port" --scenario "$list" --count "$count" \
    --cycles "$cycles" --repeat "$repeat" --hold 12 >"$out/$scenario.txt" 2>&1 || true
  to=$(mono_us)
  echo "$scenario $from $to" >>"$results"
  sleep 2  # let the session settle between scenarios
done
after_from=$(mono_us)
sleep 5
fds_after=$(fds "$host_pid")
rss_after=$(rss_kib "$host_pid")
after_to=$(mono_us)

still_connected=no
kill -0 "$remote_pid" 2>/dev/null && [ "$(state "$remote_pid")" != Z ] && still_connected=yes
kill -INT "$remote_pid"
for _ in $(seq 1 100); do kill -0 "$remote_pid" 2>/dev/null || break; sleep 0.1; done

peak_kib() {  # FROM TO
  awk -v from="$1" -v to="$2" '$1 >= from && $1 <= to && $2 > peak { peak = $2 } END { print peak + 0 }' "$out/host-rss.txt"
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

read -r quiet_fps quiet_median < <(window "$csv" "$quiet_from" "$quiet_to")
{
  echo "# Hostile load against a streaming host"
  echo
  echo "Session: 1920x1080@60, test pattern, loopback. Quiet: $quiet_fps pictures/s, latency median $quiet_median ms."
  echo "Storm per scenario: ${repeat} s of rounds of $count connections; churn $cycles cycles."
  echo
  echo "| scenario | hostile connections | closed by the host | close time median / max | left open at hold end | pictures/s (quiet $quiet_fps) | latency median (quiet $quiet_median ms) | host RSS peak − before |"
  echo "|---|---|---|---|---|---|---|---|"
  while read -r scenario from to; do
    read -r fps median < <(window "$csv" "$from" "$to")
    peak=$(peak_kib "$from" "$to")
    awk -v s="$scenario" -v fps="$fps" -v med="$median" -v qf="$quiet_fps" -v qm="$quiet_median" \
        -v grow="$(mib $(( peak - rss_before )))" '
      { for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        if (f["scenario"] == "churn") {
          conns += f["cycles"]; closed += f["cycles"] - f["connect_failed"]
          note = note sprintf("churn %d/s ", f["per_second"])
        } else {
          conns += f["connections"]; closed += f["closed"]; open += f["still_open"]
          if (f["close_median_ms"] + 0 > med_close) med_close = f["close_median_ms"]
          if (f["close_max_ms"] + 0 > max_close) max_close = f["close_max_ms"]
        }
        delete f }
      END {
        printf "| %s | %d | %d | %.1f / %.1f ms %s| %d | %s (%.1f %%) | %s ms (%+.1f) | %s MiB |\n",
          s, conns, closed, med_close, max_close, note, open, fps, (qf > 0 ? 100 * fps / qf : 0),
          med, med - qm, grow }' "$out/$scenario.txt"
  done <"$results"
  read -r after_fps after_median < <(window "$csv" "$after_from" "$after_to")
  echo
  echo "After the storm: $after_fps pictures/s, latency median $after_median ms."
  echo "Host descriptors: $fds_before before, $fds_after after. Host RSS: $(mib "$rss_before") MiB before, $(mib "$rss_after") MiB 5 s after."
  echo "The session stayed connected throughout: $still_connected."
} >"$out/summary.md"

if [ "$measure_wait" = 1 ]; then
  # Without a session: a legitimate client behind connections that hold the slot with a hello.
  sleep 2
  {
    echo
    echo "| stalling connections | dial again when closed | their addresses | legitimate client waited | attempts | outcome |"
    echo "|---|---|---|---|---|---|"
  } >>"$out/summary.md"
  # "own": each staller from an address of its own (127.0.0.2 and up), as devices on a LAN are;
  # "client's": all from the legitimate client's address, which the host cannot tell apart.
  for variant in "1 once own" "10 once own" "100 once own" "1 again own" "20 again own" \
    "10 again client's"; do
    read -r stallers mode addresses <<<"$variant"
    extra=()
    [ "$mode" = again ] && extra=(--persistent)
    [ "$addresses" = own ] && extra+=(--sources "$(( stallers < 250 ? stallers : 250 ))")
    echo "wait behind $stallers ($mode)…" >&2
    line="$("$bin/dev/veltra-hostile-load" --port "$port" --wait-behind "$stallers" --key-file - \
      --give-up 45 "${extra[@]}" <<<"$host_key" | head -1 || true)"
    echo "$line" >>"$out/wait.txt"
    awk -v mode="$mode" -v addresses="$addresses" '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      printf "| %s | %s | %s | %.2f s | %d | %s |\n", f["wait_behind"], (mode == "again" ? "yes" : "no"),
        addresses, f["waited_ms"] / 1000, f["attempts"], f["outcome"] }' <<<"$line" >>"$out/summary.md"
    sleep 1
  done
fi
cat "$out/summary.md"
