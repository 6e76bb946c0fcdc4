#!/usr/bin/env bash
# Faults around a 1920x1080@60 session on loopback, each with what both programs said and how
# long it took: the host's Xvfb killed; the session command crashing; the client frozen with
# SIGSTOP for 15 s; a relay that cuts the connection inside a video frame, that adds 100 ms of
# delay, that throttles to 5 Mbit/s (latency and pictures per 5-second window); a host started on
# a port that is taken; a client that stops acknowledging for 10 s (SIGSTOP, within the host's
# silence limit) while the screen is drawn 240 times a second: screen grabs per second and the
# host's capture thread CPU, streaming and stalled, for this build's host and, with --before, for
# another host binary in the same run.
#
#   bench/fault_bench.sh [--seconds N] [--build DIR] [--only NAME] [--before HOST]
#
# N seconds per relay run (default 30). NAME is one of xvfb, crash, freeze, cut, delay, throttle,
# port, stall. Results go to build/faults/ (summary.md and the raw logs). It ends by itself and
# leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=30
build=build/release
only=""
before=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="${2:?}"; shift 2 ;;
    --build) build="${2:?}"; shift 2 ;;
    --only) only="${2:?}"; shift 2 ;;
    --before) before="$(realpath "${2:?}")"; shift 2 ;;
    *) echo "usage: bench/fault_bench.sh [--seconds N] [--build DIR] [--only NAME] [--before HOST]" >&2; exit 2 ;;
  esac
