#!/usr/bin/env bash
# Installs what is missing, builds a release build and starts Tickvane.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
configure "$ROOT/build/release" -DCMAKE_BUILD_TYPE=Release -DTICKVANE_BUILD_TESTS=OFF -DTICKVANE_BUILD_BENCH=OFF
cmake --build "$ROOT/build/release" --target Tickvane
exec "$ROOT/build/release/src/app/Tickvane" "$@"
