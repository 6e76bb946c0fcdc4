#!/usr/bin/env bash
# The whole video path on this machine: veltra-host, with the test pattern inside its virtual
# display, streams to veltra-remote over loopback at each of the four modes. Per mode it reports
# the decoded pictures per second (mean and worst second), the latency from the test pattern
# drawing a picture to the client holding it decoded (read from the latency stamp in every
# picture), what each program costs in CPU and memory, and where the CPU goes by thread. Then a
# still screen; and, as the reference from the same run, ffmpeg grabbing the same test pattern
# with x11grab and encoding it with libx264 at our settings and bit rate.
#
#   bench/pipeline_bench.sh [--seconds N] [--build DIR]
#
# N seconds measured per mode after a warm-up (default 20; 2 for a smoke run). DIR is a
# configured build directory to build the programs in (default: the release preset's). Raw
# results and the tables (summary.md) go to build/perf/. It leaves no process behind.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=20
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="${2:?--seconds takes a whole number}"; shift 2 ;;
    --build) build="${2:?--build takes a directory}"; shift 2 ;;
    *) echo "usage: bench/pipeline_bench.sh [--seconds N] [--build DIR]" >&2; exit 2 ;;
  esac
done
warm=$(( seconds >= 10 ? 3 : 1 ))
still_seconds=$(( seconds >= 10 ? 10 : seconds ))
modes=(1920x1080@60 1920x1080@120 2560x1440@60 2560x1440@120)
port=19875  # each run takes the next one, from 19876

if [ -z "$build" ]; then
  cmake --preset release >/dev/null
  build=build/release
fi
cmake --build "$build" --target veltra-host veltra-remote veltra-test-pattern
bin="$PWD/$build/tools"
out="$PWD/build/perf"
rm -rf "$out"
mkdir -p "$out"
tick=$(getconf CLK_TCK)

# --- processes -----------------------------------------------------------------------------

# Starting, remembering and stopping processes: everything started is stopped on exit.
source bench/lib/processes.sh

# The program that /usr/bin/time ($1) runs: signals go to it, since time ignores SIGINT.
child_of() {
  local child=""
  for _ in $(seq 1 50); do
    child="$(tr -d ' ' 2>/dev/null </proc/"$1"/task/"$1"/children)"
    [ -n "$child" ] && break
    sleep 0.1
  done
  echo "$child"
}

# --- CPU and memory from /proc ---------------------------------------------------------------

