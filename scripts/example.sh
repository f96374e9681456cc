#!/usr/bin/env bash
# example.sh: builds the native tool and sorts a copy of the bundled example archive, listing its
# entries before and after.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target tessorel -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/fx.snd "$work/fx.snd"
cd "$work"
echo "--- before"
"$root/build/default/tessorel" --list fx.snd
echo "--- sorting"
"$root/build/default/tessorel" fx.snd
echo "--- after"
"$root/build/default/tessorel" --list fx.snd
echo "--- the backup keeps the original bytes"
cmp fx_old.snd "$root/examples/fx.snd" && echo "fx_old.snd is identical to examples/fx.snd"
ls -l
