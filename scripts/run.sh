#!/usr/bin/env bash
# Installs what is missing, builds the diagnostic and vuart, and runs the
# diagnostic against vuart's virtual COM1: its progress lines and the bytes COM1
# receives appear on standard output, vuart's summary on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build --parallel "$(nproc)" --target outsb vuart >/dev/null
exec build/vuart/vuart -- build/src/outsb "$@"
