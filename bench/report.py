#!/usr/bin/env python3
"""Writes docs/performance.md and docs/performance.png from the results that
bench/run.sh gathered in its work folder:

  single-<i>.json, threads-<i>.json  Google Benchmark output, one per process
                                      (aggregates only: the median over the
                                      repetitions of each row)
  instructions.txt                    "<shape> <instructions per pair>"
  memory.txt                          "<heap> <bytes>" or "<heap> missing"
  machine.txt                         "<key> <value>" lines
  programs.txt                        bench/programs.sh: "<program> <heap> <run>
                                      <seconds> <peak KiB>", heap glibc, thread
                                      or library
  handles-plain.json, handles-recorded.json
                                      bench/handle_benchmarks plainly and with
                                      DIDEVERAZEZ_REPORT set
  servers.txt                         bench/servers.sh: "<shape> <heap> <run>
                                      <command> <requests per second> <peak KiB>",
                                      heap plain (the server's own heap), thread
                                      or library
  churn.txt                           bench/churn.sh: "<shape> <heap> <run>
                                      <seconds> <peak KiB> <snapshot bytes>",
                                      heap glibc, thread or library

  sampling.txt                        bench/sampling.sh: "rows <setting> <run>
                                      <row> <ns>" and "program <name> <setting>
                                      <run> <seconds> <peak KiB>", setting off,
                                      524288 or 1 (DIDEVERAZEZ_SAMPLE_BYTES),
                                      glibc or heaptrack
  scale.txt                           bench/report_scale.sh: "<input> <command>
                                      <run> <seconds> <peak KiB> <page bytes>",
                                      command summary, html or html-baseline;
                                      "# input <name> <bytes> <snapshots>" and
                                      "# baseline: <what it is>"
  sharing.md                          bench/sharing.sh: the section on threads
                                      sharing a handle, whole, in Markdown

With --only servers it reads servers.txt alone and rewrites, in the
docs/performance.md that is there, the servers' section and their rows of the
goals, leaving the rest as it was measured (--commit names what was measured);
--only churn does the same with churn.txt and the thread churn's section,
--only sampling with sampling.txt and the call-site sampling's section,
--only scale with scale.txt and the section of dideverazez-report at scale,
--only sharing with sharing.md and the section on threads sharing a handle.

Each ratio is taken within one process (both figures from the same run), and
the report quotes the median over processes of figures and ratios alike.
"""

import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys

