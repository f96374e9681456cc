#!/usr/bin/env bash
# run.sh: the benchmarks, printing figures from one run.
#   (a) the whole drop operation on 1024 entries with keys over the full 32-bit range;
#   (b) sorting a 1 GiB archive of 1024 shuffled 1 MiB entries next to cp of the same file into the
#       same folder, and next to cp followed by sync of the copy (the sorter flushes its archive to
#       the disk before renaming it, which cp alone never does), interleaved, as median ratios, with
#       the peak resident memory of each.
# Usage: bench/run.sh [BUILD_DIR] [RUNS]   (BUILD_DIR defaults to build/default, RUNS to 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
runs=${2:-5}
tessorel=$build/tessorel
make_archive=$build/bench/make_archive
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

echo "== (a) whole operation, 1024 entries, full-range keys"
"$build/bench/sort_bench" --benchmark_format=console 2>/dev/null | grep -E 'median|cv' || true

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tessorel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "== (b) 1 GiB archive (1024 x 1 MiB, shuffled) vs cp, $runs interleaved runs, in $work"
"$make_archive" "$work/source.snd" 1024 1048576 11
sync

# Prints "seconds peak_kib" for one command, from /usr/bin/time -v.
measure() {
    /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null
    awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; w=s}
                /Maximum resident set size/ {m=$2} END {printf "%.3f %d\n", w, m}' "$work/time.txt"
}

sort_times=(); cp_times=(); sync_times=(); sort_mem=0; cp_mem=0
for ((i = 1; i <= runs; i++)); do
    cp "$work/source.snd" "$work/fx.snd"; sync
    read -r t m < <(measure "$tessorel" "$work/fx.snd")
    sort_times+=("$t"); (( m > sort_mem )) && sort_mem=$m
    rm -f "$work/fx.snd" "$work/fx_old.snd"; sync
    read -r t m < <(measure cp "$work/source.snd" "$work/copy.snd")
    cp_times+=("$t"); (( m > cp_mem )) && cp_mem=$m
    rm -f "$work/copy.snd"; sync
    # The sorter waits until its archive is on the disk; so does this copy, for a like-for-like figure.
    read -r t m < <(measure sh -c 'cp "$1" "$2" && sync "$2"' sh "$work/source.snd" "$work/copy.snd")
    sync_times+=("$t")
    rm -f "$work/copy.snd"; sync
    echo "run $i: tessorel ${sort_times[-1]} s, cp ${cp_times[-1]} s, cp+sync ${sync_times[-1]} s"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
ratio() { local -n a=$1 b=$2; local r=(); for ((i = 0; i < runs; i++)); do r+=("$(awk -v x="${a[i]}" -v y="${b[i]}" 'BEGIN {printf "%.3f", x/y}')"); done; median "${r[@]}"; }
echo "median: tessorel $(median "${sort_times[@]}") s, cp $(median "${cp_times[@]}") s, cp+sync $(median "${sync_times[@]}") s"
echo "median ratio tessorel/cp $(ratio sort_times cp_times) (goal <= 1.15), tessorel/(cp+sync) $(ratio sort_times sync_times)"
echo "peak resident memory: tessorel $((sort_mem / 1024)) MiB (goal < 16), cp $((cp_mem / 1024)) MiB"
