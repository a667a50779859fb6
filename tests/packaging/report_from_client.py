#!/usr/bin/env python3
"""A snapshot from a program that was not changed for it.

Runs the installed-package client with DIDEVERAZEZ_REPORT set and --linger,
asks for a snapshot with SIGUSR1 while its tree holds memory, and checks:
  - the requested snapshot is written within a second and shows the live tree
    (ClientApp and ClientApp/Cache, holding memory);
  - the snapshot written at exit lists both handles as retired, with exactly
    the metrics the client printed just before each went;
  - both validate against docs/snapshot.schema.json (when the Python at hand
    has jsonschema).

usage: report_from_client.py CLIENT SCHEMA WORK_DIR
"""
import json, os, signal, subprocess, sys, time


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def validate(snapshot, schema_path):
    try:
        import jsonschema
    except ImportError:
        print("jsonschema is not installed: the schema is not checked")
        return
    jsonschema.validate(snapshot, load(schema_path))


def main():
    client, schema, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    report = os.path.join(work, "client-%p.json")
    env = dict(os.environ, DIDEVERAZEZ_REPORT=report)
    process = subprocess.Popen([client, "--linger", "3000"], env=env, stdout=subprocess.PIPE,
                               text=True)
    path = report.replace("%p", str(process.pid))
    lines = []
    while True:  # until the tree is built
        line = process.stdout.readline()
        lines.append(line)
        if line in ("ready\n", ""):
            break
    asked = time.monotonic()
    process.send_signal(signal.SIGUSR1)
    while not os.path.exists(path) and time.monotonic() - asked < 1.0:
        time.sleep(0.01)
    took = time.monotonic() - asked
    assert os.path.exists(path), "no snapshot within a second of SIGUSR1"
    live = load(path)
    validate(live, schema)
    paths = {e["path"]: e for t in live["trees"] for e in t["engines"]}
    assert "ClientApp" in paths and "ClientApp/Cache" in paths, sorted(paths)
    assert paths["ClientApp/Cache"]["metrics"]["memory_current"] > 0, paths["ClientApp/Cache"]
    print(f"requested snapshot written in {took * 1000:.0f} ms: {sorted(paths)}")

    output, _ = process.communicate(timeout=60)
    lines += output.splitlines(keepends=True)
    assert process.returncode == 0, "".join(lines)
    final = load(path)
    validate(final, schema)
    retired = {r["path"]: r for r in final["retired"]}
    for line in lines:
        if line.startswith("metrics "):
            name, figures = line[len("metrics "):].split(": ")
            self_peak, peak, cumul, blocks = map(int, figures.split())
            m = retired[name]["metrics"]
            got = (m["self_peak"], m["memory_peak"], m["memory_cumul"], m["count_cumul"])
            assert got == (self_peak, peak, cumul, blocks), (name, got, figures)
            print(f"retired {name}: {got} as the client's metrics said")
    assert {"ClientApp", "ClientApp/Cache"} <= retired.keys(), sorted(retired)
    os.remove(path)


if __name__ == "__main__":
    main()
