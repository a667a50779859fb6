#!/usr/bin/env python3
"""Snapshots of an unchanged program through the preload library.

usage: reports.py PRELOAD TOOL WORK_DIR CHECK LINKED_PROGRAM

CHECK is one of:
  take      python3 sleeps 3 s in libc's sleep(); `dideverazez-report take`
            asks it for a snapshot meanwhile. sleep() must return 0 (no
            signal cut the sleep short) and the snapshot must show the main
            thread's handles.
  own-work  the library's own work is not the program's: by library with a
            100 ms time series, no handle of the library's own objects holds
            or ever held a byte; by thread, a script with one thread shows one
            thread's handles (the library's watcher thread has none).
  linked    tests/preload/linked_program.cpp, which links libdideverazez and
            librozudoru, through the preload in both modes: its trace sink
            gets the library's records, a bad_alloc thrown inside reaches its
            catch, and one snapshot holds its handle "Linked" (one page, for
            its 100-byte block) beside the preload's: one copy of the library
            serves the process.
"""
import json, os, subprocess, sys, time

preload, tool, work, check, linked_program = sys.argv[1:6]
os.makedirs(work, exist_ok=True)


def engines(snapshot):
    return {e["path"]: e for t in snapshot["trees"] for e in t["engines"]}


def take():
    report = os.path.join(work, "take-%p.json")
    env = dict(os.environ, LD_PRELOAD=preload, DIDEVERAZEZ_REPORT=report)
    sleeper = subprocess.Popen(
        [sys.executable, "-c",
         "import ctypes; print('ready', flush=True); print(ctypes.CDLL(None).sleep(3))"],
        env=env, stdout=subprocess.PIPE, text=True)
    assert sleeper.stdout.readline() == "ready\n"
    taken = os.path.join(work, "taken.json")
    run = subprocess.run([tool, "take", str(sleeper.pid), "-o", taken], capture_output=True,
                         text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    with open(taken, encoding="utf-8") as f:
        snapshot = json.load(f)
    paths = engines(snapshot)
    assert snapshot["process"] == sleeper.pid and "main/allocations" in paths, sorted(paths)
    left, _ = sleeper.communicate(timeout=30)
    assert sleeper.returncode == 0 and left.strip() == "0", f"sleep() returned {left!r}"
    print(f"snapshot taken while it slept ({len(paths)} handles); sleep() returned 0")


def own_work():
    script = "import json; print(len(json.dumps({str(i): list(range(i % 40)) for i in range(30000)})))"
    for by in ("library", "thread"):
        series = os.path.join(work, f"own-{by}.jsonl")
        if os.path.exists(series):
            os.remove(series)
        env = dict(os.environ, LD_PRELOAD=preload, DIDEVERAZEZ_PRELOAD_BY=by,
                   DIDEVERAZEZ_REPORT=series, DIDEVERAZEZ_REPORT_INTERVAL_MS="100")
        # Long enough for a few snapshots of the series.
        subprocess.run([sys.executable, "-c", script + "; import time; time.sleep(0.5)"],
                       env=env, check=True, capture_output=True)
        with open(series, encoding="utf-8") as f:
            snapshots = [json.loads(line) for line in f]
        assert len(snapshots) >= 3, len(snapshots)
        last = engines(snapshots[-1])
        if by == "library":
            own = {p: e["metrics"]["memory_cumul"] for p, e in last.items()
                   if p.startswith(("libdideverazez", "librozudoru"))}
            assert all(bytes == 0 for bytes in own.values()), own
            served = [p for p, e in last.items()
                      if p.endswith("/allocations") and e["metrics"]["memory_cumul"] > 0]
            assert served, sorted(last)
            print(f"by library, {len(snapshots)} snapshots: the library's own objects {own or 'have no handles'}")
        else:
            roots = sorted(p for p in last if "/" not in p and p != "DEBUG")
            assert roots == ["main"], roots
            print(f"by thread, {len(snapshots)} snapshots: roots {roots}")


def linked():
    for by in ("thread", "library"):
        report = os.path.join(work, f"linked-{by}.json")
        if os.path.exists(report):
            os.remove(report)
        env = dict(os.environ, LD_PRELOAD=preload, DIDEVERAZEZ_PRELOAD_BY=by,
                   DIDEVERAZEZ_REPORT=report)
        run = subprocess.run([linked_program], env=env, capture_output=True, text=True,
                             timeout=60)
        assert run.returncode == 0, run.stderr
        assert run.stdout == "records seen, bad_alloc caught, kept yes\n", run.stdout
        with open(report, encoding="utf-8") as f:
            paths = engines(json.load(f))
        # A root's figures are its pages: the one page its 100-byte block took.
        linked = paths["Linked"]["metrics"]
        assert (linked["memory_current"], linked["count_current"]) == (4036, 1), linked
        served = [p for p, e in paths.items()
                  if p.endswith("/allocations") and e["metrics"]["memory_cumul"] > 0]
        assert served, sorted(paths)
        print(f"by {by}: one snapshot holds Linked and {len(served)} served handles")


{"take": take, "own-work": own_work, "linked": linked}[check]()
