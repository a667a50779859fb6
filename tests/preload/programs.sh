#!/usr/bin/env bash
# Real programs nobody here wrote, each run plainly and then with
# libdideverazez_preload.so in both modes, and once more with every
# allocation sampled: their output must not change, the report at exit must
# list handles that served them, and the sampled run's snapshot their sites.
#
#   programs.sh PRELOAD WORK_DIR PROGRAM...   (PROGRAM: python3 sqlite3 xz g++ git)
# Exit status 0 when all agree, 77 when a program is not installed (skipped).
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
preload=$1 work=$2
shift 2
mkdir -p "$work"
cd "$work"
status=0

source "$source/tests/preload/workloads.sh"

for program in "$@"; do
    command -v "${program%3}" >/dev/null || command -v "$program" >/dev/null || {
        echo "$program: not installed, skipped"; status=77; continue; }
    expected=$(workload "$program" 2>&1) || true
    for by in thread library; do
        report=$work/report-$program-$by.txt
        rm -f "$report"
        got=$(LD_PRELOAD=$preload DIDEVERAZEZ_PRELOAD_BY=$by DIDEVERAZEZ_PRELOAD_REPORT=$report \
              workload "$program" 2>&1) || true
        if [[ $got != "$expected" ]]; then
            echo "$program, one handle a $by: the output differs"; diff <(echo "$expected") <(echo "$got") || true
            status=1
        elif ! awk 'NR > 1 && $(NF - 2) > 0 { served = 1 } END { exit !served }' "$report"; then
            echo "$program, one handle a $by: no handle served it"; cat "$report"; status=1
        else
            echo "$program, one handle a $by: same output; $(($(wc -l < "$report") - 1)) handles"
        fi
    done
    # Every allocation sampled (the heaviest sampling there is), a snapshot
    # a process (g++ runs the compiler proper in one of its own).
    rm -rf "$work/sampled-$program"
    mkdir -p "$work/sampled-$program"
    got=$(LD_PRELOAD=$preload DIDEVERAZEZ_REPORT=$work/sampled-$program/%p.json \
          DIDEVERAZEZ_SAMPLE_BYTES=1 workload "$program" 2>&1) || true
    sites=$(cat "$work/sampled-$program"/*.json | grep -o '"sites":\[{"stack":' | wc -l)
    if [[ $got != "$expected" ]]; then
        echo "$program, every allocation sampled: the output differs"
        diff <(echo "$expected") <(echo "$got") || true
        status=1
    elif ((sites == 0)); then
        echo "$program, every allocation sampled: no handle with sites"; status=1
    else
        echo "$program, every allocation sampled: same output;" \
             "$(ls "$work/sampled-$program" | wc -l) snapshots, $sites handles with sites"
    fi
done
exit $status
