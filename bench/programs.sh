#!/usr/bin/env bash
# Real programs through libdideverazez_preload.so: wall time and peak resident
# set of each program plainly (glibc's heap) and through the preload library
# in both modes, one handle a thread and one a shared object.
#
#   bench/programs.sh PRELOAD [--runs N] [--out FILE] [--stress STRESS] [PROGRAM...]
#
# PROGRAM is any of python3 sqlite3 xz sort g++ git (all by default), each run
# with the work of tests/preload/workloads.sh at a scale that takes it about
# half a second to two seconds. With --stress (the bench build's
# stress_programs), its shapes loop, threads, larson, xmalloc, forks and spawn
# join them (and the default list): programs that allocate hard, one shape
# each. The three heaps take turns, run after run, so
# that a change in the machine's load falls on all of them; a first run of
# each program warms the page cache and is not counted. Writes one line a run,
# "program heap run seconds peak-KiB", to FILE (default: standard output);
# bench/report.py turns the lines into the table of docs/performance.md.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
preload=$(realpath "$1")
shift
runs=5 out=/dev/stdout programs=() stress=
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --stress) stress=$(realpath "$2"); shift 2 ;;
    -*) echo "programs.sh: unknown option '$1'" >&2; exit 2 ;;
    *) programs+=("$1"); shift ;;
    esac
done
stress_shapes=(loop threads larson xmalloc forks spawn)
if ! ((${#programs[@]})); then
    programs=(python3 sqlite3 xz sort g++ git)
    [[ -z $stress ]] || programs+=("${stress_shapes[@]}")
fi
[[ -x /usr/bin/time ]] || { echo "programs.sh: needs /usr/bin/time (Debian's 'time')" >&2; exit 1; }

declare -A scale=([python3]=5 [sqlite3]=20 [xz]=1 [sort]=2 [g++]=1 [git]=300)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
workloads=$here/../tests/preload/workloads.sh

run() { # PROGRAM HEAP: prints "seconds peak-KiB"
    local environment=()
    case $2 in
    thread | library) environment=(LD_PRELOAD="$preload" DIDEVERAZEZ_PRELOAD_BY="$2") ;;
    esac
    if [[ " ${stress_shapes[*]} " == *" $1 "* ]]; then
        [[ -n $stress ]] || { echo "programs.sh: $1 needs --stress" >&2; exit 2; }
        env "${environment[@]}" /usr/bin/time -f "%e %M" -o "$work/time" "$stress" "$1" > /dev/null
    else
        env "${environment[@]}" /usr/bin/time -f "%e %M" -o "$work/time" \
            bash -c "source '$workloads'; workload '$1' ${scale[$1]} > /dev/null"
    fi
    cat "$work/time"
}

for program in "${programs[@]}"; do
    if [[ " ${stress_shapes[*]} " == *" $program "* ]]; then
        echo "== $program (stress_programs), $runs runs a heap" >&2
    else
        command -v "${program%3}" >/dev/null || command -v "$program" >/dev/null || {
            echo "programs.sh: $program is not installed, left out" >&2; continue; }
        echo "== $program (${scale[$program]}x the test's work), $runs runs a heap" >&2
    fi
    run "$program" glibc > /dev/null
    heaps=(glibc thread library)
    for ((r = 1; r <= runs; ++r)); do
        for ((h = 0; h < 3; ++h)); do
            heap=${heaps[(h + r) % 3]}
            echo "$program $heap $r $(run "$program" "$heap")"
        done
    done
done > "$work/lines"
cat "$work/lines" > "$out"
