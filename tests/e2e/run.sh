#!/usr/bin/env bash
# run.sh: end-to-end tests of the Windows program under Wine and Xvfb, with real drag and drop.
#
# Usage: tests/e2e/run.sh NATIVE_BUILD WINDOWS_BUILD
# xdnd_drop (native) drags files onto the window from outside, through XDND, which Wine's X11
# driver turns into WM_DROPFILES; boxes.exe (Windows) reads each message box and presses OK. Every
# check prints one line; the last line counts them: "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
native=$1
windows=$2
tessorel_exe=$windows/app/tessorel.exe
boxes_exe=$windows/tests/e2e/boxes.exe
drop=$native/tests/e2e/xdnd_drop
for tool in "$tessorel_exe" "$boxes_exe" "$drop"; do
    [ -e "$tool" ] || { echo "e2e: missing $tool"; echo "0 passed, 1 failed"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tessorel-e2e.XXXXXX")
# A prefix of its own, unless one is given (making one takes minutes under emulation).
export TESSOREL_WINEPREFIX=${TESSOREL_WINEPREFIX:-$work/prefix}
passed=0
failed=0
xvfb_pid=
app_pid=

cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    WINEPREFIX=$TESSOREL_WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME COMMAND...: one line per check
    local name=$1
    shift
    if "$@"; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
    fi
}

same() { [ "$1" = "$2" ] || { echo "     expected: $2"; echo "     got:      $1"; return 1; }; }
files_are() { same "$(cd "$1" && LC_ALL=C ls -A | tr '\n' ' ')" "$2"; }

# --- the display and the program -----------------------------------------------------------------
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$work/display")

wine() { "$root/scripts/wine-run.sh" "$@"; }
boxes() { wine "$boxes_exe" "$@" 2>/dev/null | tr -d '\r'; }
start_app() {  # start_app: runs tessorel.exe in the background; its exit code lands in $work/exit
    rm -f "$work/exit"
    (wine "$tessorel_exe" 2>/dev/null; echo $? >"$work/exit") &
    app_pid=$!
    boxes window 30000 >"$work/window"
}
stop_app() {
    boxes close >/dev/null
    for _ in $(seq 100); do [ -s "$work/exit" ] && break; sleep 0.1; done
    wait "$app_pid" 2>/dev/null
    app_pid=
}

road() {  # road FILE [sorted]: the archive of the road of one drop, keys (1,0), (0,5), (0,2) in
          # chain order; with "sorted", the archive the sorter must make of it, built here from
          # the layout alone: the same header, the entries from 512 in key order, each next offset
          # pointing just past its own data
    python3 - "$@" <<'PY'
import struct, sys
entries = [(1, 0, b"one-zero"), (0, 5, b"zero-five"), (0, 2, b"zero-two")]
if sys.argv[2:] == ["sorted"]:
    entries.sort(key=lambda e: (e[0], e[1]))
header = bytearray(512)
header[0:12] = b"VorlindeSnd\0"
header[24:40] = b"header text here"
struct.pack_into("<II", header, 16, len(entries), 512)
body, at = bytes(header), 512
for group, item, data in entries:
    at += 16 + len(data)
    body += struct.pack("<IIII", at, len(data), group, item) + data
open(sys.argv[1], "wb").write(body)
PY
}

# drop_in CASE NAME...: a new folder $work/CASE (in $d) holding a road archive under each NAME, the
# first of which is dragged onto the window; with -n, all of them are.
drop_in() {
    local all=
    [ "$1" = -n ] && { all=1; shift; }
    d=$work/$1
    shift
    mkdir -p "$d"
    local name paths=()
    for name in "$@"; do road "$d/$name"; paths+=("$d/$name"); done
    if [ -n "$all" ]; then "$drop" Tessorel "${paths[@]}"; else "$drop" Tessorel "${paths[0]}"; fi
}

start_app

# --- the window ---------------------------------------------------------------------------------
read -r window <"$work/window"
check "window: class, title, 200x200 centred on 1024x768" \
    same "$(echo "$window" | cut -d' ' -f1-6 | sed 's/ Class Name/_Class_Name/')" \
    "class=Default_Class_Name title=Tessorel frame=412,284,200,200 screen=1024,768"
