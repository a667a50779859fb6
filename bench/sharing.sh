#!/usr/bin/env bash
# Threads sharing a tree and blocks freed by other threads: the section
# "Threads sharing a handle" of docs/performance.md, in Markdown, to FILE
# (default: standard output), which bench/report.py puts into the report.
#
#   bench/sharing.sh BUILD_DIR [--processes N] [--baseline LIBDIR] [--out FILE]
#
# BUILD_DIR is a bench build (bench/sharing_benchmarks, bench/handoff_program,
# preload/libdideverazez_preload.so). Each of N processes (5 by default) runs
# every row of sharing_benchmarks once; a row's figure is its ratio to the
# reference of the same process (the shared mutex's floor for the shared/
# rows, glibc's row of the same shape for the handoff/ rows), and the table
# gives the median over processes. With --baseline, every process is run a
# second time with the library of LIBDIR (LD_LIBRARY_PATH), processes of the
# two alternating, for a before and after in one run. Then handoff_program
# runs each shape plainly (glibc), through the preload library and over
# jemalloc and mimalloc (LD_PRELOAD, where installed), and with --baseline
# through the preload library over LIBDIR's library too, the heaps taking
# turns, N runs each; the table gives median wall times and ratios to glibc.
set -euo pipefail
build=$(realpath "$1")
shift
processes=5 baseline="" out=/dev/stdout
while (($#)); do
    case $1 in
    --processes) processes=$2; shift 2 ;;
    --baseline) baseline=$(realpath "$2"); shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "sharing.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
benchmarks=$build/bench/sharing_benchmarks
program=$build/bench/handoff_program
preload=$build/preload/libdideverazez_preload.so
for file in "$benchmarks" "$program" "$preload"; do
    [[ -e $file ]] || { echo "sharing.sh: $file is missing (build the bench preset)" >&2; exit 1; }
done
load_before=$(cut -d' ' -f1 /proc/loadavg)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for ((run = 1; run <= processes; ++run)); do
    for version in after ${baseline:+before}; do
        library=""
        [[ $version == before ]] && library=$baseline
        LD_LIBRARY_PATH=$library "$benchmarks" --benchmark_min_time=0.2 --benchmark_format=csv \
            2>/dev/null | grep -v '^name' | sed "s/^/$version,$run,/" >>"$work/rows.csv"
    done
done

declare -A heaps=([glibc]="" [preload]="$preload")
for peer in jemalloc mimalloc; do
    for file in /usr/lib/x86_64-linux-gnu/lib$peer.so.2; do
        [[ -e $file ]] && heaps[$peer]=$file
    done
done
declare -A items=([pc]=2000000 [2x2]=2000000 [pool4]=300000)
for ((run = 1; run <= processes; ++run)); do
    for shape in pc 2x2 pool4; do
        for heap in "${!heaps[@]}" ${baseline:+preload-before}; do
            library="" file=${heaps[$heap]:-$preload}
            [[ $heap == preload-before ]] && library=$baseline
            ms=$(env LD_LIBRARY_PATH="$library" LD_PRELOAD="$file" "$program" "$shape" \
                "${items[$shape]}" 2>&1 >/dev/null | awk '/^elapsed ms/ {print $3}')
            echo "$shape,$heap,$run,$ms" >>"$work/programs.csv"
        done
    done
done

python3 - "$work" "$processes" "${baseline:+yes}" "$(dirname "$0")" "$load_before" >"$out" <<'PY'
import collections, csv, statistics, subprocess, sys, time
work, processes, with_baseline = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "yes"
source, load_before = sys.argv[4], sys.argv[5]
times, switches = {}, {}
for row in csv.reader(open(work + "/rows.csv")):
    version, run, name = row[0], row[1], row[2].replace("/real_time", "")
    times[(version, run, name)] = float(row[4])
    switches[(version, run, name)] = float(row[-1]) if row[-1] else 0.0
ratios = collections.defaultdict(list)
for (version, run, name), real in times.items():
    if name.startswith("shared/") and not name.startswith("shared/floor"):
        ref = times.get((version, run, "shared/floor/threads:2"))
    elif name.startswith("handoff/") and not name.startswith("handoff/glibc/"):
        ref = times.get((version, run, "handoff/glibc/" + name.split("/", 2)[2]))
    else:
        continue
    if ref:
        ratios[(version, name)].append(real / ref)
def ratio(version, name):
    r = ratios.get((version, name))
    return statistics.median(r) if r else None
def cell(x, fmt="%.2fx"):
    return fmt % x if x is not None else "—"
def sleeps(version, name):
    r = [v for (ver, run, n), v in switches.items() if ver == version and n == name]
    return statistics.median(r) if r else None
versions = ["before", "after"] if with_baseline else ["after"]
commit = subprocess.run(["git", "-C", source, "rev-parse", "--short", "HEAD"],
                        capture_output=True, text=True).stdout.strip() or "unknown"
w = print
w("## Threads sharing a handle")
w("")
w("Measured %s UTC at %s by `bench/sharing.sh` (%d processes%s); load average %s "
  "before." % (
    time.strftime("%Y-%m-%d %H:%M", time.gmtime()), commit, processes,
    ", each run again with the library before the change, alternating" if with_baseline else "",
    load_before))
