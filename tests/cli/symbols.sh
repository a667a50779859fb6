#!/usr/bin/env bash
# dideverazez-report leaks names a frame of a real program: PROBE writes a
# snapshot whose one leaked site is a return address inside one of its own
# functions, with its loaded objects as the library lists them, and says on
# standard error the line that must show for it (function (file:line)).
#
# Usage: symbols.sh TOOL PROBE
set -u
tool=$1 probe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$probe" >"$work/snapshot.json" 2>"$work/expected" || exit 1
"$tool" leaks "$work/snapshot.json" >"$work/actual" || exit 1
expected="      $(cat "$work/expected")"
if ! grep -qxF -- "$expected" "$work/actual"; then
    echo "expected the frame line:"
    echo "$expected"
    echo "got:"
    cat "$work/actual"
    exit 1
fi
echo "named: $expected"
