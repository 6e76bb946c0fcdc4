# Shared by the robustness scripts in bench/: starting the programs, watching them through /proc
# and stopping everything that was started, whatever happens. Source it after `cd` to the
# repository; it sets the EXIT trap.
#
#   build_tools DIR TARGET...     builds the targets in DIR (unless VELTRA_NO_BUILD=1) and sets
#                                  $bin to DIR/tools
#   start_host NAME PORT [SESSION]  starts veltra-host (an empty display without SESSION); sets
#                                  $host_pid, $host_key, $host_log
#   start_remote NAME PORT SECONDS [ARGS...]  starts veltra-remote with the key on standard input;
#                                  sets $remote_pid, $remote_log

started=()
start_time() { awk '{ sub(/.*\) /, ""); print $20 }' /proc/"$1"/stat 2>/dev/null || true; }
remember() {
  local pid
  for pid in "$@"; do started+=("$pid:$(start_time "$pid")"); done
}

descendants() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    echo "$child"
    descendants "$child"
  done
}

# Asks politely, then insists: a host given the time takes its Xvfb servers down itself.
stop() {
  local pid alive
  for pid in "$@"; do kill -CONT "$pid" 2>/dev/null || true; kill -INT "$pid" 2>/dev/null || true; done
  for _ in $(seq 1 50); do
    alive=0
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && [ "$(state "$pid")" != Z ] && alive=1; done
    [ "$alive" = 0 ] && return 0
    sleep 0.1
  done
  for pid in "$@"; do kill -KILL "$pid" 2>/dev/null || true; done
}

# Stops what is still the process we started (never a later one that reused its pid), newest
# first, and whatever those started.
cleanup() {
  local index entry pid pids=()
  for (( index = ${#started[@]} - 1; index >= 0; index-- )); do
    entry="${started[index]}"
    pid="${entry%%:*}"
    [ -n "${entry#*:}" ] && [ "$(start_time "$pid")" = "${entry#*:}" ] || continue
    pids+=("$pid")
  done
  [ ${#pids[@]} -eq 0 ] || stop "${pids[@]}"
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

state() { awk '{ sub(/.*\) /, ""); print $1 }' /proc/"$1"/stat 2>/dev/null || true; }

wait_for_line() {  # FILE PATTERN SECONDS PID: false if PID ends or time runs out first
  for _ in $(seq 1 $(( $3 * 10 ))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$4" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Microseconds of CLOCK_MONOTONIC, the clock of the latency stamps and of veltra-hostile-load:
# bash's own wall clock less an offset taken once, since starting a program per sample would
# cost more than the sampling itself on a loaded machine.
mono_offset_us=$(python3 -c 'import time; print(time.time_ns() // 1000 - time.monotonic_ns() // 1000)')
mono_us() { echo $(( ${EPOCHREALTIME/./} - mono_offset_us )); }

rss_kib() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status 2>/dev/null || echo 0; }
threads() { awk '/^Threads/ { print $2 }' /proc/"$1"/status 2>/dev/null || echo 0; }
fds() { ls /proc/"$1"/fd 2>/dev/null | wc -l; }
# Xvfb servers among PID's descendants.
xvfbs() {
  local count=0 pid
  for pid in $(descendants "$1"); do
    [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = Xvfb ] && count=$(( count + 1 ))
  done
  echo "$count"
}
child_named() {  # PID NAME: the first child of PID called NAME
  local pid
  for pid in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = "$2" ] && { echo "$pid"; return; }
  done
}

build_tools() {
  local dir="$1"
  shift
  bin="$PWD/$dir/tools"
  # VELTRA_NO_BUILD=1 takes the programs as they are (while another build runs in DIR).
  [ "${VELTRA_NO_BUILD:-0}" = 1 ] && return 0
  if [ ! -f "$dir/build.ninja" ]; then
    cmake --preset release >/dev/null
  fi
  nice cmake --build "$dir" --target "$@" >/dev/null
}

start_host() {  # NAME PORT [SESSION]; $host_program instead of this build's host, if set
  local name="$1" port="$2" session="${3-}"
  local arguments=(--headless --port "$port" --session "${session:-none}")
  host_log="$out/$name.host.log"
  "${host_program:-$bin/veltra-host}" "${arguments[@]}" >"$host_log" 2>&1 &
  host_pid=$!
  remember "$host_pid"
  if ! wait_for_line "$host_log" "^Listening on port $port" 30 "$host_pid"; then
    echo "the host did not start listening:" >&2
    cat "$host_log" >&2
    return 1
  fi
  host_key="$(sed -n 's/^Connection key: //p' "$host_log")"
}

start_remote() {  # NAME PORT SECONDS [ARGS...]
  local name="$1" port="$2" seconds="$3"
  shift 3
  remote_log="$out/$name.remote.log"
  "$bin/veltra-remote" --headless --address 127.0.0.1 --port "$port" --key-file - \
    --mode 1920x1080@60 --seconds "$seconds" "$@" >"$remote_log" 2>&1 <<<"$host_key" &
  remote_pid=$!
  remember "$remote_pid"
}

# Pictures per second and latency median (ms) of the pictures decoded between two monotonic
# times, from a --latency CSV: "FPS MEDIAN".
window() {  # CSV FROM_US TO_US
  awk -F, -v from="$2" -v to="$3" 'NR > 1 && $1 >= from && $1 <= to {
      n++; if ($3 != "") lat[++m] = $3 / 1000 }
    END {
      if (m > 0) {
        # insertion sort is fine for a few thousand values
        for (i = 2; i <= m; i++) { v = lat[i]; j = i - 1; while (j > 0 && lat[j] > v) { lat[j + 1] = lat[j]; j-- } lat[j + 1] = v }
        median = (m % 2) ? lat[(m + 1) / 2] : (lat[m / 2] + lat[m / 2 + 1]) / 2
      } else median = 0
      seconds = (to - from) / 1e6
      printf "%.1f %.1f\n", (seconds > 0 ? n / seconds : 0), median
    }' "$1"
}
