#!/usr/bin/env bash
# Shared set-up for run.sh, test.sh and bench.sh: install what is missing, then configure with CMake.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Installs the packages of a list (scripts/packages.txt by default) that dpkg does not report as
# installed.
install_packages() {
    local list="${1:-$ROOT/scripts/packages.txt}"
    local wanted=() missing=()
    mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$list")
    for p in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure <build-dir> <cmake args...>
configure() {
    local dir="$1"; shift
    local launcher=()
    if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    cmake -S "$ROOT" -B "$dir" -G Ninja "${launcher[@]}" "$@"
}
