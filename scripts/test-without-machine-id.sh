#!/usr/bin/env bash
# Runs the start-up tests of a build (build/test unless named) once more as on a computer without a
# machine id, as most containers and a fresh minimal Debian are: an empty file is bound over each
# machine-id file in a mount namespace of the run's own. The one-copy lock then tells computers
# apart by their host names only. Needs root and unshare; says so and does nothing without them.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$ROOT/build/test}"

if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1 || ! unshare -m true 2>/dev/null; then
    echo "Start-up tests without a machine id: not run here (they need root and unshare to hide the machine id)"
    exit 0
fi

empty="$(mktemp)"
trap 'rm -f "$empty"' EXIT
export QT_QPA_PLATFORM=offscreen
echo "Start-up tests without a machine id:"
unshare -m --propagation private bash -c '
    set -euo pipefail
    for f in /etc/machine-id /var/lib/dbus/machine-id /usr/local/var/lib/dbus/machine-id; do
        if [ -e "$f" ]; then
            mount --bind "$1" "$f"
            echo "  hid $f"
        fi
    done
    cd "$2"
    ctest --output-on-failure --timeout 300 -R "^app_tst_startup$"
' hide-machine-id "$empty" "$dir"
