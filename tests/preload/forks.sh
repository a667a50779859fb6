#!/usr/bin/env bash
# Forks from a busy multithreaded parent through the preload library, one
# handle a shared object (every thread on the trees of libc, libstdc++ and the
# program), with a time series every millisecond and one allocation in 4 KiB
# sampled (so that threads hold the samples' lock too): tests/preload/fork_storm
# fails on a child that hangs. Each process's series must hold its own
# snapshots only.
#
#   forks.sh PRELOAD PROGRAM WORK_DIR FORKS
set -euo pipefail
preload=$1 program=$2 work=$3 forks=$4
rm -rf "$work"
mkdir -p "$work"
LD_PRELOAD=$preload DIDEVERAZEZ_PRELOAD_BY=library DIDEVERAZEZ_REPORT="$work/series-%p.jsonl" \
    DIDEVERAZEZ_REPORT_INTERVAL_MS=1 DIDEVERAZEZ_SAMPLE_BYTES=4096 "$program" "$forks"
status=0 files=0
for series in "$work"/series-*.jsonl; do
    files=$((files + 1))
    own=${series##*series-} own=${own%.jsonl}
    others=$(grep -o '"process":[0-9]*' "$series" | sort -u | grep -vx "\"process\":$own" || true)
    [[ -z $others ]] || { echo "$series holds snapshots of $others"; status=1; }
done
grep -q '"sites":\[{' "$work"/series-*.jsonl || { echo "no series lists sampled sites"; status=1; }
echo "$files series, each of its own process"
((files == forks + 1)) || { echo "expected $((forks + 1)) series"; status=1; }
exit $status
