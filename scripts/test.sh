#!/usr/bin/env bash
# test.sh: installs what the build and the tests need (Debian 12, as root), builds every target and
# runs every test suite: native, under the sanitizers, and the Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

# --- packages -----------------------------------------------------------------------------------
# What the native suites need is installed first, Wine's 32-bit loader (wine32:i386, for the
# shipped i686 program) after it, so that a failure of the i386 step is told apart from a broken
# native set-up. wine32:i386 installs wherever i386 packages can be had, even where the kernel
# cannot run 32-bit code.
native_packages=(cmake g++ make libgtest-dev libbenchmark-dev time file python3 pkg-config acl
                 groff-base unzip dpkg-dev lintian
                 clang libclang-rt-14-dev gcovr libfuse3-dev fuse3 locales
                 g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb xauth libx11-dev)
i386_packages=(wine32:i386)
TESSOREL_APT_FOREIGN=i386 . scripts/packages.sh
packages_fail() { echo "test.sh: $packages_failure" >&2; exit 1; }
packages_install native "${native_packages[@]}" || packages_fail
wine32_unavailable=
packages_install i386 "${i386_packages[@]}" || wine32_unavailable=$packages_failure

# --- the promises' tests exist -------------------------------------------------------------------
# Every test that docs/behaviour.md names must be in tests/: a rule whose test is gone is guarded by
# nothing.
gone=
for name in $(grep -oE '`[A-Z][A-Za-z0-9]+\.[A-Z][A-Za-z0-9]+`' docs/behaviour.md | tr -d '`' | sort -u); do
    [ "$name" = Suite.Test ] || grep -rqE "\b${name%%.*}\b[^;]*\b${name#*.}\b" tests/ || gone="$gone $name"
done
[ -z "$gone" ] || { echo "test.sh: docs/behaviour.md names tests that tests/ does not have:$gone" >&2; exit 1; }

# --- native build and tests ---------------------------------------------------------------------
echo "== native build and tests"
cmake --preset default
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"
echo "== the Linux command's Debian package and manual page"
cmake --build --preset default --target package >/dev/null
scripts/check-deb.sh build/default

echo "== the Release build (-O3), as a user's plain build makes it, and its tests"
cmake --preset release >/dev/null
cmake --build --preset release -j"$jobs"
ctest --preset release -j"$jobs"

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

echo "== the shipped build is reproducible: the same sources, built again in another folder"
again=$(mktemp -d "${TMPDIR:-/tmp}/tessorel-again.XXXXXX")
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$again"
(cd "$again" && cmake --preset windows -DTESSOREL_TESTS=OFF \
     -DTESSOREL_SOURCE_DATE="$(git -C "$root" log -1 --format=%ct)" >/dev/null &&
 cmake --build --preset windows -j"$jobs" --target package >/dev/null)
zip=tessorel-$(sed -n 's/^project(Tessorel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-windows-i686.zip
differ=0
for f in app/tessorel.exe app/tessorel-cli.exe "$zip" "$zip.sha256"; do
    here=$(sha256sum <"build/windows/$f") there=$(sha256sum <"$again/build/windows/$f")
    if [ "$here" = "$there" ]; then echo "   same SHA-256: $f ${here%% *}"; else
        echo "test.sh: $f differs between two builds of the same sources" >&2; differ=1; fi
done
rm -rf "$again"
((differ == 0)) || exit 1
echo "== the zip's texts have Windows line ends (Notepad before Windows 10 shows LF-only as one line)"
for text in tessorel-guide.txt tessorel-cli.txt; do
    unzip -p "build/windows/$zip" "$text" | python3 -c 'import sys; b = sys.stdin.buffer.read()
sys.exit(0 if b and b.count(b"\n") == b.count(b"\r\n") else "test.sh: '"$text"' has LF-only lines")'
    echo "   CRLF: $text"
done
echo "== the shipped program's form"
scripts/check-exe.sh build/windows/app/tessorel.exe
scripts/check-exe.sh build/windows/app/tessorel-cli.exe console

# The shipped program is the i686 build. Where the kernel runs 32-bit code, Wine's 32-bit loader
# runs it here; where it does not, a virtual machine whose kernel does runs it, and the x86_64 build
# of the same sources is tested here as well.
. scripts/wine-env.sh
# The command's tests against a Windows build of the command (and of its shimmed copy) under Wine.
cli_tests_against() {
    echo "TESSOREL_CLI_UNDER_TEST=$PWD/$1/app/tessorel-cli-wine.sh" \
         "TESSOREL_SHIMMED_UNDER_TEST=$PWD/$1/tests/tessorel-cli-shimmed-wine.sh" \
         "build/default/tests/tessorel_tests --gtest_filter='Cli*'"
}
if [ -n "$wine32_unavailable" ]; then
    packages_failure=$wine32_unavailable packages_fail
fi
if tessorel_wine32_works; then
    echo "== the shipped i686 build, build/windows/app/tessorel.exe, under Wine here:" \
         "the kernel runs 32-bit programs"
    echo "== Windows unit tests under Wine (i686)"
    ctest --preset windows
    echo "== the command's tests against tessorel-cli.exe under Wine (i686)"
    eval "$(cli_tests_against build/windows)"
    echo "== end-to-end drops under Wine and Xvfb (i686: build/windows/app/tessorel.exe)"
    tests/e2e/run.sh build/default build/windows
else
    echo "== Wine's 32-bit loader cannot run here ($(tessorel_wine32_why)):" \
         "the x86_64 build here, the shipped i686 build in a virtual machine"
    echo "== Windows unit tests under Wine (x86_64)"
    ctest --preset windows-x64
    echo "== the command's tests against tessorel-cli.exe under Wine (x86_64)"
    eval "$(cli_tests_against build/windows-x64)"
    echo "== end-to-end drops under Wine and Xvfb (x86_64: build/windows-x64/app/tessorel.exe)"
    tests/e2e/run.sh build/default build/windows-x64
    echo "== the shipped i686 build, build/windows/app/tessorel.exe, in a virtual machine" \
         "(software emulation): unit tests and end-to-end drops"
    packages_install "the virtual machine" qemu-system-x86 busybox-static cpio || packages_fail
    started=$(date +%s)
    scripts/i686-vm.sh --timeout "${TESSOREL_VM_SECONDS:-3000}" \
        "ctest --preset windows && tests/e2e/run.sh build/default build/windows &&
         $(cli_tests_against build/windows)"
    echo "== the i686 run in the virtual machine took $(( $(date +%s) - started )) s"
fi
