#!/usr/bin/env python3
"""The OpenMetrics text through the real system: node_exporter's textfile
collector, scraped by Prometheus, read back over Prometheus's query API.

Starts Debian's prometheus-node-exporter (the textfile collector alone, on a
free port of 127.0.0.1) and prometheus (its own configuration and storage in
WORK_DIR, scraping it every second), runs examples/client --linger with
DIDEVERAZEZ_METRICS in the collector's folder and DIDEVERAZEZ_REPORT beside
it, asks for a snapshot with SIGUSR1, and checks that the current bytes of
ClientApp/Cache and the process's total, as /api/v1/query returns them, are
the figures of that moment's JSON snapshot, and that the collector read the
file without an error. Then a fleet: programs with DIDEVERAZEZ_METRICS=
<folder>/app-%p.prom side by side, one restarted and one killed, each of
whose files node_exporter serves once, without a series collected twice.
Both servers and the clients are killed at the end, whatever happens. Exit 77 (skipped) without the two programs.

usage: prometheus_textfile.py CLIENT WORK_DIR
"""
import atexit, json, os, shutil, signal, socket, subprocess, sys, time, urllib.parse
import urllib.request

NODE_EXPORTER = shutil.which("prometheus-node-exporter") or shutil.which("node_exporter")
PROMETHEUS = shutil.which("prometheus")
started = []


def stop_all():
    for process in started:
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(command, log, **kwargs):
    process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                               start_new_session=True, **kwargs)
    started.append(process)
    return process


def get(url):
    with urllib.request.urlopen(url, timeout=5) as answer:
        return answer.read().decode("utf-8")


def wait(what, check, limit=60.0):
    start_time = time.monotonic()
    last = None
    while time.monotonic() - start_time < limit:
        try:
            result = check()
            if result is not None:
                return result
        except OSError as error:  # not listening yet
            last = error
        time.sleep(0.2)
    raise AssertionError(f"{what}: not within {limit:.0f} s ({last})")


def query(port, expression):
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    answer = json.loads(get(url))
    assert answer["status"] == "success", answer
    return answer["data"]["result"]


def main():
    client, work = sys.argv[1:3]
    if NODE_EXPORTER is None or PROMETHEUS is None:
        print("prometheus and prometheus-node-exporter are not installed "
              "(Debian: apt-get install prometheus prometheus-node-exporter): skipped")
        return 77
    atexit.register(stop_all)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    shutil.rmtree(work, ignore_errors=True)
    textfiles = os.path.join(work, "textfile")
    os.makedirs(textfiles)
    node_port, prometheus_port = free_port(), free_port()
    node_log = open(os.path.join(work, "node_exporter.log"), "w")
    start([NODE_EXPORTER, f"--web.listen-address=127.0.0.1:{node_port}",
           "--collector.disable-defaults", "--collector.textfile",
           f"--collector.textfile.directory={textfiles}"], node_log)
    config = os.path.join(work, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                f"      - targets: ['127.0.0.1:{node_port}']\n")
    prometheus_log = open(os.path.join(work, "prometheus.log"), "w")
    start([PROMETHEUS, f"--config.file={config}",
           f"--storage.tsdb.path={os.path.join(work, 'tsdb')}",
           f"--web.listen-address=127.0.0.1:{prometheus_port}"], prometheus_log, cwd=work)

    report = os.path.join(work, "client.json")
    env = dict(os.environ, DIDEVERAZEZ_METRICS=os.path.join(textfiles, "dideverazez.prom"),
               DIDEVERAZEZ_REPORT=report, DIDEVERAZEZ_REPORT_SIGNAL="USR1")
    env.pop("DIDEVERAZEZ_REPORT_INTERVAL_MS", None)
    program = subprocess.Popen([client, "--linger", "120000"], env=env, stdout=subprocess.PIPE,
                               text=True, start_new_session=True)
    started.append(program)
    while program.stdout.readline() not in ("ready\n", ""):  # its tree holds memory now
        pass
    program.send_signal(signal.SIGUSR1)
    wait("the snapshot on SIGUSR1", lambda: True if os.path.exists(report) else None, 10)
    prom = os.path.join(textfiles, "dideverazez.prom")
    wait("the metrics on SIGUSR1", lambda: True if os.path.exists(prom) else None, 10)
    time.sleep(0.2)
    with open(report, encoding="utf-8") as f:
        snapshot = json.load(f)
    engines = {e["path"]: e for t in snapshot["trees"] for e in t["engines"]}
    figure = engines["ClientApp/Cache"]["metrics"]["memory_current"]
    total = sum(t["engines"][0]["metrics"]["memory_current"] for t in snapshot["trees"])

    wait("Prometheus ready", lambda: True if "Ready" in get(
        f"http://127.0.0.1:{prometheus_port}/-/ready") else None)
    expression = 'dideverazez_handle_bytes{path="ClientApp/Cache"}'

    def scraped():
        result = query(prometheus_port, expression)
        return result if result else None

    result = wait(f"{expression} in Prometheus", scraped)
    assert len(result) == 1, result
    got = int(result[0]["value"][1])
    labels = {k: v for k, v in result[0]["metric"].items() if k in ("path", "root", "kind")}
    print(f"compared: {expression} {labels}: Prometheus says {got} bytes, "
          f"the snapshot of the same moment {figure}")
    assert got == figure and figure > 0, (got, figure)
    process_total = int(query(prometheus_port, "dideverazez_process_bytes")[0]["value"][1])
    print(f"compared: dideverazez_process_bytes: Prometheus says {process_total}, "
          f"the snapshot's roots add up to {total}")
    assert process_total == total
    errors = query(prometheus_port, "node_textfile_scrape_error")
    assert errors and all(e["value"][1] == "0" for e in errors), errors
    print("node_exporter's textfile collector read the file without an error")
    fleet(client, env, textfiles, node_port, node_log.name)
    return 0


