#!/usr/bin/env bash
# Builds Ostrel and runs the ostrel program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target ostrel
exec build/service/ostrel "$@"
