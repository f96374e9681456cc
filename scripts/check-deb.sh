#!/usr/bin/env bash
# check-deb.sh: checks the Linux command's Debian package and its manual page: the package holds the
# command, the compressed manual and the copyright file and names its dependencies, lintian finds no
# error in it, the installed command runs, and the manual names every option the command takes and
# every reason it gives, and explains every message.
#   check-deb.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/.." && pwd)
deb=$(ls "$build"/tessorel_*.deb)
fail() { echo "check-deb.sh: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/tessorel ./usr/share/man/man1/tessorel.1.gz ./usr/share/doc/tessorel/copyright; do
    grep -q " $f\$" <<<"$contents" || fail "$deb does not hold $f"
done
for field in Package Version Architecture Maintainer Description Depends; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$deb has no $field field"
done
[ "$(dpkg-deb -f "$deb" Package)" = tessorel ] || fail "the package is not named tessorel"
grep -q libc6 <<<"$(dpkg-deb -f "$deb" Depends)" || fail "the package does not depend on libc6"
lintian --fail-on error --tag-display-limit 0 "$deb" 2>/dev/null || fail "lintian finds errors in $deb"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
"$unpacked/usr/bin/tessorel" --version | grep -qx "tessorel $(dpkg-deb -f "$deb" Version)" ||
    fail "the packaged command does not give the package's version"

# The manual as text, without troff's escapes, against the options of --help and the reasons of
# the command's source.
manual=$(sed -e 's/\\-/-/g' -e 's/\\(aq/'"'"'/g' -e 's/^\.[A-Z]* //' "$root/cli/tessorel.1")
missing=0
while read -r option; do
    grep -qF -- "$option" <<<"$manual" || { echo "check-deb.sh: the manual lacks $option" >&2; missing=1; }
done < <("$unpacked/usr/bin/tessorel" --help | grep -o -- '--\?-[a-zA-Z]\+' | sort -u)
while read -r reason || [ -n "$reason" ]; do
    grep -qF -- "$reason" <<<"$manual" || { echo "check-deb.sh: the manual lacks \"$reason\"" >&2; missing=1; }
done < <(grep -ho '{"[^"]*' "$root/cli/main.cpp" | sed 's/^{"//' | grep -v '^-')
# Every message is explained: no message's line is followed at once by the next one.
while read -r tag; do
    [ -n "$tag" ] && { echo "check-deb.sh: the manual does not explain \"${tag#.B }\"" >&2; missing=1; }
done < <(awk '/^\.(TP|SH)/ { if (tag != "" && !body) print tag; tag = "" }
              /^\.SH/ { messages = ($0 == ".SH MESSAGES") }
              messages && /^\.TP/ { getline; tag = $0; body = 0; next }
              tag != "" { body = 1 }
              END { if (tag != "" && !body) print tag }' "$root/cli/tessorel.1")
((missing == 0)) || exit 1
echo "   $(basename "$deb"): $(dpkg-deb -f "$deb" Depends); command, manual and every option and reason in it, each message explained; no lintian error"
