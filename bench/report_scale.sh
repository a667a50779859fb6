#!/usr/bin/env bash
# dideverazez-report at scale: wall time and peak resident set of `summary` and
# `html` of a 200 MB time series (20,000 snapshots) and of one 250 MB snapshot
# (185,000 trees, 370,000 handles), both made by bench/big_series.py, and the size of each page.
#
#   bench/report_scale.sh TOOL [--runs N] [--work DIR] [--out FILE]
#
# TOOL is the Release build's dideverazez-report (cmake --preset bench, target
# dideverazez-report). The inputs are made once in DIR (default
# /tmp/dideverazez-report-scale) and kept there for later runs. Each command
# runs N times (default 3) under /usr/bin/time -f "%e %M"; writes one line a
# run, "input command run seconds peak-KiB page-bytes", to FILE (default:
# standard output), page-bytes 0 for summary.
set -euo pipefail
tool=$(realpath "$1")
shift
runs=3 work=/tmp/dideverazez-report-scale out=/dev/stdout
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
here=$(dirname "$(realpath "$0")")
mkdir -p "$work"
[[ -s $work/series.jsonl ]] || python3 "$here/big_series.py" series "$work/series.jsonl"
[[ -s $work/snapshot.json ]] || python3 "$here/big_series.py" snapshot "$work/snapshot.json"
: >"$out.tmp"
for input in series.jsonl snapshot.json; do
    echo "# $input: $(stat -L -c %s "$work/$input") bytes, $(wc -l <"$work/$input") lines" >&2
    for command in summary html; do
        for ((run = 1; run <= runs; ++run)); do
            page=0
            if [[ $command == summary ]]; then
                measured=$( { /usr/bin/time -f "%e %M" "$tool" summary "$work/$input" >/dev/null; } 2>&1 | tail -1)
            else
                measured=$( { /usr/bin/time -f "%e %M" "$tool" html "$work/$input" -o "$work/page.html"; } 2>&1 | tail -1)
                page=$(stat -c %s "$work/page.html")
            fi
            echo "$input $command $run $measured $page" >>"$out.tmp"
        done
    done
done
cat "$out.tmp" >"$out"
rm -f "$out.tmp" "$work/page.html"
