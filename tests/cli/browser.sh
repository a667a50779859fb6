#!/usr/bin/env bash
# The viewer in a real browser: makes the page of a snapshot file with
# `dideverazez-report html`, lets headless chromium run its script (once with
# areas by current bytes, once by peak bytes) and checks, with
# check_viewer.py, that the page is self-contained, that the figures it shows
# for every handle in the table and for the roots on the treemap are the
# snapshot's, that the sum of the roots' peaks is never shown as a peak, that
# the table's pages cells sit in their column, and that the call sites of the
# handle selected are drawn as the snapshot says (or their absence noted);
# each FRAGMENT opens the page once more at #FRAGMENT (a handle selected, a
# measure, a frame zoomed into) for the same checks. Exits 77 (skipped)
# without chromium or python3.
#
# Usage: browser.sh TOOL SNAPSHOT_FILE [FRAGMENT...]
set -eu
tool=$1 snapshot=$2
shift 2
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
# The pages dumped drop the embedded snapshots and stacks once the viewer has
# read them: serialising megabytes of text costs chromium seconds a dump, and
# the check reads what is embedded from page.html itself. Each cell of the
# table of live handles gets data-box, its edges as laid out.
"$python" - "$work/page.html" "$work/shown.html" <<'EOF'
import sys
page = open(sys.argv[1], encoding="utf-8").read()
after = """<script>
for (const id of ['snapshots', 'stacks']) document.getElementById(id).remove();
for (const cell of document.querySelectorAll('#engines th, #engines td')) {
  const box = cell.getBoundingClientRect();
  cell.dataset.box = [box.left, box.right, box.top, box.bottom].join(' ');
}
</script>
</body>"""
assert page.count("</body>") == 1
open(sys.argv[2], "w", encoding="utf-8").write(page.replace("</body>", after))
EOF
# dump NAME FRAGMENT: the page's DOM at #FRAGMENT, after its script ran, in NAME.html.
dump() {
    # A profile of its own each time; nothing to fetch, nothing to update.
    if ! timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic \
        --no-first-run --disable-background-networking --disable-component-update \
        --disable-sync --user-data-dir="$work/profile-$1" --virtual-time-budget=5000 \
        --dump-dom "file://$work/shown.html#$2" >"$work/$1.html" 2>"$work/chromium.log"; then
        cat "$work/chromium.log"
        echo "chromium failed"
        exit 1
    fi
}
dump current by=current
dump peak by=peak
views=()
for fragment in "$@"; do
    dump "view-${#views[@]}" "$fragment"
    views+=("$fragment" "$work/view-${#views[@]}.html")
done
"$python" "$here/check_viewer.py" "$snapshot" "$work/page.html" "$work/current.html" \
    "$work/peak.html" "${views[@]}"
