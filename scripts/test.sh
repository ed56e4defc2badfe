#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
configure "$ROOT/build/test" -DCMAKE_BUILD_TYPE=Debug -DTICKVANE_SANITIZE=ON -DTICKVANE_BUILD_TESTS=ON -DTICKVANE_BUILD_BENCH=OFF
cmake --build "$ROOT/build/test"
export QT_QPA_PLATFORM=offscreen
cd "$ROOT/build/test"
set +e
ctest --output-on-failure --timeout 300 -j"$(nproc)" "$@" 2>&1 | tee ctest.log
rc=${PIPESTATUS[0]}
set -e
echo "ctest summary: $(grep -E 'tests passed' ctest.log | tail -n 1)"
exit "$rc"
