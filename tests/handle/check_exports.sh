#!/bin/sh
# Compares the defined dynamic symbols of a shared library with the list of
# names it is meant to export, so that an accidental export fails the build.
# Usage: check_exports.sh <nm> <library> <expected-list>
# The list holds one demangled name a line; lines starting with '#' and blank
# lines are ignored. Names are compared without address or symbol type.
set -eu

nm_tool=$1
library=$2
expected=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$nm_tool" -D --defined-only -C "$library" >"$work/table"
sed -E 's/^[0-9A-Fa-f]* *[A-Za-z] //' "$work/table" | LC_ALL=C sort -u >"$work/actual"
grep -v -e '^#' -e '^[[:space:]]*$' "$expected" | LC_ALL=C sort -u >"$work/wanted"

if ! diff -u "$work/wanted" "$work/actual" >"$work/diff"; then
    echo "The dynamic symbol table of $library differs from $expected"
    echo "(lines with '-' are missing exports, lines with '+' are extra exports):"
    cat "$work/diff"
    exit 1
fi
echo "$(wc -l <"$work/actual") exported names, as expected"
