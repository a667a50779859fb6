#!/usr/bin/env python3
"""OpenMetrics text from a program that was not changed for it.

Runs examples/client (--linger) with DIDEVERAZEZ_METRICS set and checks:
  - with DIDEVERAZEZ_REPORT too, the text written on SIGUSR1 is, byte for
    byte, what `dideverazez-report metrics` makes of the JSON snapshot of the
    same moment (one writer, one format), and the live handle
    ClientApp/Cache's bytes are the snapshot's; at exit the file, named for
    its process (%p), is removed;
  - with DIDEVERAZEZ_METRICS alone, a time series every 30 ms rewrites the
    text whole (every read ends with "# EOF"), no JSON is written and no
    temporary file stays behind;
  - a metrics path that is a folder is reported once on standard error, and
    the program runs as before;
  - promtool, when installed, finds nothing wrong with the texts.

usage: metrics_from_client.py CLIENT TOOL WORK_DIR
"""
import json, os, re, shutil, signal, subprocess, sys, time


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def wait_for(path, since, what, limit=5.0):
    """Waits until `path` is rewritten after `since` (its mtime)."""
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if os.path.exists(path) and os.stat(path).st_mtime_ns > since:
            return
        time.sleep(0.01)
    raise AssertionError(f"no {what} within {limit} s")


def tool_text(tool, snapshot):
    return subprocess.run([tool, "metrics", snapshot], capture_output=True, text=True,
                          check=True).stdout


def bytes_of(text, path):
    pattern = r'^dideverazez_handle_bytes\{path="' + re.escape(path) + r'",[^}]*\} (\d+)$'
    found = re.findall(pattern, text, re.M)
    assert len(found) == 1, (path, found)
    return int(found[0])


def promtool(text, what):
    if shutil.which("promtool") is None:
        print(f"promtool not installed: {what} not checked by it")
        return
    run = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                         text=True)
    assert run.returncode == 0, (what, run.stdout, run.stderr)
    print(f"promtool check metrics: {what} passes")


def main():
    client, tool, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    env = dict(os.environ, DIDEVERAZEZ_METRICS=os.path.join(work, "client-%p.prom"),
               DIDEVERAZEZ_REPORT=os.path.join(work, "client-%p.json"),
               DIDEVERAZEZ_REPORT_SIGNAL="USR1")
    process = subprocess.Popen([client, "--linger", "1500"], env=env, stdout=subprocess.PIPE,
                               text=True)
    metrics = os.path.join(work, f"client-{process.pid}.prom")
    report = os.path.join(work, f"client-{process.pid}.json")
    while process.stdout.readline() not in ("ready\n", ""):
        pass
    process.send_signal(signal.SIGUSR1)
    wait_for(report, 0, "snapshot after SIGUSR1")
    wait_for(metrics, 0, "metrics after SIGUSR1")
    time.sleep(0.1)  # both are renamed into place; the metrics come second
    live, snapshot = read(metrics), json.loads(read(report))
    assert live == tool_text(tool, report), "the library's text and the tool's differ"
    cache = next(e for t in snapshot["trees"] for e in t["engines"]
                 if e["path"] == "ClientApp/Cache")
    figure = cache["metrics"]["memory_current"]
    assert figure > 0 and bytes_of(live, "ClientApp/Cache") == figure, figure
    print(f"on SIGUSR1: ClientApp/Cache holds {figure} bytes in both; "
          f"the text is the tool's, byte for byte ({len(live)} bytes)")
    promtool(live, "the text on SIGUSR1")
    process.communicate(timeout=60)
    assert process.returncode == 0
    assert not os.path.exists(metrics), "the metrics file of a process that ended is left"
    assert json.loads(read(report))["at_exit"] is True
    print("at exit: the process's metrics file is removed; its last snapshot says at_exit")

    alone = os.path.join(work, "alone")
    os.makedirs(alone)
    env = dict(os.environ, DIDEVERAZEZ_METRICS=os.path.join(alone, "m.prom"),
               DIDEVERAZEZ_REPORT_INTERVAL_MS="30")
    env.pop("DIDEVERAZEZ_REPORT", None)
    process = subprocess.Popen([client, "--linger", "600"], env=env, stdout=subprocess.PIPE,
                               text=True)
    while process.stdout.readline() not in ("ready\n", ""):
        pass
    path = os.path.join(alone, "m.prom")
    wait_for(path, 0, "metrics with DIDEVERAZEZ_METRICS alone")
    reads, seen = 0, set()
    while process.poll() is None:
        text = read(path)
        assert text.endswith("# EOF\n"), text[-80:]
        seen.add(text)
        reads += 1
        time.sleep(0.005)
    process.communicate()
    assert process.returncode == 0
    assert 'path="ClientApp/Cache"' in "".join(seen)
    assert os.listdir(alone) == ["m.prom"], os.listdir(alone)  # no %p: shared, so kept
    print(f"DIDEVERAZEZ_METRICS alone: {reads} reads, every one whole; "
          f"only {os.listdir(alone)} in the folder")

    env = dict(os.environ, DIDEVERAZEZ_METRICS=work, DIDEVERAZEZ_REPORT_INTERVAL_MS="20")
    env.pop("DIDEVERAZEZ_REPORT", None)
    run = subprocess.run([client, "--linger", "200"], env=env, capture_output=True, text=True)
    logged = [line for line in run.stderr.splitlines() if "metrics path" in line]
    assert run.returncode == 0 and len(logged) == 1, run.stderr
    print(f"a folder as the path: reported once ({logged[0]})")


if __name__ == "__main__":
    main()