w("Rows of `bench/sharing_benchmarks`, thread i pinned to processor i modulo 2, so that two "
  "threads always run on two cores. A figure is the median over processes of the row's "
  "time over its reference in the same process: the shared mutex's floor (two threads "
  "locking and unlocking one `std::mutex` twice each per iteration) for the threads on one "
  "tree, glibc's row of the same shape for the blocks handed between threads. *sleeps*: "
  "voluntary context switches per pair of a thread (getrusage), a thread that found a lock "
  "held and slept on it.")
w("")
w("| two threads, 64-byte pairs, x the shared-mutex floor | " +
  " | ".join(versions) + " | sleeps per pair, " + " / ".join(versions) + " |")
w("|---|" + "---:|" * (len(versions) + 1))
for name, label in (("shared/own-children/64/threads:2", "each on a child of its own of one root, 100 live each"),
                    ("shared/one-child/64/threads:2", "both on one child, 100 live each"),
                    ("shared/one-child-pingpong/64/threads:2", "both on one child, nothing else live")):
    w("| %s | %s | %s |" % (label, " | ".join(cell(ratio(v, name)) for v in versions),
                            " / ".join(cell(sleeps(v, name), "%.5f") for v in versions)))
floor = [t for (v, r, n), t in times.items() if v == "after" and n == "shared/floor/threads:2"]
w("")
w("The floor itself: %.1f ns a thread's iteration (median)." % statistics.median(floor))
w("")
heaps = [h for h in ("floor", "dideverazez", "jemalloc", "mimalloc")
         if any(k[1].startswith("handoff/%s/" % h) for k in ratios)]
# This library's handoff rows against their floor, the maker's lock alone.
over_floor = collections.defaultdict(list)
for (version, run, name), real in times.items():
    if name.startswith("handoff/dideverazez/"):
        ref = times.get((version, run, name.replace("/dideverazez/", "/floor/")))
        if ref:
            over_floor[(version, name)].append(real / ref)
shapes = (("producer-consumer/threads:2", "one producer, one consumer"),
          ("2x2/threads:4", "two producers, two consumers"),
          ("pool4/threads:4", "four workers handing requests on"))
w("Blocks freed by another thread than their maker's, x glibc's time in the same process "
  "(this library: each thread allocates through a tree of its own, as the preload library "
  "serves threads, and frees through none; *floor*: no heap, only the maker's lock taken "
  "once to make a block and once to free it, what the tree lock alone costs in the shape; "
  "the last column is this library's time over the floor's):")
w("")
cols = (["dideverazez before"] if with_baseline else []) + heaps + ["dideverazez x floor"]
w("| shape | " + " | ".join(cols) + " |")
w("|---|" + "---:|" * len(cols))
for name, label in shapes:
    full = "handoff/dideverazez/" + name
    cells = ([cell(ratio("before", full))] if with_baseline else []) + \
            [cell(ratio("after", "handoff/%s/%s" % (h, name))) for h in heaps] + \
            [cell(statistics.median(over_floor[("after", full)])
                  if over_floor.get(("after", full)) else None)]
    w("| %s | %s |" % (label, " | ".join(cells)))
w("")
ms = collections.defaultdict(list)
for shape, heap, run, value in csv.reader(open(work + "/programs.csv")):
    if value:
        ms[(shape, heap)].append(float(value))
programs = [h for h in ("glibc", "preload-before", "preload", "jemalloc", "mimalloc")
            if any(k[1] == h for k in ms)]
w("The same shapes as a program, `bench/handoff_program` (plain `malloc` and `free`), run "
  "plainly, through the preload library (one handle a thread)%s and over jemalloc and "
  "mimalloc with `LD_PRELOAD`; median wall time of %d runs, the heaps taking turns, and x "
  "glibc's:" % (" before and after the change" if with_baseline else "", processes))
w("")
w("| program | " + " | ".join(programs) + " |")
w("|---|" + "---:|" * len(programs))
program_ratio = {}
for shape in ("pc", "2x2", "pool4"):
    base = statistics.median(ms[(shape, "glibc")])
    cells = []
    for h in programs:
        m = statistics.median(ms[(shape, h)])
        program_ratio[(shape, h)] = m / base
        cells.append("%.0f ms (%.2fx)" % (m, m / base))
    w("| %s | %s |" % (shape, " | ".join(cells)))
w("")
def goal(label, value, limit, met):
    w("| %s | %s | %s | %s |" % (label, cell(value), limit, "**met**" if met else "**missed**"))
w("| goal | measured | limit | |")
w("|---|---:|---:|---|")
for name, label in (("shared/one-child-pingpong/64/threads:2", "one child, ping-pong, x floor"),
                    ("shared/one-child/64/threads:2", "one child, steady, x floor")):
    value = ratio("after", name)
    goal(label, value, "2.00x", value is not None and value <= 2.0)
if with_baseline:
    own = "shared/own-children/64/threads:2"
    value, before = ratio("after", own), ratio("before", own)
    goal("own children, x floor, no more than before (%s)" % cell(before), value,
         cell(before), value is not None and before is not None and value <= before)
for name, label in (("producer-consumer/threads:2", "producer and consumer, x glibc"),
                    ("pool4/threads:4", "four-worker pool, x glibc")):
    value = ratio("after", "handoff/dideverazez/" + name)
    goal(label, value, "1.50x", value is not None and value <= 1.5)
for shape, label in (("pc", "producer and consumer through the preload, x glibc"),
                     ("pool4", "four-worker pool through the preload, x glibc")):
    value = program_ratio.get((shape, "preload"))
    goal(label, value, "1.50x", value is not None and value <= 1.5)
w("")
PY
