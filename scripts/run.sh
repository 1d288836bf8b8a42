#!/usr/bin/env bash
# Installs what is missing, builds the diagnostic and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build >/dev/null
cmake --build build --parallel "$(nproc)" --target outsb
exec build/src/outsb
