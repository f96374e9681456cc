#!/usr/bin/env bash
# run.sh: the benchmarks, printing figures from one run.
#   (a) the whole drop operation on 1024 entries with keys over the full 32-bit range;
#   (b) sorting a 1 GiB archive of 1024 shuffled 1 MiB entries next to cp of the same file into the
#       same folder, as median ratios over interleaved runs, with the peak resident memory of each.
#       It runs twice: in a folder on the disk, where the sorter also waits until its archive is on
#       the disk before renaming it (so cp followed by sync of the copy is timed too, the like-for-like
#       figure), and in a folder in memory (/dev/shm), where waiting for the disk costs nothing and
#       the sorter and cp do the same work.
#   (c) a batch: 1000 archives of 4 KiB in one folder on the disk, the command over the folder
#       against cp -r of the folder and one sync, as median ratios over interleaved runs, each from
#       an idle disk, with the peak resident memory of each.
# TESSOREL_BENCH_ONLY=c runs (c) alone.
# Usage: bench/run.sh [BUILD_DIR] [RUNS]   (BUILD_DIR defaults to build/default, RUNS to 7)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
runs=${2:-7}
tessorel=$build/tessorel
make_archive=$build/bench/make_archive
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

single() {
echo "== (a) whole operation, 1024 entries, full-range keys"
"$build/bench/sort_bench" --benchmark_format=console 2>/dev/null | grep -E 'median|cv' || true
}

folders=()
trap 'rm -rf "${folders[@]}"' EXIT

# Prints "seconds peak_kib" for one command, from /usr/bin/time -v.
measure() {
    /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null
    awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; w=s}
                /Maximum resident set size/ {m=$2} END {printf "%.3f %d\n", w, m}' "$work/time.txt"
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
# The median of the per-run ratios of two timing arrays.
ratio() {
    local -n a=$1 b=$2
    local r=() i
    for ((i = 0; i < runs; i++)); do r+=("$(awk -v x="${a[i]}" -v y="${b[i]}" 'BEGIN {printf "%.3f", x/y}')"); done
    median "${r[@]}"
}

# Times one command of the comparison, named $1, from the same starting state each time: the
# source in the page cache, nothing waiting to be written, no copy lying about.
declare -A times peak
timed() {
    local t m
    # The sorter only reads the dropped file and renames it, so a second name of the source is an
    # exact stand-in for a copy, and it leaves no fresh 1 GiB for the disk to write while the
    # sorter runs.
    ln -f "$work/source.snd" "$work/fx.snd"
    sync
    case $1 in
        tessorel) read -r t m < <(measure "$tessorel" "$work/fx.snd") ;;
        cp) read -r t m < <(measure cp "$work/source.snd" "$work/copy.snd") ;;
        cp+sync) read -r t m < <(measure sh -c 'cp "$1" "$2" && sync "$2"' sh "$work/source.snd" "$work/copy.snd") ;;
    esac
    times[$1]+="$t "
    (( m > ${peak[$1]:-0} )) && peak[$1]=$m
    rm -f "$work/fx.snd" "$work/fx_old.snd" "$work/copy.snd"
    sync
}

