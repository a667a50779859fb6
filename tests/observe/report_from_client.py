#!/usr/bin/env python3
"""Snapshots from a program that was not changed for them.

Runs examples/client (built in the tree, or from the installed package) with
DIDEVERAZEZ_REPORT set and --linger, asks for a snapshot while its tree holds
memory, over its socket and with SIGUSR1 (DIDEVERAZEZ_REPORT_SIGNAL=USR1), and
checks:
  - the requested snapshot comes back over the socket, is written within a
    second of the signal, and shows the live tree (ClientApp and
    ClientApp/Cache, holding memory);
  - the snapshot written at exit lists both handles as retired, with exactly
    the metrics the client printed just before each went;
  - both validate against docs/snapshot.schema.json (when the Python at hand
    has jsonschema);
  - a report path that cannot be written, with a time series asked for, is
    reported once on standard error, and the program runs as before;
  - a FIFO as the report path is rejected once and left a FIFO, and nothing
    waits on it;
  - without the descriptors for its pipe, or the address space for its
    thread, the library says so once, runs on without requests, and still
    writes its report at exit.

usage: report_from_client.py CLIENT SCHEMA WORK_DIR
"""
import json, os, resource, signal, socket, subprocess, sys, time


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


def take(pid):
    """The snapshot process `pid` answers on its socket, as text."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as peer:
        peer.settimeout(10)
        peer.connect(f"\0dideverazez/{os.geteuid()}/{pid}")
        peer.sendall(b"snapshot\n")
        answer = b""
        while chunk := peer.recv(65536):
            answer += chunk
    return answer.decode("utf-8")


def check_live(snapshot):
    paths = {e["path"]: e for t in snapshot["trees"] for e in t["engines"]}
    assert "ClientApp" in paths and "ClientApp/Cache" in paths, sorted(paths)
    assert paths["ClientApp/Cache"]["metrics"]["memory_current"] > 0, paths["ClientApp/Cache"]
    return sorted(paths)


def main():
    client, schema, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    report = os.path.join(work, "client-%p.json")
    env = dict(os.environ, DIDEVERAZEZ_REPORT=report, DIDEVERAZEZ_REPORT_SIGNAL="USR1")
    process = subprocess.Popen([client, "--linger", "1500"], env=env, stdout=subprocess.PIPE,
                               text=True)
    path = report.replace("%p", str(process.pid))
    lines = []
    while True:  # until the tree is built
        line = process.stdout.readline()
        lines.append(line)
        if line in ("ready\n", ""):
            break
    answer = take(process.pid)
    assert answer.endswith("}\n") and answer.count("\n") == 1, answer[-80:]
    taken = json.loads(answer)
    validate(taken, schema)
    print(f"snapshot taken over the socket: {check_live(taken)}")
    os.remove(path)  # the request wrote it too
    asked = time.monotonic()
    process.send_signal(signal.SIGUSR1)
    while not os.path.exists(path) and time.monotonic() - asked < 1.0:
        time.sleep(0.01)
    took = time.monotonic() - asked
    assert os.path.exists(path), "no snapshot within a second of SIGUSR1"
    live = load(path)
    validate(live, schema)
    print(f"snapshot on SIGUSR1 written in {took * 1000:.0f} ms: {check_live(live)}")

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
            print(f"retired {name}: {got} as the client printed them")
    assert {"ClientApp", "ClientApp/Cache"} <= retired.keys(), sorted(retired)
    os.remove(path)

    series = os.path.join(work, "series.jsonl")
    if os.path.exists(series):
        os.remove(series)
    env = dict(os.environ, DIDEVERAZEZ_REPORT=series, DIDEVERAZEZ_REPORT_INTERVAL_MS="50")
    subprocess.run([client, "--linger", "400"], env=env, capture_output=True, check=True)
    with open(series, encoding="utf-8") as f:
        snapshots = [json.loads(line) for line in f]
    assert len(snapshots) >= 4, f"{len(snapshots)} snapshots in 400 ms"
    assert [s["taken_ms"] for s in snapshots] == sorted(s["taken_ms"] for s in snapshots)
    assert {r["path"] for r in snapshots[-1]["retired"]} >= {"ClientApp", "ClientApp/Cache"}
    print(f"a time series every 50 ms: {len(snapshots)} snapshots, the last at exit")

    env = dict(os.environ, DIDEVERAZEZ_REPORT=os.path.join(work, "no-such-folder", "x.jsonl"),
               DIDEVERAZEZ_REPORT_INTERVAL_MS="20")
    run = subprocess.run([client, "--linger", "300"], env=env, capture_output=True, text=True)
    logged = [line for line in run.stderr.splitlines() if "cannot write the report" in line]
    assert run.returncode == 0 and len(logged) == 1, run.stderr
    print(f"an unwritable path: reported once ({logged[0]})")

    fifo = os.path.join(work, "report.fifo")
    if os.path.exists(fifo):
        os.remove(fifo)
    os.mkfifo(fifo)
    env = dict(os.environ, DIDEVERAZEZ_REPORT=fifo, DIDEVERAZEZ_REPORT_INTERVAL_MS="20")
    run = subprocess.run([client, "--linger", "200"], env=env, capture_output=True, text=True,
                         timeout=30)
    logged = [line for line in run.stderr.splitlines() if "not a regular file" in line]
    assert run.returncode == 0 and len(logged) == 1 and os.path.exists(fifo), run.stderr
    assert not os.path.isfile(fifo)
    os.remove(fifo)
    print(f"a FIFO as the path: rejected once ({logged[0]})")

    def starved(limit):
        """The client with `limit` applied, its report at exit and its complaint."""
        report = os.path.join(work, "starved.json")
        if os.path.exists(report):
            os.remove(report)
        env = dict(os.environ, DIDEVERAZEZ_REPORT=report, DIDEVERAZEZ_REPORT_INTERVAL_MS="1000")
        run = subprocess.run([client, "--linger", "300"], env=env, capture_output=True,
                             text=True, timeout=30, preexec_fn=limit)
        assert run.returncode == 0, run.stderr
        with open(report, encoding="utf-8") as f:
            lines = f.read().splitlines()
        return lines, [line for line in run.stderr.splitlines() if line.startswith("dideverazez:")]

    if os.environ.get("DIDEVERAZEZ_TEST_SANITIZED"):
        # A sanitizer's own runtime needs the descriptors and address space
        # these runs take away.
        print("sanitized client: the runs without descriptors or address space are left out")
        return
    # Four descriptors: standard input, output and error, and one more: no pipe.
    lines, logged = starved(lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4)))
    assert len(lines) == 1 and len(logged) == 1 and "pipe" in logged[0], (lines, logged)
    print(f"no descriptors for the pipe: reported once ({logged[0]}), one snapshot at exit")
    # Threads asking for a 1 GiB stack in 512 MiB of address space: no thread.
    lines, logged = starved(lambda: (resource.setrlimit(resource.RLIMIT_STACK, (1 << 30, 1 << 30)),
                                   resource.setrlimit(resource.RLIMIT_AS, (1 << 29, 1 << 29))))
    assert len(lines) == 1 and len(logged) == 1 and "thread" in logged[0], (lines, logged)
    print(f"no address space for the thread: reported once ({logged[0]}), one snapshot at exit")


if __name__ == "__main__":
    main()