OURS = "dideverazez"
SMALL = [16, 64, 256, 1024]
LARGE = [4096, 65536]
# Heaps in the order of the tables and the chart.
HEAPS = [
    ("glibc", "glibc malloc+free"),
    (OURS, "dideverazez, child handle"),
    (OURS + "-root", "dideverazez, root handle"),
    (OURS + "-depth8", "dideverazez, depth-8 handle"),
    ("malloc+accounting", "malloc + mutex accounting"),
    ("talloc", "talloc child context"),
    ("pmr-unsync-pool", "std::pmr::unsynchronized_pool_resource"),
    ("pmr-sync-pool", "std::pmr::synchronized_pool_resource"),
    ("jemalloc", "jemalloc"),
    ("mimalloc", "mimalloc"),
    ("tcmalloc", "tcmalloc"),
]
# Columns of the timing tables: (row name pattern, heading, glibc row to divide by).
COLUMNS = (
    [("pair/{h}/%d" % s, "pair %d B" % s, "pair/glibc/%d" % s) for s in SMALL]
    + [("pingpong/{h}/64", "ping-pong 64 B", "pingpong/glibc/64"),
       ("batch-1k/{h}", "batch 1..1024 B", "batch-1k/glibc"),
       ("batch-64k/{h}", "batch 1..64 KiB", "batch-64k/glibc")]
    + [("large/{h}/%d" % s, "large %d KiB" % (s // 1024), "large/glibc/%d" % s) for s in LARGE]
)
FLOOR = "floor/2-mutex-pairs"


def load_process(path):
    """Per row of one process: ns per alloc+free pair (per thread for the
    thread rows), from the median over its repetitions."""
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type") != "aggregate" or b.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        threads = int(b.get("threads", 1))
        # The counter is summed over threads: pairs of one thread's iteration.
        pairs = float(b.get("pairs", threads)) / threads or 1.0
        # For several threads Google Benchmark reports the time of one
        # iteration of all threads together; one thread saw `threads` times it.
        rows[b["run_name"]] = b["real_time"] * scale * threads / pairs
    return rows


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def across(processes, name):
    return median([p.get(name) for p in processes])


def ratio_across(processes, name, reference):
    return median([p[name] / p[reference] for p in processes
                   if name in p and reference in p and p[reference] > 0])


def read_pairs(path):
    result = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split(None, 1)
                if len(parts) == 2:
                    result[parts[0]] = parts[1].strip()
    return result


PROGRAM_HEAPS = [("thread", "one handle a thread"), ("library", "one handle a shared object")]


def load_programs(path):
    """{program: {heap: {run: (seconds, peak KiB)}}} from bench/programs.sh."""
    runs = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 5:
                    program, heap, run, seconds, peak = parts
                    runs.setdefault(program, {}).setdefault(heap, {})[run] = (float(seconds), int(peak))
    return runs


def program_ratios(runs, heap, field, base="glibc"):
    """Median over runs of heap / base, each ratio within one round of runs."""
    glibc, other = runs.get(base, {}), runs.get(heap, {})
    return median([other[r][field] / glibc[r][field] for r in other
                   if r in glibc and other[r][field] is not None
                   and glibc[r][field] is not None and glibc[r][field] > 0])


# The loads of bench/servers.sh, in the order of the table: (shape, label,
# description). A server's plain run is on its own heap, which the label names.
SERVER_SHAPES = [
    ("memcached", "memcached (glibc)",
     "`memcached -t 4 -m 1024`; `memcaslap -T 2 -c 32 -x 400000`: 2 client threads, 32 "
     "connections, its default load (64-byte keys, 1 KiB values, 9 gets to 1 set), "
     "400,000 requests. Plainly on glibc's heap"),
    ("redis-small", "redis (jemalloc), default shape",
     "`redis-server --save '' --appendonly no`; `redis-benchmark -n 50000` of each command: "
     "50 connections, one key, 3-byte values. Debian's redis-server links its jemalloc 5.3 "
     "(libjemalloc2), which defines `malloc` itself: plainly, redis runs on jemalloc, not "
     "glibc, and its rows compare the preload with jemalloc"),
    ("redis-data", "redis (jemalloc), 100,000 keys of 1 KiB",
     "the same with `-r 100000 -d 1024`: random keys among 100,000 and 1 KiB values, so that "
     "the server holds over 100 MiB of strings, a list and a hash"),
]
SERVER_BASE = "plain"


def load_servers(path):
    """{shape: {command: {heap: {run: (requests per second, peak KiB)}}}} from
    bench/servers.sh, commands in the order they were run."""
    shapes = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 6:
                    shape, heap, run, command, rate, peak = parts
                    shapes.setdefault(shape, {}).setdefault(command, {}).setdefault(heap, {})[run] = (
                        float(rate), int(peak))
    return shapes


def server_ratio(runs, heap, field):
    return program_ratios(runs, heap, field, SERVER_BASE)


def load_ratio(commands, heap):
    """One load's throughput x the plain run's: in each round the geometric
    mean over its commands of heap / plain, then the median over rounds. A
    single command runs a second or two, which a busy machine's swings reach;
    the commands of one round together run long enough to compare."""
    base = [runs.get(SERVER_BASE, {}) for runs in commands.values()]
    other = [runs.get(heap, {}) for runs in commands.values()]
    rounds = set.intersection(*[set(b) & set(o) for b, o in zip(base, other)]) if base else set()
    return median([geometric_mean([o[r][0] / b[r][0] for b, o in zip(base, other) if b[r][0] > 0])
                   for r in rounds])


def servers_section(servers, commit, date, load=None):
    """The lines of the servers' section of docs/performance.md."""
    out = []
    w = out.append
    rounds = max((len(runs) for commands in servers.values() for heaps in commands.values()
                  for runs in heaps.values()), default=0)
    w("## Servers through the preload library")
    w("")
    w("Debian's memcached and redis-server, unchanged, run plainly (on their own heap) and "
      "with `LD_PRELOAD=libdideverazez_preload.so` in both modes (`bench/servers.sh`), each "
      "on a local port of its own and loaded by its own load tool on the same machine, so "
      "that client and server share its cores. Throughput is the requests per second the "
      "load tool reports; the peak is the server's resident set (`%%M` of `/usr/bin/time`) "
      "over the whole run, the same for every command of one server run. A fixed number of "
      "requests, not a fixed time, so that every heap ends with the same data. The three "
      "take turns, run after run; a ratio is taken within one round, and the table quotes "
      "the median over %d rounds; a load's commands together: in each round the geometric "
      "mean over its commands, then the median over rounds." % rounds)
    if commit:
        w("")
        w("Measured at commit `%s`%s%s." % (commit, (", " + date) if date else "",
                                           ("; load average %s" % load) if load else ""))
    w("")
    for shape, label, description in SERVER_SHAPES:
        if shape in servers:
            w("- *%s*: %s." % (label, description))
    w("")
    w("| server (plain heap), command | plain requests/s | by thread x plain "
      "| by library x plain | plain peak MiB | by thread x plain | by library x plain |")
    w("|---|---:|---:|---:|---:|---:|---:|")
    for shape, label, _ in SERVER_SHAPES:
        commands = servers.get(shape, {})
        for i, (command, runs) in enumerate(commands.items()):
            base = runs.get(SERVER_BASE, {}).values()
            peak_cells = ["", "", ""]
            if i == 0:
                peak_cells = ["%.1f" % ((median([m for _, m in base]) or 0) / 1024.0),
                              fmt_ratio(server_ratio(runs, "thread", 1)),
                              fmt_ratio(server_ratio(runs, "library", 1))]
            w("| %s, %s | %.0f | %s | %s | %s |" % (
                label, command, median([r for r, _ in base]) or 0.0,
                fmt_ratio(server_ratio(runs, "thread", 0)),
                fmt_ratio(server_ratio(runs, "library", 0)), " | ".join(peak_cells)))
        if len(commands) > 1:
            w("| %s, its %d commands together | | %s | %s | | | |" % (
                label, len(commands), fmt_ratio(load_ratio(commands, "thread")),
                fmt_ratio(load_ratio(commands, "library"))))
    rows = [runs for commands in servers.values() for runs in commands.values()]
    firsts = [next(iter(commands.values())) for commands in servers.values() if commands]
    w("| geometric mean | | %s | %s | | %s | %s |" % (
        fmt_ratio(geometric_mean([server_ratio(r, "thread", 0) for r in rows])),
        fmt_ratio(geometric_mean([server_ratio(r, "library", 0) for r in rows])),
        fmt_ratio(geometric_mean([server_ratio(r, "thread", 1) for r in firsts])),
        fmt_ratio(geometric_mean([server_ratio(r, "library", 1) for r in firsts]))))
    w("")
    return out


def servers_goal_rows(servers):
    """The servers' rows of the goals table: each load's throughput at least
    0.9 x the plain run's, each server's peak at most 1.3 x the plain run's."""
    out = []
    rows = [runs for commands in servers.values() for runs in commands.values()]
    for heap, label in PROGRAM_HEAPS:
        loads = [load_ratio(commands, heap) for commands in servers.values()]
        lowest = min((v for v in loads if v is not None), default=None)
        single = min((v for v in (server_ratio(r, heap, 0) for r in rows) if v is not None),
                     default=None)
        highest = max((v for v in (server_ratio(r, heap, 1) for r in rows) if v is not None),
                      default=None)
        out.append("| servers, %s: throughput x plain, lowest load (its commands together) "
                   "| %s | at least 0.90 | %s |" % (label, fmt_ratio(lowest),
                                                   verdict(lowest, 0.9, at_most=False)))
        out.append("| (servers, %s: throughput x plain, lowest single command) | %s | | |"
                   % (label, fmt_ratio(single)))
        out.append("| servers, %s: peak memory x plain, highest | %s | 1.30 | %s |"
                   % (label, fmt_ratio(highest), verdict(highest, 1.3)))
    return out


def splice_servers(path, servers, commit, date, load):
    """Rewrites the servers' section and goal rows of an existing report."""
    with open(path) as f:
        lines = f.read().split("\n")
    # The section goes where the full report puts it: after the real programs,
    # or else before the batch rows without trimming or the memory table.
    if "## Servers through the preload library" in lines:
        start = lines.index("## Servers through the preload library")
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        del lines[start:end]
    at = None
    if "## Real programs through the preload library" in lines:
        start = lines.index("## Real programs through the preload library")
        at = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                  len(lines))
    else:
        at = next((i for i, line in enumerate(lines)
                   if line in ("## Batch rows with glibc's heap trimming off",
                               "## Memory for one million 64-byte blocks")), len(lines))
    lines[at:at] = servers_section(servers, commit, date, load)
    # Goal rows: before the thread churn's or the memory row, where the full
    # report writes them.
    lines = [line for line in lines
             if not line.startswith("| servers, ") and not line.startswith("| (servers, ")]
    at = next((i for i, line in enumerate(lines)
               if line.startswith("| churn, ") or line.startswith("| memory for 10^6 blocks")),
              None)
    if at is None:
        sys.exit("report.py: %s has no goals table to add the servers' rows to" % path)
    lines[at:at] = servers_goal_rows(servers)
    with open(path, "w") as f:
        f.write("\n".join(lines))


# The shapes of bench/churn.sh, in the order of the table: (shape, label,
# thread_churn's arguments THREADS ALIVE BYTES [LEAK [KEPT]], description).
CHURN_SHAPES = [
    ("steady", "steady", "20000 50 1048576",
     "each thread allocates and frees about 1 MiB in blocks of 16-512 bytes, keeping the "
     "last 64 (the shape of the goals)"),
    ("kept", "kept", "20000 50 262144 0 0",
     "each keeps all of its 256 KiB until it ends, then frees them"),
    ("leaking", "leaking", "20000 50 65536 64",
     "64 KiB made and freed as in steady, and 64 bytes of each thread never freed"),
    ("threads", "threads only", "20000 50 0", "the threads alone, no blocks"),
    ("one", "one thread", "1 1 17179869184",
     "no churn: one thread making 16 GiB in blocks of 16-512 bytes, about 65 million "
     "malloc+free pairs, what one pair costs"),
]
CHURN_GOAL = "steady"
# A block of the churn is 16 + (a draw modulo 497) bytes: 264 on average, so
# a thread that makes BYTES makes about BYTES / 264 malloc+free pairs.
CHURN_MEAN_BLOCK = 264.0


def load_churn(path):
    """{shape: {heap: {run: (seconds, peak KiB, snapshot bytes)}}} from
    bench/churn.sh."""
    shapes = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 6:
                    shape, heap, run, seconds, peak, snapshot = parts
                    shapes.setdefault(shape, {}).setdefault(heap, {})[run] = (
                        float(seconds), int(peak), int(snapshot))
    return shapes


def churn_median(runs, heap, field):
    return median([v[field] for v in runs.get(heap, {}).values()])


def churn_pairs(shape):
    """About how many malloc+free pairs one run of the shape makes."""
    arguments = next(a for s, _, a, _ in CHURN_SHAPES if s == shape).split()
    return int(arguments[0]) * int(arguments[2]) / CHURN_MEAN_BLOCK


def churn_goals(churn):
    """The steady shape by thread against its goals: (peak MiB, bound MiB,
    highest snapshot bytes, time x glibc), None where not measured."""
    runs = churn.get(CHURN_GOAL, {})
    glibc, peak = churn_median(runs, "glibc", 1), churn_median(runs, "thread", 1)
    bound = glibc * 1.5 / 1024.0 + 4.0 if glibc is not None else None
    snapshot = max((v[2] for v in runs.get("thread", {}).values()), default=None)
    return (peak / 1024.0 if peak is not None else None, bound, snapshot,
            program_ratios(runs, "thread", 0))


def churn_section(churn, commit, date, load=None, cores=None):
    """The lines of the thread churn's section of docs/performance.md."""
    out = []
    w = out.append
    rounds = max((len(r) for heaps in churn.values() for r in heaps.values()), default=0)
    w("## Thread churn through the preload library")
    w("")
    w("`tests/preload/thread_churn` (`THREADS ALIVE BYTES [LEAK [KEPT]]`) run plainly "
      "(glibc's heap) and with `LD_PRELOAD=libdideverazez_preload.so` in both modes "
      "(`bench/churn.sh`): 20,000 short-lived threads, 50 alive at a time, the shape that "
      "makes a heap with per-thread state keep the state of every thread ever made. The "
      "preload runs write their snapshot at exit (`DIDEVERAZEZ_REPORT`), whose size the table "
      "gives. Wall time is `%%e` and the peak `%%M` of `/usr/bin/time`, which measures the "
      "program alone (it runs `env`, which sets `LD_PRELOAD` and executes the program). "
      "Every run's output is checked against the plain run's. The three take turns, run "
      "after run; a ratio is taken within one round, and the table quotes the median over "
      "%d rounds of figures and ratios." % rounds)
    if commit:
        w("")
        w("Measured at commit `%s`%s%s%s." % (
            commit, (", " + date) if date else "", ("; load average %s" % load) if load else "",
            " (the load after counts the benchmark's own threads)" if load else ""))
    w("")
    for shape, label, arguments, description in CHURN_SHAPES:
        if shape in churn:
            w("- *%s*: `%s`: %s." % (label, arguments, description))
    w("")
    w("| shape | glibc s | by thread x glibc | by library x glibc | glibc peak MiB "
      "| by thread x glibc | by library x glibc | snapshot KiB, by thread "
      "| snapshot KiB, by library |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for shape, label, _, _ in CHURN_SHAPES:
        runs = churn.get(shape)
        if not runs:
            continue
        snapshots = [churn_median(runs, h, 2) for h in ("thread", "library")]
        w("| %s | %.2f | %s | %s | %.1f | %s | %s | %s | %s |" % (
            label, churn_median(runs, "glibc", 0) or 0.0,
            fmt_ratio(program_ratios(runs, "thread", 0)),
            fmt_ratio(program_ratios(runs, "library", 0)),
            (churn_median(runs, "glibc", 1) or 0) / 1024.0,
            fmt_ratio(program_ratios(runs, "thread", 1)),
            fmt_ratio(program_ratios(runs, "library", 1)),
            *["—" if v is None else "%.1f" % (v / 1024.0) for v in snapshots]))
    w("")
    peak, bound, snapshot, time = churn_goals(churn)
    if peak is not None and bound is not None:
        w("Steady, one handle a thread: a peak of %.1f MiB against a bound of %.1f MiB "
          "(1.5 x glibc's %.1f MiB + 4 MiB), a snapshot of at most %.1f KiB (under 1 MiB), "
          "and %s x glibc's time (at most 1.30): the goals' rows." % (
              peak, bound, (bound - 4.0) / 1.5, (snapshot or 0) / 1024.0, fmt_ratio(time)))
        w("")
    cores = cores or os.cpu_count() or 1
    one, steady = churn.get("one"), churn.get(CHURN_GOAL)
    if one and steady:
        # glibc's figure times the ratio within a round, as in the table, so
        # that a round the machine ran slow on does not decide the preload's.
        pair = {"glibc": (churn_median(one, "glibc", 0) or 0) / churn_pairs("one") * 1e9}
        for heap in ("thread", "library"):
            pair[heap] = pair["glibc"] * (program_ratios(one, heap, 0) or 0)
        extra = (pair["thread"] - pair["glibc"]) * 1e-9 * churn_pairs(CHURN_GOAL)
        measured = (churn_median(steady, "glibc", 0) or 0) * ((time or 1.0) - 1.0)
        w("Where steady's time goes. In one thread's loop (*one thread*: its time over its "
          "about %.0f million pairs, the loop's own work and the process's start included; "
          "glibc's median time, the preload's through the ratios of the table), a "
          "malloc+free pair costs %.1f ns on glibc, which serves it from the thread's cache "
          "without a lock, against %.1f ns through the preload by thread and %.1f ns by "
          "library: every call takes its tree's lock and updates the page and the figures "
          "exactly, which is what the library is for. Steady makes about %.0f million pairs; "
          "%.1f ns more a pair is %.1f s more work, %.1f s on %d cores, against %.2f s more "
          "measured." % (
              churn_pairs("one") / 1e6, pair["glibc"], pair["thread"], pair["library"],
              churn_pairs(CHURN_GOAL) / 1e6, pair["thread"] - pair["glibc"], extra,
              extra / cores, cores, measured))
        threads = churn.get("threads")
        if time is not None and time > 1.3 and threads:
            more = (churn_median(threads, "glibc", 0) or 0) * (
                (program_ratios(threads, "thread", 0) or 1.0) - 1.0)
            made = int(next(a for s, _, a, _ in CHURN_SHAPES if s == "threads").split()[0])
            w("")
            w("The time goal is missed, and the pairs are the reason, not the churn: the threads "
              "made and ended without blocks (*threads only*) take %.2f s more by thread than "
              "on glibc, %.0f µs a thread." % (more, more / made * 1e6))
        w("")
        library = program_ratios(steady, "library", 0)
        if library is not None:
            w("By library, all threads share the program's one handle, so its one tree and "
              "its lock: on steady, 50 threads on %d cores take that one lock for every call. "
              "One after the other at one thread's %.1f ns a pair, steady's pairs would take "
              "%.1f s; they take %s x glibc's time, %.1f s, the rest being the contention "
              "(a thread that finds the lock taken sleeps in the kernel and is woken, a system "
              "call on each side, and the lock's and the figures' cache lines move between the "
              "cores). How much of it there is "
              "depends on how the machine schedules the waiting threads, and swings from run "
              "to run: %.1f to %.1f s over these rounds. A program that churns threads which "
              "allocate is served best one handle a thread." % (
                  cores, pair["library"], pair["library"] * 1e-9 * churn_pairs(CHURN_GOAL),
                  fmt_ratio(library), churn_median(steady, "library", 0) or 0.0,
                  min(v[0] for v in steady["library"].values()),
                  max(v[0] for v in steady["library"].values())))
            w("")
    return out


def churn_goal_rows(churn):
    """The thread churn's rows of the goals table, steady by thread: the peak
    at most 1.5 x glibc's + 4 MiB, the snapshot at exit under 1 MiB, the time
    at most 1.3 x glibc's."""
    peak, bound, snapshot, time = churn_goals(churn)
    return [
        "| churn, steady, one handle a thread: peak MiB, at most 1.5 x glibc's + 4 MiB "
        "| %s | %s | %s |" % ("—" if peak is None else "%.1f" % peak,
                               "—" if bound is None else "%.1f" % bound,
                               verdict(peak, bound) if bound is not None else "not measured"),
        # Under 1 MiB: at most one byte less.
        "| churn, steady, one handle a thread: snapshot at exit, KiB, largest | %s | under 1024 "
        "| %s |" % ("—" if snapshot is None else "%.1f" % (snapshot / 1024.0),
                    verdict(snapshot, 1048576 - 1)),
        "| churn, steady, one handle a thread: time x glibc | %s | 1.30 | %s |"
        % (fmt_ratio(time), verdict(time, 1.3)),
    ]


def splice_churn(path, churn, commit, date, load, cores):
    """Rewrites the thread churn's section and goal rows of an existing report."""
    with open(path) as f:
        lines = f.read().split("\n")
    title = "## Thread churn through the preload library"
    if title in lines:
        start = lines.index(title)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        del lines[start:end]
    # The section goes where the full report puts it: after the servers, or
    # else after the real programs, or else before the batch rows without
    # trimming or the memory table.
    at = None
    for before in ("## Servers through the preload library",
                   "## Real programs through the preload library"):
        if before in lines:
            start = lines.index(before)
            at = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                      len(lines))
            break
    if at is None:
        at = next((i for i, line in enumerate(lines)
                   if line in ("## Batch rows with glibc's heap trimming off",
                               "## Memory for one million 64-byte blocks")), len(lines))
    lines[at:at] = churn_section(churn, commit, date, load, cores)
    # Goal rows: before the memory row, after the servers', where the full
    # report writes them.
    lines = [line for line in lines
             if not line.startswith("| churn, ") and not line.startswith("| (churn, ")]
    at = next((i for i, line in enumerate(lines) if line.startswith("| memory for 10^6 blocks")),
              None)
    if at is None:
        sys.exit("report.py: %s has no goals table to add the thread churn's rows to" % path)
    lines[at:at] = churn_goal_rows(churn)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def per_pair(per_thread_ratio, threads, reference_threads):
    """A ratio of per-thread times as a ratio of the time per pair of all
    threads together: n threads that each take t per pair make a pair every
    t / n."""
    if per_thread_ratio is None:
        return None
    return per_thread_ratio * reference_threads / threads


# ---------------------------------------------------------------------------
# Call-site sampling (bench/sampling.sh)

SAMPLING_TITLE = "## Call-site sampling"
SAMPLING_ROWS = [("pair/%s/64" % OURS, "pair 64 B"), ("pingpong/%s/64" % OURS, "ping-pong 64 B"),
                 ("batch-1k/%s" % OURS, "batch 1..1024 B"),
                 ("batch-64k/%s" % OURS, "batch 1..64 KiB")]
SAMPLING_GOAL = 1.03


def load_sampling(path):
    """({row: {setting: {run: ns}}}, {program: {setting: {run: (s, KiB, CPU s)}}},
    {shape: {build: instructions}})."""
    rows, programs, instructions = {}, {}, {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 5 and parts[0] == "rows":
                    _, setting, run, row, ns = parts
                    rows.setdefault(row, {}).setdefault(setting, {})[run] = (float(ns),)
                elif len(parts) in (6, 8) and parts[0] == "program":
                    _, name, setting, run, seconds, peak = parts[:6]
                    cpu = float(parts[6]) + float(parts[7]) if len(parts) == 8 else None
                    programs.setdefault(name, {}).setdefault(setting, {})[run] = (
                        float(seconds), int(peak), cpu)
                elif len(parts) == 4 and parts[0] == "instructions":
                    _, build, shape, count = parts
                    instructions.setdefault(shape, {})[build] = int(count)
    return rows, programs, instructions


def sampling_goals(rows, programs, instructions=None):
    """The highest ratio at 512 KiB against off, over the batch rows and the
    programs."""
    ratios = [program_ratios(runs, "524288", 0, "off") for row, runs in rows.items()
              if row.startswith("batch-")]
    ratios += [program_ratios(runs, "524288", 0, "off") for runs in programs.values()]
    return max((r for r in ratios if r is not None), default=None)


def sampling_section(sampling, commit, date, load=None):
    rows, programs, instructions = sampling
    out = []
    w = out.append
    rounds = max((len(r) for heaps in list(rows.values()) + list(programs.values())
                  for r in heaps.values()), default=0)
    w(SAMPLING_TITLE)
    w("")
    w("`DIDEVERAZEZ_SAMPLE_BYTES` off, at 524288 (one sample per 512 KiB requested) and at 1 "
      "(every allocation), each its own process, the settings taking turns over %d rounds "
      "(`bench/sampling.sh`); every ratio is taken within a round and the median over rounds "
      "quoted. Every setting asks for a snapshot (`DIDEVERAZEZ_REPORT`), which starts the "
      "library's thread: a process with a second thread pays glibc's atomic lock operations "
      "on every tree lock, a cost of asking for snapshots, not of sampling, which the ratios "
      "leave out. The batch rows swing between processes of one setting far more than "
      "sampling moves them (with glibc's trimming off, batches of 1..64 KiB blocks took 2.5 to 11 ms in six processes "
      "of this machine with the same setting: where glibc's heap stands when the batch "
      "starts): their ratios are the least certain figures here. The fixed-size rows give "
      "what a sample costs, every allocation being sampled at 1; at n bytes an allocation of "
      "s bytes is sampled with chance s/n, which the last column turns into what sampling at "
      "512 KiB is expected to add to a pair." % rounds)
    if commit or date:
        w("")
        w("Measured %s%s%s." % (("at " + commit) if commit else "", ", " if commit and date else "",
                                date or ""))
    if load:
        w("Load average: %s." % load)
    w("")
    if instructions:
        w("Instructions per pair with sampling off (callgrind, n and 2n pairs, as above), "
          "this build beside the bench build of a commit before sampling existed: the "
          "allocation's countdown is one subtraction on the thread's word and a branch on "
          "its borrow, the free path unchanged.")
        w("")
        w("| shape | before sampling | this build | more |")
        w("|---|---:|---:|---:|")
        for shape, builds in instructions.items():
            before, now = builds.get("baseline"), builds.get("this")
            w("| %s | %s | %s | %s |" % (shape, before if before is not None else "—",
                                         now if now is not None else "—",
                                         "%+d" % (now - before) if None not in (before, now) else "—"))
        w("")
    w("| row (ns per pair) | off | 512 KiB | x off | every allocation | x off "
      "| a sample costs, ns | expected at 512 KiB, ns a pair |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|")
    for row, label in SAMPLING_ROWS:
        runs = rows.get(row)
        if not runs:
            continue
        med = {s: median([v[0] for v in runs.get(s, {}).values()]) for s in ("off", "524288", "1")}
        sample = expected = "—"
        if row.endswith("/64") and None not in (med["off"], med["1"]):
            cost = med["1"] - med["off"]
            sample = "%.0f" % cost
            expected = "%.3f" % (cost * 64 / 524288)
        w("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            label, fmt_ns(med["off"]), fmt_ns(med["524288"]),
            fmt_ratio(program_ratios(runs, "524288", 0, "off")), fmt_ns(med["1"]),
            fmt_ratio(program_ratios(runs, "1", 0, "off")), sample, expected))
    w("")
    if programs:
        w("Programs run straight through the preload library, one handle a thread (python3 "
          "building, writing and reading back a JSON document of 100,000 lists, on its own "
          "small-object heap and, as python3-malloc, with every object a malloc "
          "(PYTHONMALLOC=malloc); sqlite3 "
          "inserting 400,000 rows and indexing them), beside glibc alone and heaptrack, which "
          "records every allocation's stack (heaptrack follows no child process: the programs "
          "are run without a shell). Seconds are medians; heaptrack's ratio is against glibc, "
          "the others' against the preload with sampling off, and every allocation's also "
          "against glibc.")
        w("")
        w("| program | glibc s | off s | 512 KiB | x off | every allocation | x off | x glibc "
          "| heaptrack | x glibc | peak KiB off / every / heaptrack |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")
        for name, runs in programs.items():
            med = {s: median([v[0] for v in runs.get(s, {}).values()])
                   for s in ("glibc", "off", "524288", "1", "heaptrack")}
            peak = {s: median([v[1] for v in runs.get(s, {}).values()])
                    for s in ("off", "1", "heaptrack")}
            sec = lambda v: "—" if v is None else "%.2f" % v
            w("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                name, sec(med["glibc"]), sec(med["off"]), sec(med["524288"]),
                fmt_ratio(program_ratios(runs, "524288", 0, "off")), sec(med["1"]),
                fmt_ratio(program_ratios(runs, "1", 0, "off")),
                fmt_ratio(program_ratios(runs, "1", 0, "glibc")), sec(med["heaptrack"]),
                fmt_ratio(program_ratios(runs, "heaptrack", 0, "glibc")),
                " / ".join("—" if peak[s] is None else "%d" % peak[s]
                           for s in ("off", "1", "heaptrack"))))
        w("")
        if any(v[2] is not None for runs in programs.values() for r in runs.values()
               for v in r.values()):
            w("Every allocation's stack beside heaptrack's: CPU time (user and system, "
              "heaptrack's analysing process included) and peak RSS, medians, with the ratio "
              "taken within each round.")
            w("")
            w("| program | glibc CPU s | every allocation CPU s | heaptrack CPU s "
              "| every / heaptrack CPU | every / heaptrack peak RSS |")
            w("|---|---:|---:|---:|---:|---:|")
            for name, runs in programs.items():
                cpu = {s: median([v[2] for v in runs.get(s, {}).values() if v[2] is not None])
                       for s in ("glibc", "1", "heaptrack")}
                sec = lambda v: "—" if v is None else "%.2f" % v
                w("| %s | %s | %s | %s | %s | %s |" % (
                    name, sec(cpu["glibc"]), sec(cpu["1"]), sec(cpu["heaptrack"]),
                    fmt_ratio(program_ratios(runs, "1", 2, "heaptrack")),
                    fmt_ratio(program_ratios(runs, "1", 1, "heaptrack"))))
            w("")
    return out


def sampling_goal_rows(sampling):
    worst = sampling_goals(*sampling)
    more = [b["this"] - b["baseline"] for shape, b in sampling[2].items()
            if "this" in b and "baseline" in b and shape in ("steady", "pingpong", "batch-1k")]
    rows = []
    if more:
        rows.append("| sampling off: instructions per pair more than before (steady, ping-pong, "
                    "batch), highest | %+d | +3 | %s |" % (max(more), verdict(max(more), 3)))
    return rows + ["| sampling at 512 KiB x off, batch rows and programs, highest | %s | %.2f | %s |"
            % (fmt_ratio(worst), SAMPLING_GOAL, verdict(worst, SAMPLING_GOAL))]


def splice_sampling(path, sampling, commit, date, load):
    """Rewrites the call-site sampling's section and goal row of an existing
    report: the section before the batch rows without trimming (or the
    memory table), the row before the memory row."""
    with open(path) as f:
        lines = f.read().split("\n")
    if SAMPLING_TITLE in lines:
        start = lines.index(SAMPLING_TITLE)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        del lines[start:end]
    at = next((i for i, line in enumerate(lines)
               if line in ("## Batch rows with glibc's heap trimming off",
                           "## Memory for one million 64-byte blocks")), len(lines))
    lines[at:at] = sampling_section(sampling, commit, date, load)
    lines = [line for line in lines if not line.startswith("| sampling ")]
    at = next((i for i, line in enumerate(lines) if line.startswith("| memory for 10^6 blocks")),
              None)
    if at is None:
        sys.exit("report.py: %s has no goals table to add the sampling's row to" % path)
    lines[at:at] = sampling_goal_rows(sampling)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def geometric_mean(values):
    values = [v for v in values if v is not None]
    return statistics.geometric_mean(values) if values else None


def fmt_ns(v):
    return "—" if v is None else ("%.1f" % v if v < 100 else "%.0f" % v)


def fmt_ratio(v):
    return "—" if v is None else "%.2f" % v


def verdict(value, limit, at_most=True):
    if value is None:
        return "not measured"
    ok = value <= limit if at_most else value >= limit
    return "**met**" if ok else "**missed**"


def chart(processes, docs):
    """Clustered bars of ns per pair by heap and size (median over processes)."""
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return None
    sizes = SMALL + LARGE
    heaps = [(key, label) for key, label in HEAPS
             if any(across(processes, ("pair/%s/%d" if s in SMALL else "large/%s/%d") % (key, s))
                    for s in sizes)]
    data_path = os.path.join(docs, ".performance.dat")
    with open(data_path, "w") as f:
        f.write("size " + " ".join('"%s"' % label for _, label in heaps) + "\n")
        for s in sizes:
            values = []
            for key, _ in heaps:
                name = ("pair/%s/%d" if s in SMALL else "large/%s/%d") % (key, s)
                v = across(processes, name)
                values.append("%.3f" % v if v is not None else "NaN")
            label = "%d B" % s if s < 1024 else "%d KiB" % (s // 1024)
            f.write('"%s" %s\n' % (label, " ".join(values)))
    png = os.path.join(docs, "performance.png")
    palette = ["#7f7f7f", "#d62728", "#ff9896", "#8c564b", "#ff7f0e", "#bcbd22", "#2ca02c",
               "#98df8a", "#1f77b4", "#9467bd", "#17becf"]
    colours = "\n".join('set linetype %d lc rgb "%s"' % (i + 1, palette[i % len(palette)])
                         for i in range(len(heaps)))
    script = """
set terminal pngcairo size 1400,700 font "sans,10" noenhanced
set output '%s'
set title "ns per alloc+free pair (100 blocks of the size live; median over processes)"
set ylabel "ns per pair (log scale)"
set logscale y
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key outside right top vertical
set grid ytics
set xtics nomirror
%s
plot for [i=2:%d] '%s' using i:xtic(1) title columnheader(i)
""" % (png, colours, len(heaps) + 1, data_path)
    try:
        subprocess.run([gnuplot], input=script, text=True, check=True)
    except (subprocess.CalledProcessError, OSError):
        script = script.replace("pngcairo", "png")
        subprocess.run([gnuplot], input=script, text=True, check=True)
    os.remove(data_path)
    return png


# bench/handle_benchmarks run plainly and with DIDEVERAZEZ_REPORT set.
HANDLE_ROWS = [
    ("handles/children-50k", "50,000 live children of one root built, then destroyed oldest first"),
    ("handles/names-100k", "100,000 roots of distinct names, each built and destroyed in turn"),
]


def load_handles(work):
    """{mode: {row: median ms}} for the modes plain and recorded."""
    out = {}
    for mode in ("plain", "recorded"):
        path = os.path.join(work, "handles-%s.json" % mode)
        if not os.path.exists(path):
            continue
        with open(path) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
                scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
                out.setdefault(mode, {})[b["run_name"]] = b["real_time"] * scale
    return out


def handles_ratio(handles, row):
    plain = handles.get("plain", {}).get(row)
    recorded = handles.get("recorded", {}).get(row)
    return recorded / plain if plain and recorded else None


def handles_section(handles):
    out = []
    w = out.append
    w("## Building and destroying handles")
    w("")
    w("`bench/handle_benchmarks` through the shipped library, in two processes: plainly, as a "
      "program that asks for no report (a child handle then does nothing in the registry, and "
      "a destroyed one leaves nothing), and with `DIDEVERAZEZ_REPORT` set, every handle "
      "recorded: its entry from the C heap linked into its tree's list, under the registry's "
      "lock, and what a destroyed one leaves kept within its bound. Medians of 5 repetitions.")
    w("")
    for row, description in HANDLE_ROWS:
        w("- *%s*: %s." % (row, description))
    w("")
    w("| row | plainly, ms | recorded, ms | recorded x plainly |")
    w("|---|---:|---:|---:|")
    for row, _ in HANDLE_ROWS:
        plain = handles.get("plain", {}).get(row)
        recorded = handles.get("recorded", {}).get(row)
        w("| %s | %s | %s | %s |" % (row, "%.0f" % plain if plain else "",
                                     "%.0f" % recorded if recorded else "",
                                     fmt_ratio(handles_ratio(handles, row))))
    w("")
    return out


def splice_handles(path, handles, commit):
    """Rewrites the handles' section and goal row of an existing report."""
    with open(path) as f:
        lines = f.read().split("\n")
    title = "## Building and destroying handles"
    if title in lines:
        start = lines.index(title)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        del lines[start:end]
    at = next((i for i, line in enumerate(lines)
               if line == "## Memory for one million 64-byte blocks"), len(lines))
    section = handles_section(handles)
    if commit:
        section[2:2] = ["Measured at commit `%s`." % commit, ""]
    lines[at:at] = section
    lines = [line for line in lines if not line.startswith("| handles built and destroyed")]
    at = next((i for i, line in enumerate(lines) if line.startswith("| memory for 10^6 blocks")),
              None)
    if at is None:
        sys.exit("report.py: %s has no goals table to add the handles' row to" % path)
    lines[at:at] = handles_goal_rows(handles)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def handles_goal_rows(handles):
    worst = max((v for v in (handles_ratio(handles, row) for row, _ in HANDLE_ROWS)
                 if v is not None), default=None)
    return ["| handles built and destroyed, recorded x plainly, highest | %s | 1.20 | %s |"
            % (fmt_ratio(worst), verdict(worst, 1.2))]


# The viewer's load time (bench/viewer_load.py writes it into the report).
VIEWER_TITLE = "## The viewer's page at many handles"
VIEWER_GOAL = "| page for 20,000 handles loads in "


def carry_viewer(path, out):
    """`out` with the viewer's section and goal row of the report at `path`,
    which bench/viewer_load.py measures apart: before the notes, and at the
    end of the goals table."""
    if not os.path.exists(path):
        return out
    with open(path) as f:
        old = f.read().split("\n")
    if VIEWER_TITLE not in old:
        return out
    start = old.index(VIEWER_TITLE)
    end = next((i for i in range(start + 1, len(old)) if old[i].startswith("## ")), len(old))
    lines = "\n".join(out).split("\n")
    at = next((i for i, line in enumerate(lines)
               if line == "## Where the cost goes, and why goals are missed"), len(lines))
    lines[at:at] = old[start:end]
    goal = [line for line in old if line.startswith(VIEWER_GOAL)]
    if goal and "## Goals" in lines:
        goals = lines.index("## Goals")
        at = next(i for i in range(goals + 3, len(lines)) if not lines[i].startswith("|"))
        lines[at:at] = goal
    return lines


SCALE_TITLE = "## dideverazez-report at scale"
# The inputs of bench/report_scale.sh, as bench/big_series.py makes them.
SCALE_INPUTS = [
    ("series.jsonl", "a 200 MB time series: 20,000 snapshots, one a line, of 4 trees and 14 "
     "live handles each (the last snapshot of tests/data/snapshot_series.jsonl with 2 more "
     "handles, every figure moving)"),
    ("sampled.jsonl", "a 200 MB time series with sampled call sites, written by the preload "
     "library of the build (`libdideverazez_preload.so`) into a Python program: "
     "`bench/big_series.py sampled` runs the interpreter with `LD_PRELOAD` set to it, "
     "`DIDEVERAZEZ_PRELOAD_BY=library`, `DIDEVERAZEZ_REPORT_INTERVAL_MS=20` and "
     "`DIDEVERAZEZ_SAMPLE_BYTES=65536`, making and dropping lists and dictionaries through "
     "calls 1 to 13 deep until the series holds 200 MB; each snapshot lists the stacks sampled "
     "so far (about a hundred, of 50 frames each) and the objects loaded"),
    ("snapshot.json", "one 250 MB snapshot of 185,000 trees (370,000 handles: each tree a "
     "paged root and a child), on one line"),
]
SCALE_GOAL_SECONDS, SCALE_GOAL_MIB, SCALE_GOAL_PAGE_MIB = 30.0, 500.0, 20.0
# html of a series without sampling, against the baseline's in the same run.
SCALE_GOAL_UNSAMPLED_RATIO = 1.10


def load_scale(path):
    """{(input, command): [(seconds, peak KiB, page bytes), ...]} of bench/report_scale.sh,
    and its notes: {"baseline": text, input: (bytes, lines)}."""
    runs, notes = {}, {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if line.startswith("# baseline: "):
                    notes["baseline"] = line[len("# baseline: "):].strip()
                elif line.startswith("# input ") and len(parts) == 5:
                    notes[parts[2]] = (int(parts[3]), int(parts[4]))
                elif len(parts) == 6 and not line.startswith("#"):
                    runs.setdefault((parts[0], parts[1]), []).append(
                        (float(parts[3]), int(parts[4]), int(parts[5])))
    return runs, notes


def scale_section(scale, commit, date, load=None):
    """The lines of the section of dideverazez-report at scale."""
    scale, notes = scale
    out = []
    w = out.append
    rounds = max((len(r) for r in scale.values()), default=0)
    inputs = [(key, what) for key, what in SCALE_INPUTS if any(k[0] == key for k in scale)]
    baseline = notes.get("baseline")
    w(SCALE_TITLE)
    w("")
    w("`summary` and `html` of the Release build's `dideverazez-report` (`cmake --preset bench`) "
      "on %d inputs made by `bench/big_series.py`, %d runs each (`bench/report_scale.sh`); wall "
      "time is `%%e` and the peak resident set `%%M` of `/usr/bin/time`, and the table quotes the "
      "median over the runs. The page is what `html` wrote.%s" % (
          len(inputs), rounds,
          " `html` ran as well with %s, the two taking turns in one run (*html, before*)."
          % baseline if baseline else ""))
    w("")
    if commit or date:
        w("Measured at commit `%s`, %s%s." % (commit or "?", date or "?",
                                             "; load average " + load if load else ""))
        w("")
    for key, what in inputs:
        size = notes.get(key)
        w("- *%s*: %s%s." % (key, what, " (this one: %s bytes, %s snapshot%s)"
                             % ("{:,}".format(size[0]), "{:,}".format(size[1]),
                                "" if size[1] == 1 else "s") if size else ""))
    w("")
    w("| input | command | s | peak MiB | page MiB |")
    w("|---|---|---:|---:|---:|")
    for key, _ in inputs:
        for command in ("summary", "html", "html-baseline"):
            runs = scale.get((key, command))
            if not runs:
                continue
            page = median([r[2] for r in runs]) / 1048576.0
            w("| %s | %s | %.1f | %.1f | %s |" % (
                key, "html, before" if command == "html-baseline" else command,
                median([r[0] for r in runs]), median([r[1] for r in runs]) / 1024.0,
                "%.1f" % page if command != "summary" else ""))
    w("")
    w("| goal | measured | |")
    w("|---|---|---|")
    for key, name in (("series.jsonl", "the 200 MB series"),
                      ("sampled.jsonl", "the 200 MB sampled series")):
        for command in ("summary", "html"):
            runs = scale.get((key, command))
            if not runs:
                continue
            seconds, mib = median([r[0] for r in runs]), median([r[1] for r in runs]) / 1024.0
            w("| %s of %s: within %.0f s and %.0f MB | %.1f s, %.1f MiB | %s |" % (
                command, name, SCALE_GOAL_SECONDS, SCALE_GOAL_MIB, seconds, mib,
                "met" if seconds <= SCALE_GOAL_SECONDS and mib * 1.048576 <= SCALE_GOAL_MIB
                else "not met"))
        runs = scale.get((key, "html"))
        if runs:
            page = median([r[2] for r in runs]) / 1e6
            w("| the page of %s: at most %.0f MB | %.1f MB | %s |" % (
                name, SCALE_GOAL_PAGE_MIB, page, "met" if page <= SCALE_GOAL_PAGE_MIB
                else "not met"))
    now, before = scale.get(("series.jsonl", "html")), scale.get(("series.jsonl", "html-baseline"))
    if now and before:
        ratio = median([r[0] for r in now]) / median([r[0] for r in before])
        w("| html of the 200 MB series as fast as before: at most %.2fx the baseline's time "
          "| %.2fx | %s |" % (SCALE_GOAL_UNSAMPLED_RATIO, ratio,
                              "met" if ratio <= SCALE_GOAL_UNSAMPLED_RATIO else "not met"))
    w("")
    w("A series takes the memory of about one snapshot: the tool reads it one snapshot at a "
      "time and keeps what its command needs (`summary` the last, `html` where each snapshot "
      "lies and its roots' peaks, then the text of the 500 it shows, read again). A single "
      "snapshot takes about its size: its engines as the tool holds them, not its text (`html` "
      "then copies the text from the file into its page, which is therefore as large). "
      "Time goes to nlohmann's parser, which reads a byte at a time, and to the JSON values of "
      "one engine built from its events and checked.")
    w("")
    w("A sampled snapshot is mostly its stacks and objects, which every snapshot of a process "
      "repeats and extends. `html` reads each object's file once for the whole page and names "
      "each address once by its offset in the file; the page holds each frame name once and "
      "each process's stacks once, in a table the snapshots refer to, and each snapshot without "
      "its `stacks` and `objects`. Before, each snapshot shown had a libdw session of its own, "
      "reading every object's ELF and DWARF again, and carried its stacks, objects and names.")
    w("")
    return out


def splice_section(path, title, section, before):
    """Rewrites the section `title` of an existing report with the lines of
    `section`: where it was, else before the first section whose title starts
    with `before`, else at the end."""
    with open(path) as f:
        lines = f.read().split("\n")
    if title in lines:
        start = lines.index(title)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
        del lines[start:end]
        at = start
    else:
        at = next((i for i, line in enumerate(lines) if line.startswith(before)), len(lines))
    lines[at:at] = section
    with open(path, "w") as f:
        f.write("\n".join(lines))


def splice_scale(path, scale, commit, date, load):
    """Rewrites the section of dideverazez-report at scale of an existing report:
    before the notes on where the cost goes, or at the end."""
    splice_section(path, SCALE_TITLE, scale_section(scale, commit, date, load),
                   "## Where the cost goes")


SHARING_TITLE = "## Threads sharing a handle"


def load_sharing(path):
    """The section bench/sharing.sh wrote, as lines; empty when it is missing."""
    if not os.path.exists(path):
        return []
    with open(path) as f:
        lines = f.read().rstrip("\n").split("\n")
    return lines + [""] if lines and lines[0] == SHARING_TITLE else []


def splice_sharing(path, sharing):
    """Rewrites the section on threads sharing a handle of an existing report:
    before the real programs through the preload library, or at the end."""
    splice_section(path, SHARING_TITLE, sharing,
                   "## Real programs through the preload library")


NOTES_TITLE = "## Where the cost goes, and why goals are missed"


def refresh_notes(path):
    """Puts the notes kept by hand at the end of an existing report again, in
    place of the copy it was written with, so that a report spliced section by
    section carries the notes as they are now."""
    notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "performance-notes.md")
    if not os.path.exists(notes):
        return
    with open(path) as f:
        lines = f.read().split("\n")
    if NOTES_TITLE in lines:
        del lines[lines.index(NOTES_TITLE):]
    with open(notes) as f:
        lines.extend(f.read().rstrip().split("\n") + [""])
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--docs", required=True)
    parser.add_argument("--only",
                        choices=["servers", "churn", "handles", "sampling", "scale", "sharing"],
                        help="rewrite only this section (and its goal rows) of the existing report")
    parser.add_argument("--commit", help="the commit measured (default: machine.txt's)")
    args = parser.parse_args()

    machine = read_pairs(os.path.join(args.work, "machine.txt"))
    commit = args.commit or machine.get("commit")
    servers = load_servers(os.path.join(args.work, "servers.txt"))
    churn = load_churn(os.path.join(args.work, "churn.txt"))
    handles = load_handles(args.work)
    sampling = load_sampling(os.path.join(args.work, "sampling.txt"))
    scale = load_scale(os.path.join(args.work, "scale.txt"))
    sharing = load_sharing(os.path.join(args.work, "sharing.md"))
    cores = int(machine["cores"]) if machine.get("cores", "").isdigit() else None
    if args.only:
        path = os.path.join(args.docs, "performance.md")
        load = None
        if "load_before" in machine and "load_after" in machine:
            load = "%s before, %s after (1, 5 and 15 minutes) on %s cores" % (
                machine["load_before"], machine["load_after"], machine.get("cores", os.cpu_count()))
        if args.only == "servers":
            if not servers:
                sys.exit("report.py: no server results in " + args.work)
            splice_servers(path, servers, commit, machine.get("date"), load)
            print("rewrote the servers' section of", path)
        elif args.only == "sampling":
            if not any(sampling):
                sys.exit("report.py: no sampling results in " + args.work)
            splice_sampling(path, sampling, commit, machine.get("date"), load)
            print("rewrote the call-site sampling's section of", path)
        elif args.only == "sharing":
            if not sharing:
                sys.exit("report.py: no section on threads sharing a handle in " + args.work)
            splice_sharing(path, sharing)
            print("rewrote the section on threads sharing a handle of", path)
        elif args.only == "scale":
            if not scale[0]:
                sys.exit("report.py: no results of dideverazez-report at scale in " + args.work)
            splice_scale(path, scale, commit, machine.get("date"), load)
            print("rewrote the section of dideverazez-report at scale of", path)
        elif args.only == "handles":
            if not handles:
                sys.exit("report.py: no handle results in " + args.work)
            splice_handles(path, handles, commit)
            print("rewrote the handles' section of", path)
        else:
            if not churn:
                sys.exit("report.py: no thread churn results in " + args.work)
            splice_churn(path, churn, commit, machine.get("date"), load, cores)
            print("rewrote the thread churn's section of", path)
        refresh_notes(path)
        return

    single = [load_process(p) for p in sorted(glob.glob(os.path.join(args.work, "single-*.json")))]
    threads = [load_process(p) for p in sorted(glob.glob(os.path.join(args.work, "threads-*.json")))]
    notrim = [load_process(p) for p in sorted(glob.glob(os.path.join(args.work, "notrim-*.json")))]
    if not single:
        sys.exit("report.py: no benchmark results in " + args.work)
    instructions = {k: int(v) for k, v in read_pairs(os.path.join(args.work, "instructions.txt")).items()}
    memory = {k: int(v) for k, v in read_pairs(os.path.join(args.work, "memory.txt")).items()
              if v.isdigit()}
    programs = load_programs(os.path.join(args.work, "programs.txt"))
    os.makedirs(args.docs, exist_ok=True)
    png = chart(single, args.docs)

    out = []
    w = out.append
    w("# Performance")
    w("")
    w("What the accounting costs, measured side by side with the allocators a team")
    w("would use instead, every row in the same process run. Written by")
    w("`bench/run.sh` (or `cmake --workflow --preset bench`); do not edit by hand.")
    w("")
    w("## Machine and method")
    w("")
    w("| | |")
    w("|---|---|")
    for key, label in [("date", "measured"), ("commit", "commit"), ("cpu", "processor"),
                       ("cores", "cores"),
                       ("kernel", "kernel"), ("glibc", "glibc"), ("compiler", "compiler"),
                       ("flags", "flags"), ("load_before", "load average before"),
                       ("load_after", "load average after")]:
        if key in machine:
            w("| %s | %s |" % (label, machine[key].replace("|", "\\|")))
    w("")
    try:
        load = float(machine.get("load_before", "0").split()[0])
    except ValueError:
        load = 0.0
    if load >= 1.0:
        w("The machine was shared with other work during this run (load average above 1 "
          "on %s cores): pinning, interleaving, repetitions and ratios within one process "
          "are what make the figures comparable; absolute nanoseconds carry the noise."
          % machine.get("cores", "?"))
        w("")
    w("- Single-thread rows: %s processes, each pinned to cpu %s with `taskset`, rows "
      "interleaved at random (`--benchmark_enable_random_interleaving`), %s repetitions of "
      "at least %s s each; a figure is the median over processes of each process's median."
      % (machine.get("processes", "?"), machine.get("pinned_cpu", "?"),
         machine.get("repetitions", "?"), machine.get("min_time", "?")))
    w("- Every ratio is taken within one process (both figures from the same run), then the "
      "median over processes is quoted.")
    w("- Code aligned with `-falign-functions=64 -falign-loops=64`, so that a loop's placement "
      "does not decide a result.")
    w("- This library is reached as a client reaches it: `zu_alloc`/`zu_free` exported from "
      "the shared library. jemalloc, mimalloc and tcmalloc are loaded with "
      "`dlopen(RTLD_NOW | RTLD_LOCAL)` and called through their own entry points (`malloc`/"
      "`free` of the jemalloc library, `mi_malloc`/`mi_free`, `tc_malloc`/`tc_free`), so "
      "glibc stays the process allocator; talloc through `talloc_named_const`/`_talloc_free` "
      "on a child context.")
    w("- *pair*: one alloc+free pair per iteration with 100 blocks of the same size held "
      "live, so that a pooled page never empties (the steady state). *ping-pong*: the same "
      "with nothing else live. *batch*: 10,000 blocks of sizes drawn uniformly (fixed seed) "
      "from 1..1024 bytes or 1..64 KiB, freed in a shuffled order, per pair. *large*: the "
      "pair at 4 and 64 KiB. *floor*: two uncontended `std::mutex` lock+unlock pairs, the "
      "locking the engine cannot avoid (once to allocate, once to free).")
    missing = [label for key, label in HEAPS[4:] if not any(key in name.split("/") for p in single for name in p)]
    if missing:
        w("- Not measured (library not installed): %s." % ", ".join(missing))
    w("")

    floor = across(single, FLOOR)
    glibc64 = across(single, "pair/glibc/64")
    w("## Time per alloc+free pair (ns, median)")
    w("")
    w("Floor, two `std::mutex` lock+unlock pairs: **%s ns** (%s x glibc's 64-byte pair)."
      % (fmt_ns(floor), fmt_ratio(ratio_across(single, FLOOR, "pair/glibc/64"))))
    w("")
    w("| heap | " + " | ".join(c[1] for c in COLUMNS) + " |")
    w("|---|" + "---:|" * len(COLUMNS))
    for key, label in HEAPS:
        cells = [fmt_ns(across(single, c[0].format(h=key))) for c in COLUMNS]
        if all(c == "—" for c in cells):
            continue
        w("| %s | %s |" % (label, " | ".join(cells)))
    w("")
    w("## Ratio against glibc's malloc+free in the same process")
    w("")
    w("| heap | " + " | ".join(c[1] for c in COLUMNS) + " |")
    w("|---|" + "---:|" * len(COLUMNS))
    for key, label in HEAPS:
        cells = [fmt_ratio(ratio_across(single, c[0].format(h=key), c[2])) for c in COLUMNS]
        if all(c == "—" for c in cells):
            continue
        w("| %s | %s |" % (label, " | ".join(cells)))
    w("")
    if png:
        w("![ns per pair by allocator and size](performance.png)")
        w("")

    # Goals.
    steady = across(single, "pair/%s/64" % OURS)
    steady_floor = ratio_across(single, "pair/%s/64" % OURS, FLOOR)
    ping_floor = ratio_across(single, "pingpong/%s/64" % OURS, FLOOR)
    batch = ratio_across(single, "batch-1k/%s" % OURS, "batch-1k/glibc")
    w("## Goals")
    w("")
    w("| goal | measured | limit | |")
    w("|---|---:|---:|---|")
    w("| steady 64 B pair on a child, x floor | %s | 1.30 | %s |"
      % (fmt_ratio(steady_floor), verdict(steady_floor, 1.3)))
    w("| steady, instructions per pair | %s | 250 | %s |"
      % (instructions.get("steady", "—"), verdict(instructions.get("steady"), 250)))
    for key, label in [("malloc+accounting", "malloc + mutex accounting"), ("talloc", "talloc"),
                       ("pmr-unsync-pool", "unsynchronized pool"),
                       ("pmr-sync-pool", "synchronized pool")]:
        speedup = ratio_across(single, "pair/%s/64" % key, "pair/%s/64" % OURS)
        w("| steady, times faster than %s | %s | at least 1.50 | %s |"
          % (label, fmt_ratio(speedup), verdict(speedup, 1.5, at_most=False)))
    w("| ping-pong 64 B on a child, x floor | %s | 3.00 | %s |"
      % (fmt_ratio(ping_floor), verdict(ping_floor, 3.0)))
    w("| ping-pong, instructions per pair | %s | 450 | %s |"
      % (instructions.get("pingpong", "—"), verdict(instructions.get("pingpong"), 450)))
    w("| batch 1..1024 B, x glibc | %s | 1.00 | %s |" % (fmt_ratio(batch), verdict(batch, 1.0)))
    w("| batch 1..1024 B, instructions per pair | %s | 400 | %s |"
      % (instructions.get("batch-1k", "—"), verdict(instructions.get("batch-1k"), 400)))
    for s in SMALL:
        depth = ratio_across(single, "pair/%s-depth8/%d" % (OURS, s), "pair/%s/%d" % (OURS, s))
        w("| depth 8 / depth 1, pair %d B | %s | 1.50 | %s |" % (s, fmt_ratio(depth), verdict(depth, 1.5)))
    for s in LARGE:
        large = ratio_across(single, "large/%s/%d" % (OURS, s), "large/glibc/%d" % s)
        w("| large %d KiB, x glibc | %s | 1.50 | %s |" % (s // 1024, fmt_ratio(large), verdict(large, 1.5)))
    own = ratio_across(threads, "threads/%s-own-trees/64/real_time/threads:2" % OURS,
                       "threads/%s-own-trees/64/real_time/threads:1" % OURS)
    w("| two threads on two trees, per-thread time x one thread | %s | 1.20 | %s |"
      % (fmt_ratio(own), verdict(own, 1.2)))
    floor2 = ratio_across(threads, "threads/floor/2-mutex-pairs/real_time/threads:2",
                          "threads/floor/2-mutex-pairs/real_time/threads:1")
    w("| (the floor alone on two threads, own mutexes, x one thread) | %s | | |" % fmt_ratio(floor2))
    one_tree = "threads/%s-one-tree/64/real_time/threads:%%d" % OURS
    shared = ratio_across(threads, one_tree % 2, "threads/floor/shared-mutex/real_time/threads:2")
    w("| two threads on one tree, per-thread time x the shared-mutex floor | %s | 2.00 | %s |"
      % (fmt_ratio(shared), verdict(shared, 2.0)))
    four = per_pair(ratio_across(threads, one_tree % 4, one_tree % 2), 4, 2)
    w("| four threads on one tree, time per pair (all threads) x two threads | %s | 1.00 | %s |"
      % (fmt_ratio(four), verdict(four, 1.0)))
    cross = ratio_across(threads, "cross/%s/64/real_time/threads:2" % OURS,
                         "cross/glibc/64/real_time/threads:2")
    w("| producer and consumer, x glibc | %s | 2.00 | %s |" % (fmt_ratio(cross), verdict(cross, 2.0)))
    if programs:
        times = {h: [program_ratios(r, h, 0) for r in programs.values()] for h, _ in PROGRAM_HEAPS}
        peaks = {h: [program_ratios(r, h, 1) for r in programs.values()] for h, _ in PROGRAM_HEAPS}
        for heap, label in PROGRAM_HEAPS:
            mean = geometric_mean(times[heap])
            worst = max((v for v in times[heap] if v is not None), default=None)
            peak = max((v for v in peaks[heap] if v is not None), default=None)
            w("| programs, %s: time x glibc, geometric mean | %s | 1.10 | %s |"
              % (label, fmt_ratio(mean), verdict(mean, 1.1)))
            w("| programs, %s: time x glibc, highest | %s | 1.50 | %s |"
              % (label, fmt_ratio(worst), verdict(worst, 1.5)))
            w("| programs, %s: peak memory x glibc, highest | %s | 1.30 | %s |"
              % (label, fmt_ratio(peak), verdict(peak, 1.3)))
    if servers:
        out.extend(servers_goal_rows(servers))
    if churn:
        out.extend(churn_goal_rows(churn))
    if handles:
        out.extend(handles_goal_rows(handles))
    if any(sampling):
        out.extend(sampling_goal_rows(sampling))
    mem = (memory[OURS] / memory["glibc"]) if OURS in memory and memory.get("glibc") else None
    w("| memory for 10^6 blocks of 64 B, x glibc | %s | 1.15 | %s |" % (fmt_ratio(mem), verdict(mem, 1.15)))
    w("")

    w("## Instructions per pair (callgrind)")
    w("")
    w("Counted with `valgrind --tool=callgrind` on `bench/instruction_counts`, each shape "
      "run for n and 2n pairs; the difference over n is one pair, free of start-up and exit.")
    w("")
    w("| shape | instructions per pair |")
    w("|---|---:|")
    for key, label in [("floor", "floor: two std::mutex lock+unlock pairs"),
                       ("glibc", "glibc malloc+free, 64 B, 100 live"),
                       ("accounting", "malloc + mutex accounting, 64 B, 100 live"),
                       ("steady", "dideverazez child, 64 B, 100 live (steady)"),
                       ("root", "dideverazez root, 64 B, 100 live"),
                       ("depth8", "dideverazez depth-8 handle, 64 B, 100 live"),
                       ("pingpong", "dideverazez child, 64 B, nothing else live (ping-pong)"),
                       ("batch-1k", "dideverazez child, batch 1..1024 B"),
                       ("glibc-batch-1k", "glibc, batch 1..1024 B"),
                       ("large-4k", "dideverazez child, 4 KiB, 100 live"),
                       ("glibc-large-4k", "glibc, 4 KiB, 100 live")]:
        if key in instructions:
            w("| %s | %d |" % (label, instructions[key]))
    w("")

    w("## Threads")
    w("")
    w("Per-thread ns per 64-byte pair (100 blocks live per thread), threads unpinned, on "
      "%s cores; *own trees*: each thread on a child of its own root; *one tree*: each thread "
      "on its own child of one root, so they share its lock and pool; *floor, own mutex*: "
      "each thread locks and unlocks its own mutex twice, sharing nothing, which shows what "
      "this machine does to uncontended locking when all cores run it; *floor, shared "
      "mutex*: the same two lock+unlock pairs on one mutex for all threads, the least a "
      "tree with one lock can cost." % machine.get("cores", "?"))
    w("")
    w("The last two columns compare the time per pair of all threads together (per-thread "
      "time over the number of threads): 1.00 is no gain from the second core, 0.50 twice "
      "the pairs per second; four threads on two cores can gain nothing over two.")
    w("")
    w("| heap | 1 thread | 2 threads | 4 threads | 2 threads / 1, per pair | 4 threads / 2, per pair |")
    w("|---|---:|---:|---:|---:|---:|")
    for key, label in [("%s-own-trees/64" % OURS, "dideverazez, own trees"),
                       ("%s-one-tree/64" % OURS, "dideverazez, one tree"),
                       ("glibc/64", "glibc malloc+free"),
                       ("floor/2-mutex-pairs", "floor, own mutex"),
                       ("floor/shared-mutex", "floor, shared mutex")]:
        row = "threads/%s/real_time/threads:%%d" % key
        w("| %s | %s | %s | %s | %s | %s |" % (
            label, fmt_ns(across(threads, row % 1)), fmt_ns(across(threads, row % 2)),
            fmt_ns(across(threads, row % 4)),
            fmt_ratio(per_pair(ratio_across(threads, row % 2, row % 1), 2, 1)),
            fmt_ratio(per_pair(ratio_across(threads, row % 4, row % 2), 4, 2))))
    w("")
    w("A producer thread allocates 64-byte blocks and hands them through a ring to a "
      "consumer thread, which frees them (for dideverazez with `zu_free(block, nullptr)`, "
      "the block's own engine found from its header). Per-thread ns per block made and "
      "freed; the floor locks and unlocks one shared mutex once on each side.")
    w("")
    w("| heap | ns per block | x glibc |")
    w("|---|---:|---:|")
    for key, label in [(OURS, "dideverazez, child handle"), ("glibc", "glibc malloc+free"),
                       ("floor", "floor, shared mutex")]:
        row = "cross/%s/%s/real_time/threads:2" % (key, "shared-mutex" if key == "floor" else "64")
        w("| %s | %s | %s |" % (label, fmt_ns(across(threads, row)),
                               fmt_ratio(ratio_across(threads, row, "cross/glibc/64/real_time/threads:2"))))
    w("")
    out.extend(sharing)

    if programs:
        w("## Real programs through the preload library")
        w("")
        w("Debian's own programs, unchanged, run plainly (glibc's heap) and with "
          "`LD_PRELOAD=libdideverazez_preload.so` in both modes (`bench/programs.sh`, the "
          "work of `tests/preload/workloads.sh` scaled up), and the shapes of "
          "`bench/stress_programs.cpp` (loop, threads, larson, xmalloc, forks, spawn: "
          "programs that allocate hard through plain malloc and free). The three take turns run after "
          "run; a ratio is taken within one round, and the table quotes the median over "
          "rounds of the wall time (`%e` of `/usr/bin/time`), the peak resident set (`%M`, "
          "the largest process of the program) and the ratios.")
        w("")
        w("| program | glibc s | by thread x glibc | by library x glibc "
          "| glibc peak MiB | by thread x glibc | by library x glibc |")
        w("|---|---:|---:|---:|---:|---:|---:|")
        for program, runs in programs.items():
            glibc = runs.get("glibc", {}).values()
            w("| %s | %.2f | %s | %s | %.1f | %s | %s |" % (
                program, median([t for t, _ in glibc]) or 0.0,
                fmt_ratio(program_ratios(runs, "thread", 0)),
                fmt_ratio(program_ratios(runs, "library", 0)),
                (median([m for _, m in glibc]) or 0) / 1024.0,
                fmt_ratio(program_ratios(runs, "thread", 1)),
                fmt_ratio(program_ratios(runs, "library", 1))))
        w("| geometric mean | | %s | %s | | %s | %s |" % tuple(
            fmt_ratio(geometric_mean([program_ratios(r, h, f) for r in programs.values()]))
            for f in (0, 1) for h in ("thread", "library")))
        w("")

    if servers:
        out.extend(servers_section(servers, None, None))

    if churn:
        out.extend(churn_section(churn, None, None, cores=cores))

    if any(sampling):
        out.extend(sampling_section(sampling, None, None))

    if notrim:
        w("## Batch rows with glibc's heap trimming off")
        w("")
        w("The same batch rows in processes started with "
          "`GLIBC_TUNABLES=glibc.malloc.trim_threshold=1073741824`, a process-wide tuning "
          "that stops glibc from giving the top of its heap back to the kernel (`brk`) "
          "whenever enough of it is free. Ratios against glibc in the same process.")
        w("")
        w("| heap | batch 1..1024 B, ns | x glibc | batch 1..64 KiB, ns | x glibc |")
        w("|---|---:|---:|---:|---:|")
        for key, label in HEAPS:
            small = across(notrim, "batch-1k/%s" % key)
            large = across(notrim, "batch-64k/%s" % key)
            if small is None and large is None:
                continue
            w("| %s | %s | %s | %s | %s |" % (
                label, fmt_ns(small), fmt_ratio(ratio_across(notrim, "batch-1k/%s" % key, "batch-1k/glibc")),
                fmt_ns(large), fmt_ratio(ratio_across(notrim, "batch-64k/%s" % key, "batch-64k/glibc"))))
        w("")

    if handles:
        out.extend(handles_section(handles))

    w("## Memory for one million 64-byte blocks")
    w("")
    w("Growth of the peak resident set from just before the first block to just after the "
      "last, one process per heap (`bench/memory_footprint`).")
    w("")
    w("| heap | MiB | x glibc |")
    w("|---|---:|---:|")
    for key, label in HEAPS:
        if key in memory:
            rel = memory[key] / memory["glibc"] if memory.get("glibc") else None
            w("| %s | %.1f | %s |" % (label, memory[key] / 1048576.0, fmt_ratio(rel)))
    w("")

    if scale[0]:
        out.extend(scale_section(scale, None, None))

    notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "performance-notes.md")
    if os.path.exists(notes):
        with open(notes) as f:
            w(f.read().rstrip())
        w("")

    out = carry_viewer(os.path.join(args.docs, "performance.md"), out)
    with open(os.path.join(args.docs, "performance.md"), "w") as f:
        f.write("\n".join(out))
    print("wrote", os.path.join(args.docs, "performance.md"), "and", png or "no chart (no gnuplot)")


if __name__ == "__main__":
    main()
