"""Writes a snapshot of many live handles, for the viewer's page at scale.

Usage: many_handles.py [HANDLES] > FILE.json   (HANDLES: 20000 unless given)

The trees: DEBUG first, nearly empty; three libraries with nothing in use;
App, with modules App/Module<i> of parts App/Module<i>/Part<j>, their bytes
falling off as a power of their rank (a few large, most of a few hundred
bytes); and one deep handle, App/Module7/Part3/Cache/Shard/Needle. Figures are
consistent as the library writes them: a handle's current, peak and
cumulative bytes hold its subtree's. Deterministic: the same HANDLES, the
same file.
"""
import json
import sys

PARTS = 128  # parts per module
DEEP = ["Cache", "Shard", "Needle"]  # below App/Module7/Part3


def engine(path, address, parent, own):
    """An engine whose own bytes now are `own` (peak twice, cumulative four
    times that), one block per 64 bytes; its subtree's added in finish()."""
    blocks = (own + 63) // 64
    return {"path": path, "name": path.rsplit("/", 1)[-1], "address": "0x%x" % address,
            "parent": None if parent is None else parent["address"], "kind": "basic",
            "global": parent is None and path == "DEBUG", "born_ms": 1, "measuring": True,
            "own": (own, 2 * own, 4 * own, blocks, 4 * blocks), "children": []}


def finish(node, out):
    """Adds the subtree's figures up and writes node then its subtree, depth first."""
    out.append(node)
    sums = list(node["own"])
    for child in node.pop("children"):
        for i, v in enumerate(finish(child, out)):
            sums[i] += v
    own = node.pop("own")
    current, peak, cumul, count, ever = sums
    node["metrics"] = {"time_total": 0, "self_peak": own[1], "memory_peak": peak,
                       "memory_current": current, "memory_cumul": cumul,
                       "count_current": count, "count_cumul": ever}
    figures = lambda b, n: {"bytes": b, "items": n}
    node["statistics"] = {
        "global": figures([current, peak, cumul], [count, count, ever]),
        "self": figures([own[0], own[1], own[2]], [own[3], own[3], own[4]]),
        "large": figures([0, 0, 0], [0, 0, 0]),
        "used": figures([current, peak, cumul], [count, count, ever]),
        "reserved": [0, 0, 0], "pages": figures([0, 0, 0], [0, 0, 0]),
        "pooled": figures([0, 0, 0], [0, 0, 0])}
    return sums


def main(handles=20000):
    address = iter(range(0x10000000, 1 << 48, 0x100))
    roots, count = [], 0

    def add(path, parent, own):
        nonlocal count
        node = engine(path, next(address), parent, own)
        (parent["children"] if parent else roots).append(node)
        count += 1
        return node

    add("DEBUG", None, 4096)
    for name in ("libcrypto", "libxml", "libpng"):
        add(name, None, 0)
    app = add("App", None, 1 << 20)
    module, rank = None, 0
    while count < handles:
        if module is None or len(module["children"]) == PARTS:
            module = add("App/Module%d" % (rank // PARTS), app, 8192)
            continue
        part = add("%s/Part%d" % (module["path"], len(module["children"])), module,
                   max(64, (64 << 20) // (rank + 1) ** 2))
        rank += 1
        if part["path"] == "App/Module7/Part3":
            for name in DEEP:
                if count < handles:
                    part = add(part["path"] + "/" + name, part, 4096)
    trees = []
    for root in roots:
        engines = []
        finish(root, engines)
        trees.append({"cached_pages": 0, "classes": [], "engines": engines})
    sys.stdout.write(json.dumps({"format": "dideverazez-snapshot", "version": 1, "process": 4242,
                                 "taken_ms": 5000, "trees": trees, "retired": [],
                                 "histogram": {"name": "Global", "pages": 0, "classes": []}}))
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
