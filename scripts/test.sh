#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test vm
cmake -S . -B build -DBUILD_TESTING=ON -DOUTSB_WERROR=ON
cmake --build build --parallel "$(nproc)"
# In parallel: clang-tidy, the longest, runs beside the rest.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
started=$SECONDS
status=0
ctest --test-dir build --output-on-failure --parallel "$(nproc)" "$@" | tee "$log" || status=$?
echo "The suite took $((SECONDS - started)) s; the slowest tests:"
grep -E '^ *[0-9]+/[0-9]+ Test +#' "$log" | sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec$/  \2 s  \1/' |
  sort -rn | head -5
exit "$status"
