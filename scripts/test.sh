#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test vm
cmake -S . -B build -DBUILD_TESTING=ON -DOUTSB_WERROR=ON
cmake --build build --parallel "$(nproc)"
ctest --test-dir build --output-on-failure "$@"
