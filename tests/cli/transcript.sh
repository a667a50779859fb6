#!/usr/bin/env bash
# Runs dideverazez-report once per case and compares the transcript (the
# command line, the standard output, each line of standard error marked "! ",
# the exit status) byte for byte with a golden file;
# DIDEVERAZEZ_UPDATE_GOLDEN=1 rewrites the golden file instead.
#
# Usage: transcript.sh TOOL DATA_DIR GOLDEN [--generate SCRIPT] CASE...
# The cases run in a scratch folder holding a link to each file of DATA_DIR
# and what SCRIPT, run there first, writes: inputs too large to keep in the
# repository. They run with an 8 MiB stack, the usual default, so that a case
# that would overflow it fails on any machine.
# A CASE is the tool's arguments, split at spaces; "(no arguments)" is none.
# Standard input is /dev/null, FILE with "ARGS < FILE", or a pipe from FILE
# with "cat FILE | ARGS".
set -u
tool=$1 data=$2 golden=$3
shift 3
actual=$(mktemp)
work=$(mktemp -d)
trap 'rm -rf "$actual" "$actual.err" "$work"' EXIT
ln -s "$data"/* "$work"/ && cd "$work" || exit 1
if [[ ${1-} == --generate ]]; then
    bash "$2" || exit 1
    shift 2
fi
ulimit -s 8192 2>/dev/null || :
for case in "$@"; do
    args=() line=$case pipe= input=
    if [[ $line == "cat "*" | "* ]]; then
        pipe=${line#cat } line=${line#* | }
        pipe=${pipe%% | *}
    fi
    if [[ $line == *" < "* ]]; then
        input=${line##* < } line=${line% < *}
    fi
    [[ $line == "(no arguments)" ]] || read -ra args <<<"$line"
    {
        echo "\$ ${pipe:+cat $pipe | }dideverazez-report $line${input:+ < $input}"
        if [[ -n $pipe ]]; then
            cat "$pipe" | "$tool" "${args[@]}" 2>"$actual.err"
        else
            "$tool" "${args[@]}" <"${input:-/dev/null}" 2>"$actual.err"
        fi
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
