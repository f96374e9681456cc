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
tessorel_wine_env "$1"
exec env "${TESSOREL_WINE_LOCALE[@]}" "$TESSOREL_WINE" "$@"