done
out="$PWD/build/faults"
mkdir -p "$out"
source bench/lib/processes.sh
build_tools "$build" veltra-host veltra-remote veltra-test-pattern veltra-relay
pattern="'$bin/veltra-test-pattern'"
port=19951
summary="$out/summary.md"  # every run's rows; this run's also in $out/last-run.md
[ -z "$only" ] && : >"$summary"
: >"$out/last-run.md"
wanted() { [ -z "$only" ] || [ "$only" = "$1" ]; }
row() { echo "$*" | tee -a "$summary" >>"$out/last-run.md"; }
seconds_since() { awk -v a="$1" -v b="$(mono_us)" 'BEGIN { printf "%.1f", (b - a) / 1e6 }'; }
wait_exit() {  # PID SECONDS: true once PID has ended
  for _ in $(seq 1 $(( $2 * 10 ))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}
last_status() { grep -v -e "^decoded " -e "^latency" -e "^stamp" "$1" | tail -1; }

if wanted xvfb; then
  port=$(( port + 1 ))
  start_host xvfb "$port" "$pattern"
  start_remote xvfb "$port" 60
  wait_for_line "$remote_log" "^Connected · " 30 "$remote_pid"
  sleep 2
  server=$(child_named "$host_pid" Xvfb)
  killed_at=$(mono_us)
  kill -KILL "$server"
  wait_exit "$remote_pid" 20 && ended="$(seconds_since "$killed_at") s" || ended="still running after 20 s"
  wait_for_line "$host_log" "listening on $port" 10 "$host_pid" || true
  first_remote="$(last_status "$remote_log")"
  start_remote xvfb-next "$port" 3
  wait_exit "$remote_pid" 30 || true
  fresh=$(child_named "$host_pid" Xvfb)
  next="$(grep -m1 "^Connected · " "$remote_log" || echo "never connected: $(last_status "$remote_log")")"
  row "xvfb | client ended ${ended} after the kill with \"$first_remote\"; host: \"$(grep "listening on $port" "$host_log" | head -1)\"; next session: \"$next\", display server $server → ${fresh:-none}"
  stop "$host_pid"
fi

if wanted crash; then
  port=$(( port + 1 ))
  start_host crash "$port" "$pattern & sleep 1; kill -SEGV \$\$"
  start_remote crash "$port" 6
  wait_exit "$remote_pid" 30 || true
  rates="$(sed -n 's/^decoded \([0-9]*\) fps.*/\1/p' "$remote_log" | tr '\n' ' ')"
  row "crash | decoded pictures/s each second: ${rates}; host lines after streaming: \"$(sed -n '/^Streaming/,$p' "$host_log" | tail -n +2 | tr '\n' '|')\""
  stop "$host_pid"
fi

if wanted freeze; then
  port=$(( port + 1 ))
  start_host freeze "$port" "$pattern"
  start_remote freeze "$port" 60
  wait_for_line "$remote_log" "^Connected · " 30 "$remote_pid"
  sleep 2
  frozen_at=$(mono_us)
  kill -STOP "$remote_pid"
  # Polled with builtins only, so that a loaded machine does not blur the figure.
  watchdog="not within 15 s"
  while (( $(mono_us) - frozen_at < 15000000 )); do
    mapfile -t lines <"$host_log"
    if [[ "${lines[-1]}" == "Disconnected · listening on $port" ]]; then
      watchdog="$(seconds_since "$frozen_at") s"
      break
    fi
    sleep 0.05
  done
  while [ "$(seconds_since "$frozen_at" | cut -d. -f1)" -lt 15 ]; do sleep 0.2; done
  thawed_at=$(mono_us)
  kill -CONT "$remote_pid"
  wait_exit "$remote_pid" 20 && ended="$(seconds_since "$thawed_at") s" || ended="still running after 20 s"
  row "freeze | host ended the session ${watchdog} after SIGSTOP; client after SIGCONT: ended in ${ended} with \"$(last_status "$remote_log")\""
  stop "$host_pid"
fi

# Latency and pictures per 5-second window of a --latency CSV.
windows() {  # CSV
  local first last from
  first=$(awk -F, 'NR == 2 { print $1 }' "$1")
  last=$(awk -F, 'END { print $1 }' "$1")
  [ -n "$first" ] || return 0
  for (( from = first; from + 5000000 <= last; from += 5000000 )); do
    read -r fps median < <(window "$1" "$from" $(( from + 5000000 )))
    printf "%s fps %s ms; " "$fps" "$median"
  done
}

relay_run() {  # NAME RELAY-ARGS...: a session through the relay for $seconds
  local name="$1"
  shift
  port=$(( port + 2 ))
  start_host "$name" "$port" "$pattern"
  "$bin/dev/veltra-relay" --listen $(( port + 1 )) --to "$port" --seconds $(( seconds + 60 )) "$@" \
    >"$out/$name.relay.log" 2>&1 &
  relay_pid=$!
  remember "$relay_pid"
  wait_for_line "$out/$name.relay.log" "listening" 10 "$relay_pid"
  remote_port=$(( port + 1 ))
}

if wanted cut; then
  relay_run cut --cut-after 3
  host_port=$port
  port=$remote_port
  start_remote cut "$port" 60
  port=$host_port
  wait_for_line "$out/cut.relay.log" "cutting" 30 "$relay_pid" || true
  cut_at=$(mono_us)
  wait_exit "$remote_pid" 30 && ended="$(seconds_since "$cut_at") s" || ended="still running after 30 s"
  wait_for_line "$host_log" "listening on $port" 30 "$host_pid" || true
  row "cut | $(grep -m1 cutting "$out/cut.relay.log" | sed 's/^relay: //'); client ended ${ended} later with \"$(last_status "$remote_log")\"; host: \"$(grep "listening on $port" "$host_log" | head -1)\""
  stop "$host_pid" "$relay_pid"
fi

for variant in "delay --delay 100" "throttle --rate 5"; do
  read -r name flag value <<<"$variant"
  wanted "$name" || continue
  relay_run "$name" "$flag" "$value"
  host_port=$port
  port=$remote_port
  start_remote "$name" "$port" "$seconds" --latency "$out/$name.csv"
  port=$host_port
  wait_exit "$remote_pid" $(( seconds + 30 )) || true
  pictures=$(awk 'END { print NR - 1 }' "$out/$name.csv")
  row "$name | $(grep -m1 "^Connected" "$remote_log" || echo "never connected"); $pictures pictures in ${seconds} s ($(( seconds * 60 - pictures )) of $(( seconds * 60 )) frame intervals without a picture); per 5 s: $(windows "$out/$name.csv"); $(grep -m1 "^latency" "$remote_log" || true)"
  stop "$host_pid" "$relay_pid"
done

if wanted port; then
  port=$(( port + 1 ))
  start_host port-first "$port" ""
  first=$host_pid
  "$bin/veltra-host" --headless --port "$port" --session none >"$out/port-second.log" 2>&1 &
  second=$!
  remember "$second"
  wait_exit "$second" 10 || true
  wait "$second" && code=0 || code=$?
  row "port | second host on a taken port exited with $code after \"$(tail -1 "$out/port-second.log")\""
  stop "$first"
fi
# Grabs are counted by a preloaded shim (bench/lib/count_grabs.c) in an 8-byte file; CPU is the
# utime + stime of the host's thread named veltra.capture.
if wanted stall; then
  shim="$out/count_grabs.so"
  cc -shared -fPIC -O2 -o "$shim" bench/lib/count_grabs.c -ldl
  tick=$(getconf CLK_TCK)
  capture_ticks() {  # PID: CPU ticks of its capture thread
    local task
    for task in /proc/"$1"/task/*; do
      if [ "$(cat "$task/comm" 2>/dev/null)" = veltra.capture ]; then
        awk '{ sub(/.*\) /, ""); print $12 + $13 }' "$task/stat"
        return
      fi
    done
    echo 0
  }
  grabs() { od -An -tu8 "$counter" | tr -d ' '; }
  # Grabs per second and capture CPU (% of one core) over S seconds from now.
  measure() {  # S
    local g0 c0 t0 g1 c1 t1
    g0=$(grabs); t0=$(mono_us); c0=$(capture_ticks "$host_pid")
    sleep "$1"
    g1=$(grabs); t1=$(mono_us); c1=$(capture_ticks "$host_pid")
    awk -v g=$(( g1 - g0 )) -v c=$(( c1 - c0 )) -v t=$(( t1 - t0 )) -v hz="$tick" \
      'BEGIN { printf "%.1f grabs/s, capture thread %.1f%% CPU", g / (t / 1e6), 100 * c / hz / (t / 1e6) }'
  }
  hosts=("this build:$bin/veltra-host")
  [ -n "$before" ] && hosts=("before:$before" "${hosts[@]}")
  for entry in "${hosts[@]}"; do
    label="${entry%%:*}"
    port=$(( port + 1 ))
    counter="$out/stall-${label// /-}.grabs"
    head -c 8 /dev/zero >"$counter"
    host_program="${entry#*:}" LD_PRELOAD="$shim" VELTRA_GRAB_COUNTER="$counter" \
      start_host "stall-${label// /-}" "$port" "$pattern --fps 240"
    start_remote "stall-${label// /-}" "$port" 60
    wait_for_line "$remote_log" "^Connected · " 30 "$remote_pid"
    sleep 2
    streaming="$(measure 5)"
    kill -STOP "$remote_pid"
    stalled="$(measure 10)"
    kill -CONT "$remote_pid"
    row "stall ($label) | streaming: $streaming; client stopped for 10 s: $stalled"
    stop "$remote_pid" "$host_pid"
  done
fi
cat "$out/last-run.md"
