#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time (seconds, default 30) from its
# seed corpus. Longer runs: scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  work="build/fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "== fuzz $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/$name-" "$work" "${seeds[@]}" 2>"build/fuzz/$name.log"; then
    echo "fuzz $name FAILED:"; tail -40 "build/fuzz/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' "build/fuzz/$name.log" | tail -2
  fi
done
exit $status
