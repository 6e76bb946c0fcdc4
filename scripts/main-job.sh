#!/usr/bin/env bash
# The main job: a real Veltra session on this machine. Installs what is missing, builds, starts
# veltra-host headless on loopback with the test pattern inside its virtual display, streams it
# to veltra-remote for about ten seconds at 1920×1080@60, prints both programs' lines and their
# CPU use, and leaves the client's last picture as a PNG.
#
#   scripts/main-job.sh [SECONDS]
set -euo pipefail

cd "$(dirname "$0")/.."
seconds="${1:-10}"
port=9876
out=build/main-job
snapshot="$out/last-picture.png"

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target veltra-host veltra-remote veltra-test-pattern
bin=build/release/tools

mkdir -p "$out"
rm -f "$snapshot"
host_log="$out/host.log"
: >"$host_log"

# /usr/bin/time reports what each program cost; the host's figure includes the Xvfb server and
# the test pattern, which it starts and reaps.
/usr/bin/time -f "host (with Xvfb and the test pattern): %U s user, %S s system, %e s, %M KiB peak" \
  -o "$out/host.time" \
  "$bin/veltra-host" --headless --port "$port" --session "$PWD/$bin/veltra-test-pattern --fps 60" \
  >"$host_log" 2>&1 &
timer=$!
# time ignores SIGINT while it waits, so the signal goes to the host itself, its only child.
host=""
for _ in $(seq 1 50); do
  host="$(cat "/proc/$timer/task/$timer/children" 2>/dev/null | tr -d ' ')"
  [ -n "$host" ] && break
  sleep 0.1
done
cleanup() { [ -n "$host" ] && kill -INT "$host" 2>/dev/null || true; }
trap cleanup EXIT

# The host prints its key first, then its status lines; wait until it listens (or gives up).
for _ in $(seq 1 300); do
  if grep -q "^Listening on port" "$host_log" || ! kill -0 "$host" 2>/dev/null; then break; fi
  sleep 0.1
done
if ! grep -q "^Listening on port" "$host_log"; then
  sed 's/^/host   | /' "$host_log"
  echo "main job: the host did not start listening on port $port" >&2
  exit 1
fi
key="$(sed -n 's/^Connection key: //p' "$host_log")"

# The key travels on standard input, never on a command line.
set +e
printf '%s' "$key" | /usr/bin/time -f "client: %U s user, %S s system, %e s, %M KiB peak" \
  -o "$out/client.time" "$bin/veltra-remote" --headless --address 127.0.0.1 --port "$port" \
  --key-file - --mode 1920x1080@60 --seconds "$seconds" --snapshot "$snapshot" \
  2>&1 | sed 's/^/client | /'
client_status=${PIPESTATUS[1]}
set -e

kill -INT "$host"
wait "$timer" || true
trap - EXIT
sed 's/^/host   | /' "$host_log" | grep -v "^host   | Connection key: "

echo
cat "$out/host.time" "$out/client.time"
if [ -s "$snapshot" ]; then
  echo "client's last picture: $snapshot"
fi
exit "$client_status"
