#!/usr/bin/env bash
# Runs the benchmarks against the peers and writes docs/performance.md with its
# chart docs/performance.png.
#
#   bench/run.sh [--build-dir DIR] [--processes N] [--repetitions N]
#                [--min-time SECONDS] [--cpu N] [--no-install]
#   bench/run.sh --smoke [--build-dir DIR]
#
# Without --build-dir it configures and builds the `bench` preset (build/bench).
# It installs the peers' Debian packages when they are missing (as root).
#
# Timings on a shared machine swing between processes, so the single-thread
# rows run in several processes, each pinned to one core (taskset) with the
# rows interleaved at random and repeated; the batch rows run once more with
# glibc's heap trimming off (a process-wide tuning, to show what the pages'
# return to the heap costs); the report quotes, for each row, the
# median over processes of the per-process median, and every ratio is taken
# within one process first. The thread and producer/consumer rows run
# unpinned. Instruction counts come from callgrind (each shape at n and 2n
# pairs; the difference over n is one pair), memory from one process per heap,
# real programs through the preload library from bench/programs.sh, servers
# through it from bench/servers.sh and thread churn through it from
# bench/churn.sh, threads sharing a handle and blocks freed by other threads
# from bench/sharing.sh, and what sampling call sites costs from
# bench/sampling.sh (which bench/report.py --only servers, --only churn,
# --only sharing and --only sampling can also splice alone into an existing
# report).
#
# --smoke runs every benchmark for a token few iterations, each instruction
# shape natively with a handful of pairs and the memory program for two heaps,
# and checks only that all of them run; it times nothing and writes nothing.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(dirname "$here")"
build_dir=""
processes=5
repetitions=5
min_time=0.05
cpu=""
smoke=0
install=1

while (($#)); do
    case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --processes) processes="$2"; shift 2 ;;
    --repetitions) repetitions="$2"; shift 2 ;;
    --min-time) min_time="$2"; shift 2 ;;
    --cpu) cpu="$2"; shift 2 ;;
    --smoke) smoke=1; shift ;;
    --no-install) install=0; shift ;;
    -h | --help) sed -n '2,28p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done

peer_packages=(libjemalloc-dev libmimalloc-dev libgoogle-perftools-dev libtalloc-dev)
tool_packages=(gnuplot-nox valgrind python3 util-linux time sqlite3 xz-utils git
               memcached libmemcached-tools redis-server redis-tools)

install_missing() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
        echo "== not installing (needs root and apt-get): ${missing[*]}" >&2
        return 0
    fi
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        || echo "== could not install: ${missing[*]}; those rows are left out" >&2
}

if [[ -z "$build_dir" ]]; then
    (cd "$source_dir" && cmake --preset bench && cmake --build --preset bench)
    build_dir="$source_dir/build/bench"
fi
bench_bin="$build_dir/bench"
for program in allocator_benchmarks handle_benchmarks instruction_counts memory_footprint \
               thread_churn sharing_benchmarks handoff_program stress_programs; do
    [[ -x "$bench_bin/$program" ]] || { echo "run.sh: $bench_bin/$program not built" >&2; exit 1; }
done

if ((smoke)); then
    echo "== smoke: every benchmark row, a token few iterations"
    "$bench_bin/allocator_benchmarks" --benchmark_min_time=0.001 --benchmark_repetitions=1 \
        > /dev/null
    echo "== smoke: instruction shapes"
    for shape in steady pingpong root depth8 batch-1k large-4k glibc glibc-batch-1k glibc-large-4k \
                 accounting floor; do
        pairs=1000
        [[ $shape == *batch* ]] && pairs=10000
        "$bench_bin/instruction_counts" "$shape" "$pairs"
    done
    echo "== smoke: memory program"
    "$bench_bin/memory_footprint" glibc
    "$bench_bin/memory_footprint" dideverazez
    echo "== smoke: handle rows, one iteration each"
    "$bench_bin/handle_benchmarks" --benchmark_min_time=0.001 --benchmark_repetitions=1 > /dev/null
    echo "== smoke: thread churn program"
    "$bench_bin/thread_churn" 100 10 4096 64
    echo "== smoke: threads sharing a handle, blocks handed between threads"
    "$bench_bin/sharing_benchmarks" --benchmark_min_time=0.001 --benchmark_repetitions=1 > /dev/null
    for shape in pc 2x2 pool4; do
        "$bench_bin/handoff_program" "$shape" 10000 > /dev/null
    done
    if [[ -f $build_dir/preload/libdideverazez_preload.so ]]; then
        echo "== smoke: programs that allocate hard, through the preload library"
        for shape in loop threads larson xmalloc forks spawn; do
            LD_PRELOAD="$build_dir/preload/libdideverazez_preload.so" \
                "$bench_bin/stress_programs" "$shape" 1 > /dev/null
        done
    fi
    echo "== smoke: all benchmark programs ran"
    exit 0
fi

((install)) && install_missing "${peer_packages[@]}" "${tool_packages[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cpus=$(nproc)
if [[ -z "$cpu" ]]; then
    cpu=$((cpus - 1)) # the last core: the one least likely to take interrupts
fi
pin=()
command -v taskset >/dev/null && pin=(taskset -c "$cpu")

