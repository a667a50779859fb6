#!/usr/bin/env bash
# Runs dideverazez-report once per case, from the data folder, and compares the
# transcript (the command line, the standard output, each line of standard
# error marked "! ", the exit status) byte for byte with a golden file;
# DIDEVERAZEZ_UPDATE_GOLDEN=1 rewrites the golden file instead.
#
# Usage: transcript.sh TOOL DATA_DIR GOLDEN CASE...
# A CASE is the tool's arguments, split at spaces; "(no arguments)" is none.
set -u
tool=$1 data=$2 golden=$3
shift 3
actual=$(mktemp)
trap 'rm -f "$actual" "$actual.err"' EXIT
cd "$data" || exit 1
for case in "$@"; do
    args=()
    [[ $case == "(no arguments)" ]] || read -ra args <<<"$case"
    {
        echo "\$ dideverazez-report $case"
        "$tool" "${args[@]}" 2>"$actual.err"
        status=$?
        sed 's/^/! /' "$actual.err"
        echo "[exit $status]"
        echo
    } >>"$actual"
done
if [[ ${DIDEVERAZEZ_UPDATE_GOLDEN-} == 1 ]]; then
    cp "$actual" "$golden"
    echo "rewrote $golden"
elif ! diff -u "$golden" "$actual"; then
    echo "transcript differs from $golden (- expected, + actual)"
    exit 1
fi
