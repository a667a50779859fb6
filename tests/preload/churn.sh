#!/usr/bin/env bash
# Thread churn through the preload library: tests/preload/thread_churn run
# plainly, then with one handle a thread and a snapshot at exit. The output
# must not change; the peak resident set must stay within 2 x the plain run's
# plus 8 MiB (what an ended thread keeps is bounded by the threads alive at
# once, not by the threads made: a heap that keeps every ended thread's pages
# is hundreds of MiB past it); the snapshot must stay under 1 MiB. The goal of
# 1.5 x plus 4 MiB is the benchmark report's, for a release build: a checking
# build keeps more a thread, and a loaded machine moves the plain peak.
#
#   churn.sh PRELOAD PROGRAM WORK_DIR THREADS ALIVE BYTES [LEAK]
set -euo pipefail
preload=$1 program=$2 work=$3
shift 3
mkdir -p "$work"
rm -f "$work"/churn-*.json
peak() { sed -n 's/^peak KiB //p' "$1"; }

expected=$("$program" "$@" 2>"$work/plain.err")
got=$(LD_PRELOAD=$preload DIDEVERAZEZ_REPORT="$work/churn-%p.json" \
      DIDEVERAZEZ_PRELOAD_REPORT="$work/report.txt" "$program" "$@" 2>"$work/preload.err")
status=0
[[ $got == "$expected" ]] || { echo "output differs: '$got', not '$expected'"; status=1; }
plain=$(peak "$work/plain.err") served=$(peak "$work/preload.err")
bound=$((plain * 2 + 8192))
echo "peak resident set: $plain KiB plainly, $served KiB through the preload (bound $bound KiB)"
((served <= bound)) || { echo "the peak is past the bound"; status=1; }
snapshot=$(ls "$work"/churn-*.json)
bytes=$(wc -c < "$snapshot")
echo "snapshot at exit: $bytes bytes; report: $(($(wc -l < "$work/report.txt") - 1)) rows"
((bytes < 1048576)) || { echo "the snapshot is 1 MiB or more"; status=1; }
grep -q '"path":"thread/allocations"' "$snapshot" || { echo "no thread handles in the snapshot"; status=1; }
exit $status
