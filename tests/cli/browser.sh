#!/usr/bin/env bash
# The viewer in a real browser: makes the page of a snapshot file with
# `dideverazez-report html`, lets headless chromium run its script (once with
# areas by current bytes, once by peak bytes) and checks, with
# check_viewer.py, that the page is self-contained, that the figures it shows
# for every handle in the table and for the roots on the treemap are the
# snapshot's, and that the sum of the roots' peaks is never shown as a peak.
# Exits 77 (skipped) without chromium or python3.
#
# Usage: browser.sh TOOL SNAPSHOT_FILE
set -eu
tool=$1 snapshot=$2
here=$(cd "$(dirname "$0")" && pwd)
chromium=$(command -v chromium || command -v chromium-browser || true)
python=$(command -v python3 || true)
if [[ -z $chromium || -z $python ]]; then
    echo "SKIPPED: needs chromium and python3 (Debian: apt-get install chromium python3)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" html "$snapshot" -o "$work/page.html"
for by in current peak; do
    # A profile of its own each time; nothing to fetch, nothing to update.
    if ! timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic \
        --no-first-run --disable-background-networking --disable-component-update \
        --disable-sync --user-data-dir="$work/profile-$by" --virtual-time-budget=5000 \
        --dump-dom "file://$work/page.html#by=$by" >"$work/$by.html" 2>"$work/chromium.log"; then
        cat "$work/chromium.log"
        echo "chromium failed"
        exit 1
    fi
done
"$python" "$here/check_viewer.py" "$snapshot" "$work/page.html" "$work/current.html" \
    "$work/peak.html"
