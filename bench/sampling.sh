#!/usr/bin/env bash
# What sampling call sites costs: the batch rows of allocator_benchmarks and
# real programs through libdideverazez_preload.so, with sampling off, at one
# sample per 512 KiB and at every allocation, and the same programs under
# heaptrack (which records every allocation) beside them.
#
#   bench/sampling.sh BUILD_DIR [--runs N] [--out FILE] [--baseline BUILD_DIR]
#
# With --baseline (the bench build of a commit before sampling existed), the
# instructions per pair of both builds are counted with callgrind too, on the
# shapes of bench/instruction_counts: "instructions <build> <shape> <count>",
# build "baseline" or "this".
# Sampling is read when the library loads, so each setting is its own
# process; the settings take turns, run after run, so that a change in the
# machine's load falls on all of them, and bench/report.py takes each ratio
# within one round. Writes "rows <setting> <run> <row> <ns>" and
# "program <name> <setting> <run> <seconds> <peak KiB> <user s> <system s>" lines to FILE
# (default: standard output). Settings: off, 524288, 1 (DIDEVERAZEZ_SAMPLE_BYTES)
# and, for programs, glibc (no preload) and heaptrack.
set -euo pipefail
build=$(realpath "$1")
shift
runs=5 out=/dev/stdout baseline=""
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --baseline) baseline=$(realpath "$2"); shift 2 ;;
    *) echo "sampling.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
done
benchmarks=$build/bench/allocator_benchmarks
preload=$build/preload/libdideverazez_preload.so
[[ -x $benchmarks && -f $preload ]] || { echo "sampling.sh: build $build first" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "sampling.sh: needs /usr/bin/time (Debian's 'time')" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
pin=()
command -v taskset >/dev/null && pin=(taskset -c "$(($(nproc) - 1))")

# The environment of a setting. Sampling needs a snapshot to write to, and
# asking for one starts the library's thread, which alone makes every lock of
# a process dearer (glibc's mutexes skip their atomic operations while a
# process has one thread): "off" asks for the snapshot too, so that the
# ratios are those of sampling alone.
setting() {
    case $1 in
    glibc | heaptrack) ;;
    off) echo "DIDEVERAZEZ_REPORT=$work/snapshot.json" ;;
    *) echo "DIDEVERAZEZ_REPORT=$work/snapshot.json DIDEVERAZEZ_SAMPLE_BYTES=$1" ;;
    esac
}

# Programs run straight (heaptrack follows no child process): python3 making
# and dropping many small objects, with its own small-object heap and with
# every object a malloc (PYTHONMALLOC=malloc), sqlite3 a table and an index.
cat > work.py <<'EOF'
import json, sys
n = 100000
d = {str(i): list(range(i % 50)) for i in range(n)}
s = json.dumps(d, sort_keys=True)
print(len(s), len(json.loads(s)))
EOF
cat > work.sql <<'EOF'
CREATE TABLE t(id INTEGER PRIMARY KEY, k TEXT, v REAL);
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 400000)
INSERT INTO t(k, v) SELECT printf('key%05d', x % 997), x * 0.5 FROM c;
CREATE INDEX tk ON t(k);
SELECT k, count(*), sum(v) FROM t GROUP BY k ORDER BY sum(v) DESC LIMIT 3;
EOF
# Seconds, peak KiB, and CPU seconds in user and kernel mode, children
# included (heaptrack's own analysis runs in a process of its own).
format="%e %M %U %S"
program() { # NAME SETTING: prints "seconds peak-KiB user-seconds system-seconds"
    local command
    case $1 in
    python3) command=(/usr/bin/python3 work.py) ;;
    python3-malloc) command=(/usr/bin/python3 work.py); local -x PYTHONMALLOC=malloc ;;
    sqlite3) rm -f db.sqlite; command=(sqlite3 -init work.sql db.sqlite .quit) ;;
    esac
    case $2 in
    glibc) /usr/bin/time -f "$format" -o time "${command[@]}" > /dev/null ;;
    heaptrack) /usr/bin/time -f "$format" -o time heaptrack -o "$work/heaptrack" \
                   "${command[@]}" > /dev/null 2>&1 ;;
    *) env LD_PRELOAD="$preload" $(setting "$2") /usr/bin/time -f "$format" -o time \
           "${command[@]}" > /dev/null ;;
    esac
    rm -f "$work"/heaptrack* db.sqlite
    cat time
}

{
    settings=(off 524288 1)
    for ((r = 1; r <= runs; ++r)); do
        for ((s = 0; s < 3; ++s)); do
            set=${settings[(s + r) % 3]}
            echo "== batch rows, sampling $set, round $r of $runs" >&2
            env $(setting "$set") "${pin[@]}" "$benchmarks" \
                --benchmark_filter='^(batch-1k|batch-64k|pingpong)/dideverazez(/64)?$|^pair/dideverazez/64$' \
                --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
                --benchmark_min_time=0.05 --benchmark_format=json 2> /dev/null |
                python3 -c '
import json, sys
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("aggregate_name") == "median":
        print("rows", sys.argv[1], sys.argv[2], b["run_name"], b["real_time"])' "$set" "$r"
        done
    done
    if [[ -n $baseline ]] && command -v valgrind > /dev/null; then
        count() { # PROGRAM SHAPE PAIRS
            valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$1" "$2" "$3" \
                > /dev/null 2>&1
            sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$work/callgrind.out" | head -1
        }
        for shape in steady pingpong root depth8 batch-1k large-4k; do
            pairs=100000
            [[ $shape == *batch* ]] && pairs=20000
            for build_of in baseline:"$baseline" this:"$build"; do
                echo "== instructions, $shape, ${build_of%%:*}" >&2
                program=${build_of#*:}/bench/instruction_counts
                once=$(count "$program" "$shape" "$pairs")
                twice=$(count "$program" "$shape" $((2 * pairs)))
                echo "instructions ${build_of%%:*} $shape $(((twice - once) / pairs))"
            done
        done
    fi
    programs=(python3 python3-malloc sqlite3)
    command -v heaptrack > /dev/null || echo "sampling.sh: no heaptrack, its runs left out" >&2
    settings=(glibc off 524288 1 heaptrack)
    for name in "${programs[@]}"; do
        program "$name" glibc > /dev/null # warms the page cache
        for ((r = 1; r <= runs; ++r)); do
            for ((s = 0; s < 5; ++s)); do
                set=${settings[(s + r) % 5]}
                [[ $set == heaptrack ]] && ! command -v heaptrack > /dev/null && continue
                echo "== $name, $set, round $r of $runs" >&2
                echo "program $name $set $r $(program "$name" "$set")"
            done
        done
    done
} > "$work/lines"
cat "$work/lines" > "$out"