{
    echo "date $(date -u '+%Y-%m-%d %H:%M UTC')"
    if commit=$(git -C "$source_dir" rev-parse --short HEAD 2>/dev/null); then
        git -C "$source_dir" diff --quiet HEAD 2>/dev/null || commit+=" with uncommitted changes"
        echo "commit $commit"
    fi
    echo "cpu $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)"
    echo "cores $cpus"
    echo "kernel $(uname -r)"
    echo "glibc $(ldd --version 2>/dev/null | head -1 | awk '{print $NF}')"
    compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
    echo "compiler $("${compiler:-c++}" --version | head -1)"
    echo "flags $(sed -n 's/^CMAKE_CXX_FLAGS:[A-Z]*=//p' "$build_dir/CMakeCache.txt")" \
         "$(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
    echo "load_before $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "processes $processes"
    echo "repetitions $repetitions"
    echo "min_time $min_time"
    echo "pinned_cpu $cpu"
} > "$work/machine.txt"

for ((i = 1; i <= processes; ++i)); do
    echo "== single-thread rows, process $i of $processes (pinned to cpu $cpu)"
    "${pin[@]}" "$bench_bin/allocator_benchmarks" \
        --benchmark_filter='-^(threads|cross)/' \
        --benchmark_repetitions="$repetitions" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time="$min_time" \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$work/single-$i.json" --benchmark_out_format=json > /dev/null
    echo "== batch rows with glibc's heap trimming off, process $i of $processes"
    GLIBC_TUNABLES=glibc.malloc.trim_threshold=1073741824 \
        "${pin[@]}" "$bench_bin/allocator_benchmarks" \
        --benchmark_filter='^batch-' \
        --benchmark_repetitions="$repetitions" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time="$min_time" \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$work/notrim-$i.json" --benchmark_out_format=json > /dev/null
    echo "== thread rows, process $i of $processes (unpinned)"
    "$bench_bin/allocator_benchmarks" \
        --benchmark_filter='^(threads|cross)/' \
        --benchmark_repetitions="$repetitions" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_min_time="$min_time" \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$work/threads-$i.json" --benchmark_out_format=json > /dev/null
done

: > "$work/instructions.txt"
if command -v valgrind >/dev/null; then
    echo "== instruction counts (callgrind)"
    count() {
        valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
            "$bench_bin/instruction_counts" "$1" "$2" > /dev/null 2>&1
        sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$work/callgrind.out" | head -1
    }
    for shape in floor glibc accounting steady pingpong root depth8 batch-1k glibc-batch-1k \
                 large-4k glibc-large-4k; do
        pairs=100000
        [[ $shape == *batch* ]] && pairs=20000
        once=$(count "$shape" "$pairs")
        twice=$(count "$shape" $((2 * pairs)))
        echo "$shape $(((twice - once) / pairs))" >> "$work/instructions.txt"
    done
fi

echo "== memory for one million 64-byte blocks"
: > "$work/memory.txt"
for heap in glibc dideverazez malloc+accounting pmr-unsync-pool pmr-sync-pool \
            jemalloc mimalloc tcmalloc talloc; do
    "$bench_bin/memory_footprint" "$heap" >> "$work/memory.txt" || true
done

echo "== building and destroying handles, plainly and recorded"
handle_rows=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true
             --benchmark_format=json)
"$bench_bin/handle_benchmarks" "${handle_rows[@]}" > "$work/handles-plain.json"
DIDEVERAZEZ_REPORT="$work/handles-snapshot.json" \
    "$bench_bin/handle_benchmarks" "${handle_rows[@]}" > "$work/handles-recorded.json"

preload="$build_dir/preload/libdideverazez_preload.so"
if [[ -f $preload ]]; then
    echo "== real programs through the preload library"
    "$here/programs.sh" "$preload" --runs "$processes" --stress "$bench_bin/stress_programs" \
        --out "$work/programs.txt"
    echo "== servers through the preload library"
    "$here/servers.sh" "$preload" --runs "$processes" --out "$work/servers.txt"
    echo "== thread churn through the preload library"
    "$here/churn.sh" "$preload" "$bench_bin/thread_churn" --runs "$processes" \
        --out "$work/churn.txt"
    echo "== threads sharing a handle, and blocks freed by other threads"
    "$here/sharing.sh" "$build_dir" --processes "$processes" --out "$work/sharing.md"
    echo "== call-site sampling: batch rows and programs, off, at 512 KiB and at every allocation"
    "$here/sampling.sh" "$build_dir" --runs "$processes" --out "$work/sampling.txt"
fi

if [[ -x $build_dir/cli/dideverazez-report ]]; then
    echo "== dideverazez-report at scale: a 200 MB series, a 200 MB sampled one, a 250 MB snapshot"
    scale_preload=()
    [[ ! -f $preload ]] || scale_preload=(--preload "$preload")
    "$here/report_scale.sh" "$build_dir/cli/dideverazez-report" --runs "$processes" \
        "${scale_preload[@]}" --work "$work/report-scale" --out "$work/scale.txt"
fi

echo "load_after $(cut -d' ' -f1-3 /proc/loadavg)" >> "$work/machine.txt"

echo "== writing docs/performance.md"
python3 "$here/report.py" --work "$work" --docs "$source_dir/docs"
