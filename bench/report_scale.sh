#!/usr/bin/env bash
# dideverazez-report at scale: wall time and peak resident set of `summary` and
# `html` of a 200 MB time series (20,000 snapshots), of a 200 MB series with
# sampled call sites (a Python program run under the preload library) and of
# one 250 MB snapshot (185,000 trees, 370,000 handles), all made by
# bench/big_series.py, and the size of each page.
#
#   bench/report_scale.sh TOOL [--preload LIB] [--baseline TOOL --baseline-label TEXT]
#                         [--runs N] [--work DIR] [--out FILE]
#
# TOOL is the Release build's dideverazez-report (cmake --preset bench, target
# dideverazez-report); LIB the preload library of a build, which the sampled
# series is made with (without it that input is left out). A baseline, another
# build of the tool (an earlier commit's), runs `html` of every input too, as
# command html-baseline, in the same run. The inputs are made once in DIR
# (default /tmp/dideverazez-report-scale) and kept there for later runs. Each
# command runs N times (default 3) under /usr/bin/time -f "%e %M"; writes one
# line a run, "input command run seconds peak-KiB page-bytes", to FILE
# (default: standard output), page-bytes 0 for summary, after a line
# "# baseline: TEXT" when there is a baseline and, before each input's, a
# line "# input NAME BYTES LINES".
set -euo pipefail
tool=$(realpath "$1")
shift
runs=3 work=/tmp/dideverazez-report-scale out=/dev/stdout preload="" baseline="" label=""
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --preload) preload=$(realpath "$2"); shift 2 ;;
    --baseline) baseline=$(realpath "$2"); shift 2 ;;
    --baseline-label) label=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done
here=$(dirname "$(realpath "$0")")
mkdir -p "$work"
[[ -s $work/series.jsonl ]] || python3 "$here/big_series.py" series "$work/series.jsonl"
[[ -s $work/snapshot.json ]] || python3 "$here/big_series.py" snapshot "$work/snapshot.json"
inputs=(series.jsonl)
if [[ -n $preload ]]; then
    [[ -s $work/sampled.jsonl ]] ||
        python3 "$here/big_series.py" sampled "$work/sampled.jsonl" --preload "$preload"
    inputs+=(sampled.jsonl)
fi
inputs+=(snapshot.json)
: >"$out.tmp"
[[ -z $baseline ]] || echo "# baseline: ${label:-$baseline}" >>"$out.tmp"
commands=(summary html)
[[ -z $baseline ]] || commands+=(html-baseline)
for input in "${inputs[@]}"; do
    echo "# input $input $(stat -L -c %s "$work/$input") $(wc -l <"$work/$input")" | tee -a "$out.tmp" >&2
    # The commands take turns, so that a baseline and the tool meet the same load.
    for ((run = 1; run <= runs; ++run)); do
        for command in "${commands[@]}"; do
            page=0
            if [[ $command == summary ]]; then
                measured=$( { /usr/bin/time -f "%e %M" "$tool" summary "$work/$input" >/dev/null; } 2>&1 | tail -1)
            else
                runner=$tool
                [[ $command == html ]] || runner=$baseline
                measured=$( { /usr/bin/time -f "%e %M" "$runner" html "$work/$input" -o "$work/page.html"; } 2>&1 | tail -1)
                page=$(stat -c %s "$work/page.html")
            fi
            echo "$input $command $run $measured $page" >>"$out.tmp"
        done
    done
done
cat "$out.tmp" >"$out"
rm -f "$out.tmp" "$work/page.html"
