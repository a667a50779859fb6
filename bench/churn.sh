#!/usr/bin/env bash
# Thread churn through libdideverazez_preload.so: wall time, peak resident set
# and the size of the snapshot written at exit, of tests/preload/thread_churn
# run plainly (glibc's heap) and through the preload library in both modes,
# one handle a thread and one a shared object.
#
#   bench/churn.sh PRELOAD PROGRAM [--runs N] [--out FILE] [SHAPE...]
#
# PROGRAM is thread_churn (the bench build makes it, bench/thread_churn).
# SHAPE (all by default), the arguments THREADS ALIVE BYTES [LEAK [KEPT]]:
#   steady    20000 50 1048576      each thread allocates and frees about
#                                   1 MiB in blocks of 16-512 bytes, keeping
#                                   the last 64
#   kept      20000 50 262144 0 0   each keeps all of its 256 KiB until it
#                                   ends, then frees them
#   leaking   20000 50 65536 64     each leaves 64 bytes behind
#   threads   20000 50 0            the threads alone, no blocks
#   one       1 1 17179869184       no churn: one thread, 16 GiB in about 65
#                                   million malloc+free pairs, what one pair
#                                   costs each heap
# The churn is 20,000 threads, 50 alive at a time. The three heaps take turns,
# run after run, so that a change in the machine's load falls on all of them;
# a first run of each shape is not counted, and its output is the one every
# other run of the shape must print (the script fails otherwise). Only the
# program is measured: /usr/bin/time runs `env`, which sets LD_PRELOAD and
# executes the program in the same process (LD_PRELOAD on /usr/bin/time would
# serve its heap too, and it would write a snapshot of its own). Preload runs
# write the snapshot at exit (DIDEVERAZEZ_REPORT) into a work folder; its size
# is recorded (0 for glibc) and it is removed. Writes one line a run, "shape heap run seconds
# peak-KiB snapshot-bytes" (heap glibc, thread or library), to FILE (default:
# standard output); bench/report.py turns the lines into the table of
# docs/performance.md.
set -euo pipefail
preload=$(realpath "$1")
program=$(realpath "$2")
shift 2
runs=5 out=/dev/stdout shapes=()
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -*) echo "churn.sh: unknown option '$1'" >&2; exit 2 ;;
    *) shapes+=("$1"); shift ;;
    esac
done
((${#shapes[@]})) || shapes=(steady kept leaking threads one)
[[ -x /usr/bin/time ]] || { echo "churn.sh: needs /usr/bin/time (Debian's 'time')" >&2; exit 1; }
[[ -x $program ]] || { echo "churn.sh: $program is not a program" >&2; exit 1; }

declare -A arguments=([steady]="20000 50 1048576" [kept]="20000 50 262144 0 0"
                      [leaking]="20000 50 65536 64" [threads]="20000 50 0"
                      [one]="1 1 17179869184")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() { # SHAPE HEAP: prints "seconds peak-KiB snapshot-bytes"; the output in $work/out
    local environment=() snapshots bytes=0
    case $2 in
    thread | library)
        environment=(LD_PRELOAD="$preload" DIDEVERAZEZ_PRELOAD_BY="$2"
                     DIDEVERAZEZ_REPORT="$work/snap-%p.json") ;;
    esac
    # shellcheck disable=SC2086 # the shape's arguments are words
    /usr/bin/time -f "%e %M" -o "$work/time" env "${environment[@]}" "$program" \
        ${arguments[$1]} > "$work/out" 2> "$work/err" \
        || { echo "churn.sh: $1 on $2 failed:" >&2; cat "$work/err" "$work/time" >&2; exit 1; }
    if ((${#environment[@]})); then
        snapshots=("$work"/snap-*.json)
        [[ ${#snapshots[@]} -eq 1 && -f ${snapshots[0]} ]] \
            || { echo "churn.sh: $1 on $2 left ${#snapshots[@]} snapshots, not one" >&2; exit 1; }
        bytes=$(wc -c < "${snapshots[0]}")
        rm -f "${snapshots[@]}"
    fi
    echo "$(tail -1 "$work/time") $bytes"
}

for shape in "${shapes[@]}"; do
    [[ -n ${arguments[$shape]:-} ]] || { echo "churn.sh: no shape '$shape'" >&2; exit 2; }
    echo "== $shape (${arguments[$shape]}), $runs runs a heap" >&2
    run "$shape" glibc > /dev/null
    mv "$work/out" "$work/expected"
    heaps=(glibc thread library)
    for ((r = 1; r <= runs; ++r)); do
        for ((h = 0; h < 3; ++h)); do
            heap=${heaps[(h + r) % 3]}
            measured=$(run "$shape" "$heap")
            cmp -s "$work/out" "$work/expected" || {
                echo "churn.sh: $shape on $heap printed '$(cat "$work/out")'," \
                     "not '$(cat "$work/expected")'" >&2; exit 1; }
            echo "$shape $heap $r $measured"
        done
    done
done > "$work/lines"
cat "$work/lines" > "$out"