style=$(echo "$window" | sed -n 's/.* style=\([0-9a-f]*\).*/\1/p')
exstyle=$(echo "$window" | sed -n 's/.* exstyle=\([0-9a-f]*\).*/\1/p')
check "window: overlapped window style, visible" test $((0x$style & 0x10CF0000)) -eq $((0x10CF0000))
check "window: accepts dropped files" test $((0x$exstyle & 0x10)) -eq 16

# --- the road of one drop -----------------------------------------------------------------------
road "$work/road-original.snd"
road "$work/road-sorted.snd" sorted
drop_in road fx.snd
check "road: confirmation box" same "$(boxes ok 10000)" "$(printf '確認\t整列を完了しました')"
check "road: files afterwards" files_are "$d" "fx.snd fx_old.snd "
check "road: backup holds the original bytes" cmp -s "$d/fx_old.snd" "$work/road-original.snd"
check "road: sorted archive" cmp -s "$d/fx.snd" "$work/road-sorted.snd"

# --- warnings -----------------------------------------------------------------------------------
drop_in ext fx.wav
check "wrong extension: warning" same "$(boxes ok 10000)" "$(printf '警告\t.sndファイルではありません')"
check "wrong extension: nothing changed" files_are "$d" "fx.wav "

d=$work/damaged && mkdir -p "$d"
road "$d/fx.snd"
truncate -s -1 "$d/fx.snd"
cp "$d/fx.snd" "$work/damaged-original.snd"
"$drop" Tessorel "$d/fx.snd"
check "damaged archive: warning" same "$(boxes ok 10000)" "$(printf '警告\t読込エラー2')"
check "damaged archive: nothing written" files_are "$d" "fx.snd "
check "damaged archive: bytes unchanged" cmp -s "$d/fx.snd" "$work/damaged-original.snd"

# --- several files, and drops that overlap ------------------------------------------------------
drop_in -n three a.snd b.snd c.snd
check "three files: one confirmation" same "$(boxes ok 10000)" "$(printf '確認\t整列を完了しました')"
check "three files: no second box" boxes none 1500
check "three files: only the first sorted" files_are "$d" "a.snd a_old.snd b.snd c.snd "

drop_in overlap first.snd second.snd
check "overlapping drops: first box open" same "$(boxes read 10000)" "$(printf '確認\t整列を完了しました')"
"$drop" Tessorel "$d/second.snd"
sleep 1
check "overlapping drops: close the first box" same "$(boxes ok 10000)" "$(printf '確認\t整列を完了しました')"
check "overlapping drops: the second drop shows nothing" boxes none 1500
check "overlapping drops: the second file untouched" files_are "$d" "first.snd first_old.snd second.snd "

# --- a double-byte name whose characters end in the byte 5C, in code page 932 --------------------
drop_in 能力 ソート表.snd
check "double-byte name: confirmation" same "$(boxes ok 10000)" "$(printf '確認\t整列を完了しました')"
check "double-byte name: sorted beside itself" files_are "$d" "ソート表.snd ソート表_old.snd "

# --- names the code page cannot hold --------------------------------------------------------------
# lookalike CASE DROPPED NEIGHBOUR FILES: drops DROPPED beside NEIGHBOUR, the name that a wrong
# reading of it gives (the ANSI code page's look-alike, "best fit", of a name it cannot hold, or a
# path cut short); nothing may happen to either, and the folder must hold FILES after.
lookalike() {
    local d=$work/$1
    mkdir -p "$d/$(dirname "$3")"
    road "$d/$2"
    road "$d/$3"
    cp "$d/$3" "$work/$1-neighbour.snd"
    "$drop" Tessorel "$d/$2"
    check "$1: no box" boxes none 3000
    check "$1: nothing renamed or written" files_are "$d" "$4"
    check "$1: the neighbour untouched" cmp -s "$d/$3" "$work/$1-neighbour.snd"
}
lookalike "é in code page 932" café.snd cafe.snd "cafe.snd café.snd "
lookalike "¥ in code page 932" x¥fx.snd x/fx.snd "x x¥fx.snd "

