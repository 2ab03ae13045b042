#!/usr/bin/env bash
# Builds Ostrel, lays out a demo installation in demo/ (ports above 1024, nothing
# outside the work tree) and runs the server in the foreground. Ctrl+C stops it.
# Ports can be changed with SMTP_PORT, POP_PORT, HTTP_PORT and the encrypted
# SMTPS_PORT, POPS_PORT and HTTPS_PORT.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target ostrel ostrel_data

demo="$PWD/demo"
export OSTREL_REGISTRY="$demo/registry"
export OSTREL_RUNDIR="$demo/run"
export OSTREL_EVENTLOG="$demo/log/events.log"
build/service/ostrel -setup "$demo" "${SMTP_PORT:-2525}" "${POP_PORT:-1110}" "${HTTP_PORT:-8003}" \
  "${SMTPS_PORT:-4465}" "${POPS_PORT:-1995}" "${HTTPS_PORT:-8443}"
echo
echo "Registry file: $OSTREL_REGISTRY   Events: $demo/log/events.log   Activity log: $demo/log/kslog*"
exec build/service/ostrel -debug