def fleet(client, env, textfiles, node_port, node_log):
    """Programs writing DIDEVERAZEZ_METRICS=<folder>/app-%p.prom side by side:
    one restarted (its first process ends normally and removes its file), one
    killed (its file stays, its series named by its pid). node_exporter serves
    each file's series once, and logs no series collected twice."""
    env = dict(env, DIDEVERAZEZ_METRICS=os.path.join(textfiles, "app-%p.prom"),
               DIDEVERAZEZ_REPORT_INTERVAL_MS="100")
    env.pop("DIDEVERAZEZ_REPORT", None)

    def launch(linger):
        process = subprocess.Popen([client, "--linger", str(linger)], env=env,
                                   stdout=subprocess.PIPE, text=True, start_new_session=True)
        started.append(process)
        path = os.path.join(textfiles, f"app-{process.pid}.prom")
        wait(f"the metrics of {process.pid}", lambda: True if os.path.exists(path) else None, 10)
        return process

    steady, restarted, killed = launch(120000), launch(300), launch(120000)
    assert restarted.wait(timeout=30) == 0
    killed.kill()
    killed.wait()
    again = launch(120000)
    files = sorted(f for f in os.listdir(textfiles) if f.startswith("app-"))
    expected = sorted(f"app-{p.pid}.prom" for p in (steady, killed, again))
    assert files == expected, (files, expected)
    print(f"the restarted program's first file is gone, the killed one's stays: {files}")

    time.sleep(0.3)  # every file rewritten at least once more
    text = get(f"http://127.0.0.1:{node_port}/metrics")
    pids = [line.split('pid="')[1].split('"')[0] for line in text.splitlines()
            if line.startswith("dideverazez_process_bytes{") and 'pid="' in line]
    want = sorted(str(p.pid) for p in (steady, killed, again))
    assert sorted(p for p in pids if p in want) == want, (pids, want)
    assert str(restarted.pid) not in pids, pids
    programs = {line.split('program="')[1].split('"')[0] for line in text.splitlines()
                if line.startswith("dideverazez_process_bytes{")}
    assert programs == {"dideverazez_client"}, programs
    errors = [line for line in text.splitlines() if line.startswith("node_textfile_scrape_error")]
    assert errors == ["node_textfile_scrape_error 0"], errors
    with open(node_log, encoding="utf-8", errors="replace") as f:
        log = f.read()
    assert "collected before" not in log, log[-2000:]
    print(f"node_exporter serves dideverazez_process_bytes once for each of {want}, "
          "and logs no series collected twice")


if __name__ == "__main__":
    try:
        sys.exit(main())
    finally:
        stop_all()