# --- a path longer than a path buffer holds -----------------------------------------------------
# The names are built to length from the test folder, which must leave room for them.
if (( ${#work} < 200 )); then
    # Cut to 259 bytes, the dropped path "...\<base>.snd.snd" would name its neighbour "<base>.snd".
    long="path over 259 bytes"
    base=$(printf 'a%.0s' $(seq $((259 - 2 - ${#work} - 1 - ${#long} - 1 - 4))))
    lookalike "$long" "$base.snd.snd" "$base.snd" "$base.snd $base.snd.snd "
    # "Z:" and the folder, then "\fx.snd": 255 bytes, the longest path whose "fx_new.snd" and
    # "fx_old.snd" still fit in 259; one byte more and the drop ends before anything is written.
    drop_in "$(printf 'b%.0s' $(seq $((255 - 10 - ${#work}))))" fx.snd
    check "path of 255 bytes: confirmation" same "$(boxes ok 10000)" "$(printf '確認\t整列を完了しました')"
    check "path of 255 bytes: sorted beside itself" files_are "$d" "fx.snd fx_old.snd "
    drop_in "$(printf 'b%.0s' $(seq $((256 - 10 - ${#work}))))" fx.snd
    check "path of 256 bytes: no box" boxes none 3000
    check "path of 256 bytes: nothing written" files_are "$d" "fx.snd "
else
    echo "skip paths of 255 bytes and over: the test folder $work is too long to build them in"
fi

# --- closing ------------------------------------------------------------------------------------
# Closed while a warning of a drop is open, the window waits for the drop's every box.
mkdir -p "$work/taken" && touch "$work/taken/fx_old.snd"
drop_in taken fx.snd
check "closed during a warning: the first warning" same "$(boxes read 10000)" "$(printf '警告\tpOldFileリネームミリ')"
boxes close >/dev/null
sleep 1
check "closed during a warning: it stays open" same "$(boxes ok 10000)" "$(printf '警告\tpOldFileリネームミリ')"
check "closed during a warning: the second warning still comes" same "$(boxes ok 10000)" "$(printf '警告\tpDefFileリネームミリ')"
for _ in $(seq 100); do [ -s "$work/exit" ] && break; sleep 0.1; done
check "closed during a warning: then the process ends, with exit code 0" same "$(cat "$work/exit" 2>/dev/null)" 0
wait "$app_pid" 2>/dev/null
start_app
stop_app
check "closing the window ends the process with exit code 0" same "$(cat "$work/exit" 2>/dev/null)" 0

# --- on a system that is not Japanese, the messages still read in Japanese ------------------------
export TESSOREL_WINE_LANG=C.UTF-8
start_app
drop_in western fx.wav
check "western code page: the warning reads in Japanese" \
    same "$(boxes ok 10000)" "$(printf '警告\t.sndファイルではありません')"
lookalike "fullwidth letters in a western code page" ｆｘ.snd fx.snd "fx.snd ｆｘ.snd "
stop_app

# --- the command dragged onto in Explorer: in a console of its own, it waits for a key ------------
# "start" gives it a console of its own, as Explorer does; still running a while after the sort, it
# is waiting for the key that closes its window.
d=$work/console && mkdir -p "$d" && road "$d/fx.snd"
cli_exe=$(cd "$windows/app" && pwd)/tessorel-cli.exe
(. "$root/scripts/wine-env.sh" && tessorel_wine_env "$cli_exe" &&
    exec env "${TESSOREL_WINE_LOCALE[@]}" "$TESSOREL_WINE" start /wait "Z:${cli_exe//\//\\}" \
        "Z:${d//\//\\}\\fx.snd" >/dev/null 2>&1) &
console_pid=$!
for _ in $(seq 1200); do [ -e "$d/fx_old.snd" ] && break; sleep 0.1; done
sleep 3
check "command in a console of its own: sorted" files_are "$d" "fx.snd fx_old.snd "
check "command in a console of its own: waits for a key" kill -0 "$console_pid"
kill "$console_pid" 2>/dev/null
WINEPREFIX=$TESSOREL_WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null
wait "$console_pid" 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
