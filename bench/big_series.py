#!/usr/bin/env python3
"""Large inputs for bench/report_scale.sh, of the shape the library writes.

    bench/big_series.py series OUT.jsonl [--snapshots N] [--handles H]
    bench/big_series.py snapshot OUT.json [--trees T]
    bench/big_series.py sampled OUT.jsonl --preload LIB [--size BYTES]

series: N snapshots (default 20,000), one a line as DIDEVERAZEZ_REPORT_INTERVAL_MS
writes them, each the last snapshot of tests/data/snapshot_series.jsonl with H
more handles (default 2) under its root Scene, every figure moving from one
snapshot to the next, each root peaking at a moment of its own: about 10 KB a
snapshot, 200 MB in all.

snapshot: one snapshot of T trees (default 185,000), each a paged root with a
child, about 250 MB: a program with very many roots.

sampled: a real program's series with call-site sampling: this Python
interpreter run under the preload library LIB (libdideverazez_preload.so of
a build), handles by library, a snapshot every 20 ms, one allocation sampled
in about 64 KiB requested (DIDEVERAZEZ_PRELOAD_BY=library,
DIDEVERAZEZ_REPORT_INTERVAL_MS=20, DIDEVERAZEZ_SAMPLE_BYTES=65536), running
SAMPLED_PROGRAM: lists and dictionaries made through calls 1 to 13 deep and
dropped in batches, until the series holds BYTES (default 200,000,000); then
it frees them and ends. Each snapshot lists the stacks sampled so far (about
a hundred, of 50 frames each) and the objects loaded: most of its bytes.

Figures of series and snapshot are made from the snapshot's number alone, so
those files are the same on every run; a sampled series differs from run to
run in its moments, not in its shape.
"""
import argparse
import copy
import json
import math
import os
import pathlib
import subprocess
import sys

TEMPLATE = pathlib.Path(__file__).resolve().parent.parent / "tests/data/snapshot_series.jsonl"


def template():
    return json.loads(TEMPLATE.read_text().splitlines()[-1])


def scale(engine, factor):
    """The engine's current figures times `factor`, peaks and totals kept above them."""
    m = engine["metrics"]
    m["memory_current"] = int(m["memory_current"] * factor)
    m["count_current"] = int(m["count_current"] * factor)
    m["memory_peak"] = max(m["memory_peak"], m["memory_current"])
    m["memory_cumul"] = max(m["memory_cumul"], m["memory_current"])
    for statistic in engine["statistics"].values():
        if isinstance(statistic, dict):
            items = statistic["items"]
            items[0] = int(items[0] * factor)
            items[1] = max(items[1], items[0])
            items[2] = max(items[2], items[0])


def series(out, snapshots, handles):
    base = template()
    scene = next(t for t in base["trees"] if t["engines"][0]["path"] == "Scene")
    root = scene["engines"][0]
    child = scene["engines"][1]
    for h in range(handles):
        extra = copy.deepcopy(child)
        extra["path"] = "Scene/Worker%02d" % h
        extra["name"] = "Worker%02d" % h
        extra["address"] = "0x55d0c1b%05x" % (h * 0x1a0)
        extra["parent"] = root["address"]
        scene["engines"].append(extra)
    with open(out, "w") as f:
        for i in range(snapshots):
            doc = copy.deepcopy(base)
            doc["taken_ms"] = 100 * (i + 1)
            for t, tree in enumerate(doc["trees"]):
                # Each tree's figures follow a wave of its own.
                phase = 2 * math.pi * (i / snapshots * (t + 1) + t / 3)
                factor = 1.0 + 0.5 * math.sin(phase)
                for engine in tree["engines"]:
                    scale(engine, factor)
            f.write(json.dumps(doc, separators=(",", ":")))
            f.write("\n")


def snapshot(out, trees):
    base = template()
    scene = next(t for t in base["trees"] if t["engines"][0]["path"] == "Scene")
    root = json.dumps(scene["engines"][0], separators=(",", ":"))
    child = json.dumps(scene["engines"][1], separators=(",", ":"))
    head = dict(base)
    with open(out, "w") as f:
        f.write('{"format":"dideverazez-snapshot","version":1,"process":%d,"taken_ms":%d,"trees":['
                % (head["process"], head["taken_ms"]))
        for t in range(trees):
            name = "Pool%06d" % t
            address = "0x7f%010x" % (t * 0x400)
            r = (root.replace('"Scene"', '"%s"' % name)
                 .replace('"0x55d0c1a20010"', '"%s"' % address))
            c = (child.replace('"Scene/Meshes"', '"%s/Meshes"' % name)
                 .replace('"0x55d0c1a20010"', '"%s"' % address)
                 .replace('"0x55d0c1a201b0"', '"0x7e%010x"' % (t * 0x400)))
            f.write(("," if t else "") + '{"cached_pages":0,"classes":[],"engines":[%s,%s]}' % (r, c))
        f.write('],"retired":[],"histogram":%s}\n' % json.dumps(base.get("histogram", []),
                                                           separators=(",", ":")))


SAMPLED_PROGRAM = r"""
import os, random, sys
out, size = sys.argv[1], int(sys.argv[2])
random.seed(1)
keep = []
def make(n):
    return [str(j) * (j % 7 + 1) for j in range(n)]
def deep(k, n):
    return make(n) if k == 0 else deep(k - 1, n)
i = 0
while i % 64 or not os.path.exists(out) or os.path.getsize(out) < size:
    keep.append(deep(i % 13, 200 + i % 300))
    keep.append({j: bytes(64 * (j % 5)) for j in range(i % 50)})
    if len(keep) > 4000:
        del keep[:random.randint(500, 3000)]
    i += 1
keep.clear()
"""


def sampled(out, preload, size):
    if os.path.exists(out):
        os.remove(out)
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(preload), DIDEVERAZEZ_PRELOAD_BY="library",
               DIDEVERAZEZ_REPORT=os.path.abspath(out), DIDEVERAZEZ_REPORT_INTERVAL_MS="20",
               DIDEVERAZEZ_SAMPLE_BYTES="65536")
    # The interpreter itself, not a wrapper script that would start shells
    # under the preload library too, each writing to the series.
    subprocess.run([sys.executable, "-c", SAMPLED_PROGRAM, out, str(size)], env=env, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["series", "snapshot", "sampled"])
    parser.add_argument("out")
    parser.add_argument("--snapshots", type=int, default=20000)
    parser.add_argument("--handles", type=int, default=2)
    parser.add_argument("--trees", type=int, default=185000)
    parser.add_argument("--preload", help="libdideverazez_preload.so, for sampled")
    parser.add_argument("--size", type=int, default=200_000_000)
    args = parser.parse_args()
    if args.kind == "series":
        series(args.out, args.snapshots, args.handles)
    elif args.kind == "sampled":
        if not args.preload:
            parser.error("sampled needs --preload LIB")
        sampled(args.out, args.preload, args.size)
    else:
        snapshot(args.out, args.trees)


if __name__ == "__main__":
    main()
