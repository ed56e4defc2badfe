#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
# With --release first, builds an optimised build without sanitizers into build/release instead and
# runs the suite there: some faults (use after free inside Qt, timing) only show without the
# sanitizers. Other arguments go to ctest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
if [ "${1:-}" = "--release" ]; then
    shift
    dir="$ROOT/build/release"
    configure "$dir" -DCMAKE_BUILD_TYPE=Release -DTICKVANE_SANITIZE=OFF -DTICKVANE_BUILD_TESTS=ON -DTICKVANE_BUILD_BENCH=OFF
else
    dir="$ROOT/build/test"
    configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DTICKVANE_SANITIZE=ON -DTICKVANE_BUILD_TESTS=ON -DTICKVANE_BUILD_BENCH=OFF
fi
cmake --build "$dir"
export QT_QPA_PLATFORM=offscreen
cd "$dir"
set +e
ctest --output-on-failure --timeout 300 -j"$(nproc)" "$@" 2>&1 | tee ctest.log
rc=${PIPESTATUS[0]}
set -e
echo "ctest summary: $(grep -E 'tests passed' ctest.log | tail -n 1)"
exit "$rc"