# "P pid comm ticks" for each process given, then "T tid comm ticks" for each thread of the
# first one; ticks are user + system time.
snapshot() {
  local pid file line
  {
    # Threads come and go: one that ended since the glob is simply left out.
    for pid in "$@"; do
      if read -r line 2>/dev/null </proc/"$pid"/stat; then echo "P $line"; fi
    done
    for file in /proc/"$1"/task/*/stat; do
      if read -r line 2>/dev/null <"$file"; then echo "T $line"; fi
    done
  } | awk '{
    open = index($0, "("); closing = 0
    for (at = length($0); at > open; at--) if (substr($0, at, 1) == ")") { closing = at; break }
    comm = substr($0, open + 1, closing - open - 1); gsub(/ /, "_", comm)
    split(substr($0, closing + 2), field, " ")
    print $1, $2, comm, field[12] + field[13]
  }'
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { print b - a }'; }

# CPU seconds per second between two snapshots, for everything alive at the second.
rates() {  # BEFORE AFTER SECONDS
  awk -v seconds="$3" -v tick="$tick" '
    FNR == NR { before[$1 " " $2] = $4; next }
    { printf "%s %s %s %.3f\n", $1, $2, $3, ($4 - before[$1 " " $2]) / tick / seconds }' "$1" "$2"
}

total_cpu() { awk '$1 == "P" { sum += $4 } END { printf "%.2f", sum }' "$1"; }

# Where the CPU goes: the first process's threads by name, and each other process by name.
# Worker threads take the name of the thread that started them: libx264's, started where the
# host opens its encoder, show up as the main thread's workers; libavcodec's slice threads as
# veltra.decode.
breakdown() {
  awk 'NR == 1 { first = $2; program = $3 }
    $1 == "T" || ($1 == "P" && $2 != first) {
      name = $3
      if ($1 == "T" && $2 == first) name = "main"
      else if ($1 == "T" && $3 == program) name = "workers-of-main"
      rate[name] += $4; count[name]++
    }
    END {
      for (name in rate) {
        threads = count[name] > 1 ? " ×" count[name] : ""
        printf "%.2f\t%s%s\n", rate[name], name, threads
      }
    }' "$1" | sort -t "$(printf '\t')" -k1,1nr |
    awk -F '\t' '{ printf "%s%s %s", (NR > 1 ? " · " : ""), $2, $1 }'
}

# Whole-machine busy time from /proc/stat, "busy idle" in ticks.
machine() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat; }
busy_cores() {  # BEFORE AFTER SECONDS
  awk -v a="$1" -v b="$2" -v seconds="$3" -v tick="$tick" \
    'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.2f", (y[1] - x[1]) / tick / seconds }'
}

peak_mib() { awk '/^VmHWM/ { printf "%.0f", $2 / 1024 }' /proc/"$1"/status 2>/dev/null || true; }

# /usr/bin/time -f "%U %S %e %M": CPU seconds per second over the whole life, and peak RSS.
life_cpu() { awk '{ if ($3 > 0) printf "%.2f", ($1 + $2) / $3 }' "$1" 2>/dev/null || true; }
life_mib() { awk '{ printf "%.0f", $4 / 1024 }' "$1" 2>/dev/null || true; }

# --- one streaming run -----------------------------------------------------------------------

# run_stream NAME MODE SESSION SECONDS: host and client on the next port, measured for SECONDS
# after the warm-up. Leaves key=value lines in $out/NAME/result and the raw logs beside it.
run_stream() {
  local name="$1" mode="$2" session="$3" measure="$4"
  local dir="$out/$name" result="$out/$name/result"
  mkdir -p "$dir"
  : >"$result"
  port=$(( port + 1 ))

  /usr/bin/time -f "%U %S %e %M" -o "$dir/host.time" \
    "$bin/veltra-host" --headless --port "$port" --session "${session:-none}" \
    >"$dir/host.log" 2>&1 &
  local host_timer=$! host client="" client_timer=""
  remember "$host_timer"
  host="$(child_of "$host_timer")"
  [ -n "$host" ] && remember "$host"
  if [ -z "$host" ] || ! wait_for_line "$dir/host.log" "^Listening on port" 30 "$host"; then
    echo "failed=the host did not start listening" >>"$result"
  else
    # The key travels on standard input, never on a command line. The client's own deadline is
    # a backstop: the script ends it with SIGINT once the window is measured.
    sed -n 's/^Connection key: //p' "$dir/host.log" | tr -d '\n' |
      /usr/bin/time -f "%U %S %e %M" -o "$dir/client.time" \
        "$bin/veltra-remote" --headless --address 127.0.0.1 --port "$port" --key-file - \
        --mode "$mode" --seconds $(( warm + measure + 60 )) --latency "$dir/latency.csv" \
        --warm-up "$warm" >"$dir/client.log" 2>&1 &
    client_timer=$!
    remember "$client_timer"
    client="$(child_of "$client_timer")"
    [ -n "$client" ] && remember "$client"
  fi

  if [ -n "$client" ] && wait_for_line "$dir/client.log" "^Connected · " 30 "$client"; then
    sleep "$warm"
    local side=() start
    mapfile -t side < <(echo "$host"; descendants "$host")
    remember "${side[@]:1}"
    snapshot "${side[@]}" >"$dir/host.before"
    snapshot "$client" >"$dir/client.before"
    local busy_before busy_after wall
    busy_before=$(machine)
    start=$(now)
    sleep "$measure"
    snapshot "${side[@]}" >"$dir/host.after"
    snapshot "$client" >"$dir/client.after"
    busy_after=$(machine)
    wall=$(elapsed "$start")
    rates "$dir/host.before" "$dir/host.after" "$wall" >"$dir/host.rates"
    rates "$dir/client.before" "$dir/client.after" "$wall" >"$dir/client.rates"
    {
      echo "host_cpu=$(total_cpu "$dir/host.rates")"
      echo "client_cpu=$(total_cpu "$dir/client.rates")"
      echo "host_threads=$(breakdown "$dir/host.rates")"
      echo "client_threads=$(breakdown "$dir/client.rates")"
      echo "machine_busy=$(busy_cores "$busy_before" "$busy_after" "$wall")"
      local pid
      for pid in "${side[@]}" "$client"; do
        echo "peak_$(cat /proc/"$pid"/comm 2>/dev/null)=$(peak_mib "$pid") MiB"
      done
    } >>"$result"
  elif [ -n "$client" ]; then
    echo "failed=the client did not connect" >>"$result"
  fi

  [ -z "$client" ] || stop "$client"
  [ -z "$client_timer" ] || wait "$client_timer" 2>/dev/null || true
  [ -z "$host" ] || stop "$host"
  wait "$host_timer" 2>/dev/null || true

  # The client's own figures from its summary lines.
  sed -n -e 's/^latency median \([0-9.]*\) ms · p95 \([0-9.]*\) ms · p99 \([0-9.]*\) ms over \([0-9]*\) pictures$/median=\1\np95=\2\np99=\3\nstamped=\4/p' \
    -e 's/^pictures per second: mean \([0-9.]*\) · worst second \([0-9]*\) over \([0-9]*\) s · \([0-9]*\) unread$/fps_mean=\1\nfps_worst=\2\nwindows=\3\nunread=\4/p' \
    -e 's/^stamp reading: \([0-9.]*\) us.*/stamp_read_us=\1/p' "$dir/client.log" >>"$result"
  {
    echo "host_life_cpu=$(life_cpu "$dir/host.time")"
    echo "client_life_cpu=$(life_cpu "$dir/client.time")"
    echo "host_peak_rss=$(life_mib "$dir/host.time")"
    echo "client_peak_rss=$(life_mib "$dir/client.time")"
  } >>"$result"
}

# --- the reference: ffmpeg's x11grab and libx264 on the same picture -------------------------

# run_reference NAME MODE: the test pattern on a private Xvfb of that size, grabbed and encoded
# by ffmpeg at the mode's rate with our encoder's settings, measured like a stream.
run_reference() {
  local name="$1" mode="$2"
  local dir="$out/$name" result="$out/$name/result"
  mkdir -p "$dir"
  : >"$result"
  local size="${mode%@*}" fps="${mode#*@}"
  local rate=35000000
  [ "${size%x*}" = 1920 ] && rate=20000000  # as H264Session's h264BitRate

  # A free display number, claimed by Xvfb's lock file; a fresh cookie that only we hold.
  local display="" number
  for number in $(seq 120 199); do
    if [ ! -e "/tmp/.X$number-lock" ] && [ ! -e "/tmp/.X11-unix/X$number" ]; then
      display=$number
      break
    fi
  done
  local auth="$dir/xauthority"
  (umask 077 && : >"$auth")
  xauth -q -f "$auth" add ":$display" MIT-MAGIC-COOKIE-1 \
    "$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')"
  Xvfb ":$display" -screen 0 "${size}x24" -nolisten tcp -auth "$auth" -displayfd 1 \
    >"$dir/xvfb.ready" 2>"$dir/xvfb.log" &
  local xvfb=$!
  remember "$xvfb"
  if ! wait_for_line "$dir/xvfb.ready" "^$display" 10 "$xvfb"; then
    echo "failed=Xvfb did not start" >>"$result"
    stop "$xvfb"
    wait "$xvfb" 2>/dev/null || true
    return 0
  fi
  DISPLAY=":$display" XAUTHORITY="$auth" "$bin/veltra-test-pattern" --fps "$fps" \
    >"$dir/pattern.log" 2>&1 &
  local pattern=$!
  remember "$pattern"

  # Our encoder's settings (H264Session): superfast, zero latency, high profile, two slice
  # threads, NV12 in, the mode's bit rate with a one-picture buffer, a key frame every 2 s.
  # x11grab stamps pictures in microseconds: -r tells libx264 the real rate (its rate control
  # and level follow it) while passthrough keeps every grabbed picture, none duplicated.
  DISPLAY=":$display" XAUTHORITY="$auth" /usr/bin/time -f "%U %S %e %M" -o "$dir/ffmpeg.time" \
    ffmpeg -nostdin -hide_banner -nostats -benchmark -stats_period 0.1 -progress "$dir/progress" \
    -f x11grab -framerate "$fps" -video_size "$size" -draw_mouse 0 -i ":$display" \
    -c:v libx264 -preset superfast -tune zerolatency -profile:v high -threads 2 -pix_fmt nv12 \
    -b:v "$rate" -maxrate "$rate" -bufsize $(( rate / fps )) -g $(( 2 * fps )) -bf 0 \
    -r "$fps" -fps_mode passthrough -f null - >"$dir/ffmpeg.log" 2>&1 &
  local ffmpeg_timer=$! ffmpeg
  remember "$ffmpeg_timer"
  ffmpeg="$(child_of "$ffmpeg_timer")"
  [ -n "$ffmpeg" ] && remember "$ffmpeg"

  sleep "$warm"
  local frames_before frames_after start wall busy_before busy_after
  frames_before=$(sed -n 's/^frame=//p' "$dir/progress" 2>/dev/null | tail -1)
  snapshot "$ffmpeg" "$xvfb" "$pattern" >"$dir/before"
  busy_before=$(machine)
  start=$(now)
  sleep "$seconds"
  snapshot "$ffmpeg" "$xvfb" "$pattern" >"$dir/after"
  busy_after=$(machine)
  frames_after=$(sed -n 's/^frame=//p' "$dir/progress" 2>/dev/null | tail -1)
  wall=$(elapsed "$start")
  rates "$dir/before" "$dir/after" "$wall" >"$dir/rates"
  {
    echo "fps=$(awk -v a="${frames_before:-0}" -v b="${frames_after:-0}" -v s="$wall" \
      'BEGIN { printf "%.1f", (b - a) / s }')"
    echo "cpu=$(awk '$1 == "P" && NR == 1 { printf "%.2f", $4 }' "$dir/rates")"
    echo "all_cpu=$(total_cpu "$dir/rates")"
    echo "threads=$(breakdown "$dir/rates")"
    echo "machine_busy=$(busy_cores "$busy_before" "$busy_after" "$wall")"
    echo "peak_rss=$(peak_mib "$ffmpeg")"
  } >>"$result"

  [ -z "$ffmpeg" ] || stop "$ffmpeg"
  wait "$ffmpeg_timer" 2>/dev/null || true
  stop "$pattern" "$xvfb"
  wait "$pattern" "$xvfb" 2>/dev/null || true
}

# --- the runs --------------------------------------------------------------------------------

echo "pipeline bench: $seconds s per mode after $warm s of warm-up; raw results in $out"
for mode in "${modes[@]}"; do
  echo "  $mode: veltra"
  run_stream "veltra-${mode/@/-}" "$mode" "'$bin/veltra-test-pattern' --fps ${mode#*@}" "$seconds"
  echo "  $mode: ffmpeg reference"
  run_reference "ffmpeg-${mode/@/-}" "$mode"
done
echo "  still screen: veltra"
run_stream still 1920x1080@60 "" "$still_seconds"

# --- the tables ------------------------------------------------------------------------------

field() {  # RUN KEY
  local value
  value="$(sed -n "s/^$2=//p" "$out/$1/result" 2>/dev/null | tail -1)"
  echo "${value:-n/a}"
}
# Milliseconds, and in frame intervals of the mode.
in_frames() {  # MILLISECONDS FPS
  awk -v ms="$1" -v fps="$2" 'BEGIN { if (ms == "n/a") print "n/a"; else printf "%s ms (%.1f f)", ms, ms * fps / 1000 }'
}

{
  echo "## veltra-host → veltra-remote on loopback: $seconds s per mode after $warm s warm-up"
  echo
  echo "| mode | pictures/s mean · worst s | latency median | p95 | p99 | host CPU s/s | client CPU s/s | peak RSS host / client MiB | ffmpeg pictures/s | ffmpeg CPU s/s (+ Xvfb, pattern) |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for mode in "${modes[@]}"; do
    run="veltra-${mode/@/-}" reference="ffmpeg-${mode/@/-}" fps="${mode#*@}"
    echo "| $mode | $(field "$run" fps_mean) · $(field "$run" fps_worst)" \
      "| $(in_frames "$(field "$run" median)" "$fps") | $(in_frames "$(field "$run" p95)" "$fps")" \
      "| $(in_frames "$(field "$run" p99)" "$fps") | $(field "$run" host_cpu)" \
      "| $(field "$run" client_cpu) | $(field "$run" host_peak_rss) / $(field "$run" client_peak_rss)" \
      "| $(field "$reference" fps) | $(field "$reference" cpu) ($(field "$reference" all_cpu)) |"
  done
  echo "| still 1920x1080@60 | $(field still fps_mean) · $(field still fps_worst) | | |" \
    "| $(field still host_cpu) | $(field still client_cpu)" \
    "| $(field still host_peak_rss) / $(field still client_peak_rss) | | |"
  echo
  echo "Latency: from the test pattern taking the time for a picture to the client holding it"
  echo "decoded on its main thread (f: frame intervals of the mode). CPU: seconds per second over"
  echo "the measured window, from /proc; the host's includes its Xvfb and the test pattern, and so"
  echo "does the figure in brackets for ffmpeg. Peak RSS from /usr/bin/time (the host's is the"
  echo "largest of it, its Xvfb and the pattern)."
  echo
  echo "## CPU by thread and process, s/s, over the same windows"
  echo
  echo "| run | machine busy (of $(nproc) cores) | host side | client |"
  echo "|---|---|---|---|"
  for mode in "${modes[@]}"; do
    run="veltra-${mode/@/-}"
    echo "| $mode | $(field "$run" machine_busy) | $(field "$run" host_threads) | $(field "$run" client_threads) |"
  done
  echo "| still | $(field still machine_busy) | $(field still host_threads) | $(field still client_threads) |"
  for mode in "${modes[@]}"; do
    reference="ffmpeg-${mode/@/-}"
    echo "| ffmpeg $mode | $(field "$reference" machine_busy) | $(field "$reference" threads) | |"
  done
} >"$out/summary.md"

# --- the latency plot ------------------------------------------------------------------------

# One cumulative distribution per mode: the share of pictures decoded within x ms of being drawn.
plot=()
for mode in "${modes[@]}"; do
  csv="$out/veltra-${mode/@/-}/latency.csv"
  [ -s "$csv" ] || continue
  tail -n +2 "$csv" | cut -d, -f3 | sort -n |
    awk '{ v[NR] = $1 / 1000 } END { for (i = 1; i <= NR; ++i) print v[i], i / NR }' \
      >"$out/veltra-${mode/@/-}/latency.cdf"
  [ -s "$out/veltra-${mode/@/-}/latency.cdf" ] &&
    plot+=("'$out/veltra-${mode/@/-}/latency.cdf' using 1:2 with lines lw 2 title '$mode'")
done
if [ ${#plot[@]} -gt 0 ] && command -v gnuplot >/dev/null; then
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,540 font ",11" noenhanced
set output '$out/latency-cdf.png'
set title 'Drawn on the host to decoded on the client, loopback, $(nproc) cores'
set xlabel 'latency (ms)'
set ylabel 'share of pictures'
set xrange [0:60]
set yrange [0:1]
set grid
set key bottom right
plot $(IFS=,; echo "${plot[*]}")
GNUPLOT
  echo "latency plot: $out/latency-cdf.png" >>"$out/summary.md"
fi

echo
cat "$out/summary.md"
