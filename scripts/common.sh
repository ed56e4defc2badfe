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
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "Missing Debian packages: ${missing[*]}" >&2
            echo "You are not root and sudo is not installed, so they cannot be installed from here." >&2
            cannot_install "${missing[@]}"
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    # sudo drops the caller's environment: the front-end setting goes through env.
    if ! "${sudo[@]}" apt-get update -qq \
        || ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
        echo "Installing the missing Debian packages failed: ${missing[*]}" >&2
        cannot_install "${missing[@]}"
    fi
}

# Tells what to have installed as root, then stops the script.
cannot_install() {
    echo "Have them installed as root:" >&2
    echo "    apt-get update && apt-get install -y --no-install-recommends $*" >&2
    echo "then run this script again." >&2
    exit 1
}

# configure <build-dir> <cmake args...>
configure() {
    local dir="$1"; shift
    local launcher=()
    if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    cmake -S "$ROOT" -B "$dir" -G Ninja "${launcher[@]}" "$@"
}
