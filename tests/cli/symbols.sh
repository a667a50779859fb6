#!/usr/bin/env bash
# dideverazez-report leaks names the frames of a real program: PROBE writes a
# snapshot whose leaked sites are return addresses inside its own functions,
# with its loaded objects as the library lists them, and says on standard
# error the lines that must show for them: function (file:line) for one with
# line information, function (object) for one in no unit of the debug
# information, though past the start of a unit's range.
#
# Usage: symbols.sh TOOL PROBE
set -u
tool=$1 probe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$probe" >"$work/snapshot.json" 2>"$work/expected" || exit 1
"$tool" leaks "$work/snapshot.json" >"$work/actual" || exit 1
status=0
while IFS= read -r frame; do
    expected="      $frame"
    if ! grep -qxF -- "$expected" "$work/actual"; then
        echo "expected the frame line:"
        echo "$expected"
        status=1
    else
        echo "named: $expected"
    fi
done <"$work/expected"
if ((status)); then
    echo "got:"
    cat "$work/actual"
fi
exit $status
