#!/usr/bin/env bash
# The names of a thread's handles (tests/preload/thread_names): the name it
# goes by when it allocates, "main" and "thread" for those that go by the
# program's, a tab shown as \t; a thread renamed by another after its first
# heap call takes up handles of its new name. The threads have ended when the
# report is written: one row a name.
#
#   names.sh PRELOAD PROGRAM WORK_DIR
set -euo pipefail
preload=$1 program=$2 work=$3
mkdir -p "$work"
LD_PRELOAD=$preload DIDEVERAZEZ_PRELOAD_REPORT="$work/report.txt" "$program"
got=$(awk 'NR > 1 { print $1 }' "$work/report.txt" | sort | tr '\n' ' ')
expected='main named-later self-named tab\there thread with-prctl '
[[ $got == "$expected" ]] || { echo "handles: '$got', not '$expected'"; cat "$work/report.txt"; exit 1; }
echo "handles: $got"
