#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan) and runs
# each for a bounded time: FUZZ_SECONDS each (default 30). Seeds come from
# tests/fuzz/corpus/<name>/ when present. Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=build-fuzz
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DOSTREL_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)"
seconds="${FUZZ_SECONDS:-30}"
status=0
for target in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name="${target##*/fuzz_}"
  work=$(mktemp -d)
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$work/"
  echo "== fuzz $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
        -artifact_prefix="$work/" -print_final_stats=0 "$work" >"$work.log" 2>&1; then
    echo "fuzz $name found a problem:"; tail -50 "$work.log"
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null || true
    status=1
  else
    tail -1 "$work.log"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
