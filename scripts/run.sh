#!/usr/bin/env bash
# Installs what is missing, builds the diagnostic and vuart, and runs the
# diagnostic against vuart's virtual COM1: its progress lines and the bytes COM1
# receives appear on standard output, vuart's summary on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
# One line a step on standard error, which is not the diagnostic's output.
step() { echo "run.sh: $*" >&2; }
step "installing the build's Debian packages where they are missing"
scripts/deps.sh build
step "configuring the build in build/"
cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
step "building outsb and vuart"
cmake --build build --parallel "$(nproc)" --target outsb vuart >/dev/null
step "running outsb under vuart"
exec build/vuart/vuart -- build/src/outsb "$@"
