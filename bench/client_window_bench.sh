#!/usr/bin/env bash
# What the Veltra Remote Desktop window costs on this machine: the window (veltra-remote without
# --headless, drawing with Mesa's software OpenGL on its own Xvfb) connected over loopback to
# veltra-host at 1920×1080@60, once streaming the moving test pattern and once with a still remote
# screen (the host runs no session command). Per case: the window's CPU (and by thread), its X
# server's CPU, and the decoded and displayed pictures per second it reports. The streaming case
# also leaves a screenshot of the window.
#
#   bench/client_window_bench.sh [--seconds N] [--build DIR]
#
# N seconds measured per case after a 3-second warm-up (default 20). DIR is a configured build
# directory (default: the release preset's). Results go to build/perf-client/ (summary.md and the
# screenshot window.png). It leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=20
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="${2:?--seconds takes a whole number}"; shift 2 ;;
    --build) build="${2:?--build takes a directory}"; shift 2 ;;
    *) echo "usage: bench/client_window_bench.sh [--seconds N] [--build DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ]; then
  cmake --preset release >/dev/null
  build=build/release
fi
cmake --build "$build" --target veltra-host veltra-remote veltra-test-pattern >/dev/null
bin="$PWD/$build/tools"
out="$PWD/build/perf-client"
rm -rf "$out"
mkdir -p "$out"
ticks_per_second=$(getconf CLK_TCK)

# Starting, remembering and stopping processes: everything started is stopped on exit.
source bench/lib/processes.sh

# utime + stime of a process or thread, in ticks (fields 14 and 15 of stat).
ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "$1" 2>/dev/null || echo 0; }
# "name ticks" for every thread of a process.
thread_ticks() {
  for file in /proc/"$1"/task/*/stat; do
    awk '{ name = $0; sub(/^[^(]*\(/, "", name); sub(/\).*/, "", name); gsub(/ /, "_", name);
           rest = $0; sub(/.*\) /, "", rest); split(rest, f, " ");
           print name, f[12] + f[13] }' "$file" 2>/dev/null || true
  done
}
must_see() {  # FILE PATTERN SECONDS PID
  wait_for_line "$@" && return 0
  echo "timed out waiting for \"$2\" in $1" >&2
  return 1
}

run_case() {  # NAME PORT [SESSION]
  local name=$1 port=$2 session=${3:-}
  local dir="$out/$name"
  mkdir -p "$dir"
  exec 3>"$dir/display"
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -noreset 2>"$dir/xvfb.log" &
  local xvfb=$!
  remember "$xvfb"
  exec 3>&-
  must_see "$dir/display" '[0-9]' 10 "$xvfb"
  local display=":$(cat "$dir/display")"

  "$bin/veltra-host" --headless --port "$port" --session "${session:-none}" >"$dir/host.log" 2>&1 &
  local host=$!
  remember "$host"
  must_see "$dir/host.log" "^Listening on port" 10 "$host"
  local key
  key=$(sed -n 's/^Connection key: //p' "$dir/host.log")
  printf '{"address":"127.0.0.1","configuration":{"fps":60,"height":1080,"width":1920},"connectionKey":"%s","port":%s,"version":1}\n' \
    "$key" "$port" >"$dir/profile.json"

  DISPLAY=$display QT_QPA_PLATFORM=xcb LIBGL_ALWAYS_SOFTWARE=1 "$bin/veltra-remote" \
    "$dir/profile.json" --connect --statistics --screenshot "$dir/window.png" \
    >"$dir/client.log" 2>"$dir/client.err" &
  local client=$!
  remember "$client"
  must_see "$dir/client.log" "^Connected · " 30 "$client"
  sleep 3

  local lines_before client_before xvfb_before
  lines_before=$(wc -l <"$dir/client.log")
  client_before=$(ticks /proc/"$client"/stat)
  xvfb_before=$(ticks /proc/"$xvfb"/stat)
  thread_ticks "$client" >"$dir/threads.before"
  sleep "$seconds"
  local client_after xvfb_after
  client_after=$(ticks /proc/"$client"/stat)
  xvfb_after=$(ticks /proc/"$xvfb"/stat)
  thread_ticks "$client" >"$dir/threads.after"
  [ "$name" = streaming ] && kill -USR1 "$client" && sleep 1 && cp "$dir/window.png" "$out/window.png"

  tail -n +"$((lines_before + 1))" "$dir/client.log" | grep '^decoded ' >"$dir/rates" || true
  {
    echo "client_cpu=$(awk -v a="$client_before" -v b="$client_after" -v t="$ticks_per_second" -v s="$seconds" 'BEGIN { printf "%.1f", (b - a) / t / s * 100 }')"
    echo "xvfb_cpu=$(awk -v a="$xvfb_before" -v b="$xvfb_after" -v t="$ticks_per_second" -v s="$seconds" 'BEGIN { printf "%.1f", (b - a) / t / s * 100 }')"
    echo "decoded=$(awk '{ sum += $2; n++ } END { if (n) printf "%.1f", sum / n; else print "-" }' "$dir/rates")"
    echo "displayed=$(awk '{ sum += $6; n++ } END { if (n) printf "%.1f", sum / n; else print "-" }' "$dir/rates")"
    # The heartbeat's round trip as the window shows it: it waits for the GUI thread at both ends.
    echo "rtt=$(sed -n 's/.* rtt \([0-9.]*\) ms.*/\1/p' "$dir/rates" | sort -n |
      awk '{ v[NR] = $1 } END { if (NR) printf "%.1f · %.1f", v[int((NR + 1) / 2)], v[NR]; else print "-" }')"
    echo "threads=$(awk -v t="$ticks_per_second" -v s="$seconds" '
        NR == FNR { before[$1] += $2; next } { after[$1] += $2 }
        END { for (n in after) { v = (after[n] - before[n]) / t / s * 100; if (v >= 0.5) printf "%s %.1f%%, ", n, v } }' \
        "$dir/threads.before" "$dir/threads.after" | sed 's/, $//')"
  } >"$dir/result"

  # The window first, so that it leaves the host cleanly; its X server last.
  stop "$client"
  stop "$host"
  stop "$xvfb"
  wait 2>/dev/null || true
}

field() { sed -n "s/^$2=//p" "$out/$1/result"; }

run_case streaming 19841 "'$bin/veltra-test-pattern'"
run_case still 19842

{
  echo "# Veltra Remote Desktop window, 1920×1080@60 over loopback, ${seconds} s per case"
  echo
  echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores."
  echo
  echo "| remote screen | window CPU, % of a core | its Xvfb, % | decoded fps | displayed fps | round trip median · worst, ms |"
  echo "|---|---|---|---|---|---|"
  for name in streaming still; do
    echo "| $name | $(field "$name" client_cpu) | $(field "$name" xvfb_cpu) | $(field "$name" decoded) | $(field "$name" displayed) | $(field "$name" rtt) |"
  done
  echo
  echo "Window threads above 0.5% of a core:"
  echo
  for name in streaming still; do
    echo "- $name: $(field "$name" threads)"
  done
} >"$out/summary.md"
cat "$out/summary.md"
