#!/usr/bin/env bash
# Builds and runs the tests of one build configuration: release (default), asan or tsan.
# Installs missing packages first, so it works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

run=()
if [ "$preset" = tsan ]; then
  # ThreadSanitizer's fixed shadow layout clashes with the wide address randomisation of newer
  # kernels; run it without randomisation where that is allowed.
  if setarch "$(uname -m)" -R true 2>/dev/null; then run=(setarch "$(uname -m)" -R); fi
fi
"${run[@]}" ctest --preset "$preset" --timeout 300
