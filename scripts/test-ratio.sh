#!/usr/bin/env bash
# The size of the tests next to the code they test: non-blank lines of C and C++ (.c .cc .cpp .h
# .hpp) under tests/ and fuzz/ against those of everything else in the repository. Build folders
# are not in git, so they never count.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { grep -E '\.(c|cc|cpp|h|hpp)$' | xargs cat | grep -cv '^[[:space:]]*$'; }
tests=$(git ls-files -- tests fuzz | count)
code=$(git ls-files | grep -Ev '^(tests|fuzz)/' | count)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d, code %d, ratio %.2f\n", t, c, t / c }'
