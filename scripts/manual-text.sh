#!/bin/sh
# manual-text.sh: the Windows command's manual, tessorel-cli.txt, as plain text with Windows line
# ends, rendered from the manual page with its Windows parts (-rW1) and its own name.
#   manual-text.sh GROFF MANUAL_PAGE OUT
set -eu
sed -e 's/^\.TH TESSOREL /.TH TESSOREL\\-CLI /' -e 's/^tessorel \\- /tessorel\\-cli \\- /' "$2" |
    "$1" -man -rW1 -Tutf8 -P-c -P-b -P-u | sed 's/$/\r/' >"$3"
