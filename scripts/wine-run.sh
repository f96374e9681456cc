#!/usr/bin/env bash
# wine-run.sh: runs one Windows program under Wine in the project's own prefix, in a Japanese
# locale (so that Wine's ANSI code page is 932), quietly. CTest uses it as the cross-build's
# emulator; the end-to-end tests use it too.
#   TESSOREL_WINEPREFIX  the prefix (default: $TMPDIR/tessorel-wine-<arch>-<uid>)
#   TESSOREL_WINE_LANG   the locale (default: ja_JP.UTF-8)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
# A 32-bit program needs Wine's 32-bit loader, which some kernels cannot start: say why, in one line.
if [ "$(tessorel_wine_loader "$1")" = /usr/lib/wine/wine ] && ! tessorel_wine32_works; then
    echo "wine-run.sh: cannot run the 32-bit $1 here ($(tessorel_wine32_why));" \
         "run the x86_64 build, or the i686 one in scripts/i686-vm.sh" >&2
    exit 2
fi
tessorel_wine_env "$1"
exec env "${TESSOREL_WINE_LOCALE[@]}" "$TESSOREL_WINE" "$@"
