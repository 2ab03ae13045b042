#!/usr/bin/env bash
# Builds Ostrel and runs every test. Extra arguments go to cmake's configure step,
# e.g. scripts/test.sh -DOSTREL_SANITIZE=ON (the build directory is then
# $OSTREL_BUILD_DIR, default "build").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build="${OSTREL_BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 600
