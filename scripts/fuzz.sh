#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time (seconds, default 30) from its
# seed corpus. Longer runs: scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# One target per core at a time; each reports when it ends.
fuzz_one() {
  local target="$1" name work seeds=()
  name=$(basename "$target" _fuzz)
  work="build/fuzz/corpus/$name"
  mkdir -p "$work"
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/$name-" "$work" "${seeds[@]}" 2>"build/fuzz/$name.log"; then
    echo "== fuzz $name for ${seconds}s FAILED:"; tail -40 "build/fuzz/$name.log"; return 1
  fi
  echo "== fuzz $name for ${seconds}s"
  grep -E 'stat::number_of_executed_units|cov:' "build/fuzz/$name.log" | tail -2
}

status=0
running=0
for target in build/fuzz/fuzz/*_fuzz; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
