#!/usr/bin/env bash
# test.sh: installs what the build and the tests need (Debian 12, as root), builds every target and
# runs every test suite: native, under the sanitizers, and the Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

# --- packages -----------------------------------------------------------------------------------
packages=(cmake g++ make libgtest-dev libbenchmark-dev time file python3
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb xauth libx11-dev locales
          clang libclang-rt-14-dev)
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

echo "== fuzzing the archive reader and writer for a bounded time"
scripts/fuzz.sh "${TESSOREL_FUZZ_SECONDS:-60}"

# --- Windows ------------------------------------------------------------------------------------
echo "== Windows builds: tessorel.exe for i686 (shipped) and x86_64"
cmake --preset windows
cmake --build --preset windows -j"$jobs"
cmake --build --preset windows --target package
cmake --preset windows-x64
cmake --build --preset windows-x64 -j"$jobs"
file build/windows/app/tessorel.exe
i686-w64-mingw32-objdump -p build/windows/app/tessorel.exe | grep 'DLL Name'

# The 32-bit program runs under Wine only where the kernel runs 32-bit code; elsewhere the same
# sources built for x86_64 stand in for it.
. scripts/wine-env.sh
if tessorel_wine32_works; then win=windows; else win=windows-x64; fi
echo "== Windows unit tests under Wine ($win)"
ctest --preset "$win"
echo "== end-to-end drops under Wine and Xvfb ($win)"
tests/e2e/run.sh build/default "build/$win"
