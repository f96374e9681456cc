#!/usr/bin/env bash
# test.sh: installs what the build and the tests need (Debian 12, as root), builds every target and
# runs every test suite: native, under the sanitizers, and the Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

# --- packages -----------------------------------------------------------------------------------
# wine32:i386 is Wine's 32-bit loader, for the shipped i686 program; it installs wherever i386
# packages can be had, even where the kernel cannot run 32-bit code.
packages=(cmake g++ make libgtest-dev libbenchmark-dev time file python3 pkg-config
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine32:i386 xvfb xauth libx11-dev locales
          clang libclang-rt-14-dev gcovr libfuse3-dev fuse3)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    [ "$(id -u)" = 0 ] || { echo "test.sh: run as root to install ${missing[*]}" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- native build and tests ---------------------------------------------------------------------
echo "== native build and tests"
cmake --preset default
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

echo "== line and branch coverage of the core, the POSIX layer and the command"
find build/coverage -name '*.gcda' -delete 2>/dev/null || true
cmake --preset coverage
cmake --build --preset coverage -j"$jobs"
ctest --preset coverage -j"$jobs"
coverage=(-r . build/coverage --filter 'sorter/' --filter 'platform/posix/' --filter 'platform/message_sink'
          --filter 'cli/' --exclude-throw-branches --exclude-unreachable-branches --txt)
gcovr "${coverage[@]}" | sed -n '/^File/,$p'
gcovr "${coverage[@]}" --branches | sed -n '/^File/,$p'

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

# The shipped program is the i686 build. Where the kernel runs 32-bit code, Wine's 32-bit loader
# runs it here; where it does not, a virtual machine whose kernel does runs it, and the x86_64 build
# of the same sources is tested here as well.
. scripts/wine-env.sh
if tessorel_wine32_works; then
    echo "== the shipped i686 build, build/windows/app/tessorel.exe, under Wine here:" \
         "the kernel runs 32-bit programs"
    echo "== Windows unit tests under Wine (i686)"
    ctest --preset windows
    echo "== end-to-end drops under Wine and Xvfb (i686: build/windows/app/tessorel.exe)"
    tests/e2e/run.sh build/default build/windows
else
    echo "== Wine's 32-bit loader cannot run here ($(tessorel_wine32_why)):" \
         "the x86_64 build here, the shipped i686 build in a virtual machine"
    echo "== Windows unit tests under Wine (x86_64)"
    ctest --preset windows-x64
    echo "== end-to-end drops under Wine and Xvfb (x86_64: build/windows-x64/app/tessorel.exe)"
    tests/e2e/run.sh build/default build/windows-x64
    echo "== the shipped i686 build, build/windows/app/tessorel.exe, in a virtual machine" \
         "(software emulation): unit tests and end-to-end drops"
    missing=()
    for p in qemu-system-x86 busybox-static cpio; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "== installing: ${missing[*]}"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
    started=$(date +%s)
    scripts/i686-vm.sh --timeout "${TESSOREL_VM_SECONDS:-1800}" \
        'ctest --preset windows && tests/e2e/run.sh build/default build/windows'
    echo "== the i686 run in the virtual machine took $(( $(date +%s) - started )) s"
fi
