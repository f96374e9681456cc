#!/usr/bin/env bash
# fuzz.sh: builds the archive fuzz target (clang, libFuzzer, ASan, UBSan) and runs it for a bounded
# time, starting from the corpus in tests/fuzz/corpus. Fails on any finding; the input that shows
# it is kept under build/fuzz/findings, to be added to tests/fuzz/regressions once fixed.
# Usage: scripts/fuzz.sh [SECONDS] [JOBS]     (defaults: 60 seconds, 1 job)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
jobs=${2:-1}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target fuzz_archive >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/findings "$work/corpus"
fork=()
[ "$jobs" -gt 1 ] && fork=(-fork="$jobs")
status=0
build/fuzz/tests/fuzz/fuzz_archive "${fork[@]}" -max_total_time="$seconds" -max_len=8192 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ \
    "$work/corpus" tests/fuzz/corpus tests/fuzz/regressions >"$work/log" 2>&1 || status=$?
grep -E '^(stat::number_of_executed_units|Done [0-9]+ runs|#[0-9]+.*DONE)' "$work/log" || tail -n 3 "$work/log"
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/log"
    echo "fuzz: finding kept in build/fuzz/findings"
    exit 1
fi
echo "fuzz: no finding in $seconds s"
