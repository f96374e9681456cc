# wine-env.sh: sourced; sets up Wine for the project's tests (prefix, locale, loader).
# tessorel_wine_env PROGRAM.exe  picks the Wine loader for the program's architecture, makes the
# Japanese locale and the prefix on first use, and exports the environment Wine runs in.

# The loader for a PE file: wine64 for PE32+, the 32-bit loader for PE32.
tessorel_wine_loader() {
    if file -b "$1" | grep -q 'PE32+'; then echo /usr/lib/wine/wine64; else echo /usr/lib/wine/wine; fi
}

# True when this machine can run 32-bit Windows programs (Wine's 32-bit loader starts). Some
# kernels are booted with 32-bit emulation off; there the shipped i686 program is tested in a
# virtual machine (scripts/i686-vm.sh). TESSOREL_WINE32=off makes it false, to try that path.
tessorel_wine32_works() {
    [ "${TESSOREL_WINE32:-}" != off ] && [ -x /usr/lib/wine/wine ] &&
        /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Why the 32-bit loader does not run, in a few words.
tessorel_wine32_why() {
    if [ "${TESSOREL_WINE32:-}" = off ]; then
        echo "TESSOREL_WINE32=off"
    elif [ ! -x /usr/lib/wine/wine ]; then
        echo "wine32:i386 is not installed"
    else
        /usr/lib/wine/wine --version 2>&1 | head -n 1
    fi
}

tessorel_wine_env() {
    local exe=$1 arch=64
    TESSOREL_WINE=$(tessorel_wine_loader "$exe")
    [ "$TESSOREL_WINE" = /usr/lib/wine/wine ] && arch=32
    export TESSOREL_WINE
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win$arch
    export WINEPREFIX=${TESSOREL_WINEPREFIX:-${TMPDIR:-/tmp}/tessorel-wine-$arch-$(id -u)}
    # Wine takes its ANSI code page from the locale, which glibc must really have: Japanese (code
    # page 932) unless TESSOREL_WINE_LANG names another. The locale goes only to Wine's processes.
    local lang=${TESSOREL_WINE_LANG:-ja_JP.UTF-8}
    local locdir=${TMPDIR:-/tmp}/tessorel-locale
    if [ "$lang" = ja_JP.UTF-8 ] && [ ! -d "$locdir/ja_JP.UTF-8" ]; then
        mkdir -p "$locdir"
        localedef -i ja_JP -f UTF-8 "$locdir/ja_JP.UTF-8" 2>/dev/null || true
    fi
    TESSOREL_WINE_LOCALE=(LOCPATH="$locdir" LANG="$lang" LC_ALL="$lang")
    # One prefix, made once, even when CTest starts several programs at a time.
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.tessorel-ready" ]; then
            env "${TESSOREL_WINE_LOCALE[@]}" "$TESSOREL_WINE" wineboot -i >/dev/null 2>&1 || true
            # Without a window manager, Wine's managed windows make every dialog close wait.
            env "${TESSOREL_WINE_LOCALE[@]}" "$TESSOREL_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
            /usr/lib/wine/wineserver -w 2>/dev/null || true
            touch "$WINEPREFIX/.tessorel-ready"
        fi
    ) 9>"${WINEPREFIX}.lock"
}
