#!/usr/bin/env bash
# Installs what is missing, builds a release build and starts Tickvane.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# Tickvane is a window: without a display Qt stops it at start with an abort. Say so first.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Tickvane opens a window, and no display is set (neither DISPLAY nor WAYLAND_DISPLAY)." >&2
    echo "Run it from a desktop session, or without a screen as: QT_QPA_PLATFORM=offscreen $0" >&2
    exit 1
fi
install_packages
configure "$ROOT/build/release" -DCMAKE_BUILD_TYPE=Release -DTICKVANE_BUILD_TESTS=OFF -DTICKVANE_BUILD_BENCH=OFF
cmake --build "$ROOT/build/release" --target Tickvane
exec "$ROOT/build/release/src/app/Tickvane" "$@"
