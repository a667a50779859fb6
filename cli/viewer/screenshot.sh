#!/usr/bin/env bash
# A picture of the viewer (docs/viewer.png): the page of a snapshot file, as
# headless chromium draws it in a 1400 x 900 window.
#
# Usage: cli/viewer/screenshot.sh TOOL SNAPSHOT_FILE OUT.png
set -eu
tool=$1 snapshot=$2 out=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" html "$snapshot" -o "$work/page.html"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile" --hide-scrollbars --virtual-time-budget=5000 \
    --window-size=1400,900 --screenshot="$(realpath -m "$out")" "file://$work/page.html" \
    2>"$work/chromium.log" || { cat "$work/chromium.log" >&2; exit 1; }
