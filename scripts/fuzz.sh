#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# into build/fuzz and runs each one for the given number of seconds (default 60), starting from
# seeds made from the test fixtures. Inputs that break a target land in build/fuzz/findings/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds="${1:-60}"
install_packages
install_packages "$ROOT/scripts/packages-fuzz.txt"
configure "$ROOT/build/fuzz" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DTICKVANE_SANITIZE=ON \
    -DTICKVANE_FUZZ=ON -DTICKVANE_BUILD_TESTS=OFF -DTICKVANE_BUILD_BENCH=OFF
cmake --build "$ROOT/build/fuzz" --target fuzz_all
cd "$ROOT/build/fuzz"
mkdir -p findings
export UBSAN_OPTIONS=print_stacktrace=1
status=0
for bin in fuzz/fuzz_*; do
    [ -f "$bin" ] && [ -x "$bin" ] || continue
    name="$(basename "$bin")"
    corpus="corpus/$name"
    mkdir -p "$corpus"
    start=$(date +%s)
    if TICKVANE_FUZZ_SEEDS="$corpus" "$bin" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="findings/$name-" -print_final_stats=1 > "$name.log" 2>&1; then
        result="ok"
    else
        result="FAILED (see build/fuzz/$name.log and findings/)"
        status=1
    fi
    runs="$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$name.log" | grep -Eo '[0-9]+$' || echo '?')"
    echo "$name: $(( $(date +%s) - start )) s, $runs inputs, $result"
done
exit "$status"