# compare FOLDER LABEL COMMAND...: the interleaved runs in FOLDER, each round in another order so
# that no command always follows the same one.
compare() {
    work=$(mktemp -d "$1/tessorel-bench.XXXXXX")
    folders+=("$work")
    shift
    local label=$1 i j
    shift
    local names=("$@") n
    echo "== (b) $label: 1 GiB archive (1024 x 1 MiB, shuffled), $runs interleaved runs, in $work"
    "$make_archive" "$work/source.snd" 1024 1048576 11
    # One round untimed: the first touch of fresh memory and files costs each command extra.
    for n in "${names[@]}"; do timed "$n"; done
    times=(); peak=()
    for ((i = 0; i < runs; i++)); do
        for ((j = 0; j < ${#names[@]}; j++)); do timed "${names[(i + j) % ${#names[@]}]}"; done
    done
    local line="median:" ratios=""
    for n in "${names[@]}"; do
        read -ra "t_${n//+/_}" <<<"${times[$n]}"
        line+=" $n $(median ${times[$n]}) s,"
    done
    echo "${line%,}"
    echo "  each run: $(for n in "${names[@]}"; do printf '%s [%s] ' "$n" "${times[$n]% }"; done)"
    ratios="median ratio tessorel/cp $(ratio t_tessorel t_cp) (goal <= 1.15)"
    [[ " ${names[*]} " == *" cp+sync "* ]] && ratios+=", tessorel/(cp+sync) $(ratio t_tessorel t_cp_sync)"
    echo "$ratios"
    echo "peak resident memory: tessorel $((peak[tessorel] / 1024)) MiB (goal < 16), cp $((peak[cp] / 1024)) MiB"
    rm -rf "$work"
}

# As measure, with the wall time to the microsecond: the runs of (c) take tens of milliseconds,
# which /usr/bin/time gives to the hundredth of a second only.
measure_fine() {
    local start end
    start=$EPOCHREALTIME
    /usr/bin/time -f %M -o "$work/peak.txt" "$@" >/dev/null 2>&1
    end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" -v m="$(tail -n 1 "$work/peak.txt")" 'BEGIN {printf "%.4f %d\n", e - s, m}'
}

# One round of (c): the command over a fresh copy of the folder, or the copy and its sync; the
# fresh copy for the command is made, and flushed, before the clock starts.
batch_timed() {
    local t m
    rm -rf "$work/w" "$work/c"
    [ "$1" = tessorel ] && cp -r "$work/source" "$work/w"
    sync
    case $1 in
        tessorel) read -r t m < <(measure_fine "$tessorel" -q "$work/w") ;;
        cp+sync) read -r t m < <(measure_fine sh -c 'cp -r "$1" "$2" && sync' sh "$work/source" "$work/c") ;;
    esac
    times[$1]+="$t "
    if (( m > ${peak[$1]:-0} )); then peak[$1]=$m; fi
}

batch() {
    work=$(mktemp -d "${TMPDIR:-/var/tmp}/tessorel-bench.XXXXXX")
    folders+=("$work")
    echo "== (c) a batch: 1000 archives of 4 KiB in one folder on the disk, $runs interleaved runs, in $work"
    mkdir "$work/source"
    "$make_archive" "$work/one.snd" 7 496 5
    local k i n
    for k in $(seq -w 0 999); do cp "$work/one.snd" "$work/source/a$k.snd"; done
    batch_timed tessorel
    batch_timed cp+sync
    times=(); peak=()
    for ((i = 0; i < runs; i++)); do
        if ((i % 2)); then batch_timed cp+sync; batch_timed tessorel; else batch_timed tessorel; batch_timed cp+sync; fi
    done
    local line="median:"
    for n in tessorel cp+sync; do
        read -ra "t_${n//+/_}" <<<"${times[$n]}"
        line+=" $n $(median ${times[$n]}) s,"
    done
    echo "${line%,}"
    echo "  each run: tessorel [${times[tessorel]% }] cp+sync [${times[cp+sync]% }]"
    echo "median ratio tessorel/(cp -r + sync) $(ratio t_tessorel t_cp_sync) (goal <= 3, stretch 2)"
    echo "peak resident memory: tessorel $((peak[tessorel] / 1024)) MiB, cp+sync $((peak[cp+sync] / 1024)) MiB"
    rm -rf "$work"
}

if [ "${TESSOREL_BENCH_ONLY:-}" != c ]; then
single
compare "${TMPDIR:-/var/tmp}" "on the disk" tessorel cp cp+sync
# The memory folder holds the source, the sorted archive and a copy at once.
if [ -d /dev/shm ] && (( $(df -Pk /dev/shm | awk 'NR == 2 {print $4}') > 4 * 1024 * 1024 )); then
    compare /dev/shm "in memory" tessorel cp
else
    echo "== (b) in memory: skipped, /dev/shm is missing or has less than 4 GiB free"
fi
fi
batch
