#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in release mode and runs each one briefly.
# BENCH_MIN_TIME (seconds per benchmark, default 0.2) keeps CI runs short.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
configure "$ROOT/build/bench" -DCMAKE_BUILD_TYPE=Release -DTICKVANE_BUILD_TESTS=OFF -DTICKVANE_BUILD_BENCH=ON
cmake --build "$ROOT/build/bench"
shopt -s nullglob
status=0
for b in "$ROOT"/build/bench/bench/bench_*; do
    [ -f "$b" ] && [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    # A bound per program: a benchmark that waits on something (a modal box, a network reply) fails
    # instead of holding the run.
    QT_QPA_PLATFORM=offscreen timeout 600 "$b" --benchmark_min_time="${BENCH_MIN_TIME:-0.2}" || status=1
done
exit $status
