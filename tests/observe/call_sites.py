#!/usr/bin/env python3
"""Sampled call sites of a program with two known sites and a leak.

Runs tests/observe/call_sites.cpp (built against the shared library) with
DIDEVERAZEZ_REPORT and DIDEVERAZEZ_SAMPLE_BYTES, and checks from the snapshot
written at exit:
  - at 524288, the two sites of App/Assets (distinguished by the function
    their first frame lies in) are estimated within 10% of the bytes and
    blocks each allocated, and nothing is left in use;
  - at 1, every figure is exact;
  - App/Leaky's retired entry holds the leaked block's site, in LeakOne;
  - with the report tool: `leaks` names LeakOne and the line of the leak;
  - DIDEVERAZEZ_SAMPLE_BYTES=2^62 is taken; 2^62 + 1, 0 and what is no
    number (or a negative one) rejected and reported;
  - and with pprof (when it was built): `pprof -top` of the tool's profile
    gives the two functions' allocated bytes as the snapshot does, within 10%
    of the truth at 524288 and exactly at 1.

usage: call_sites.py PROGRAM WORK_DIR [REPORT_TOOL [PPROF]]
"""
import json, os, re, subprocess, sys


def run(program, work, sample_bytes):
    path = os.path.join(work, f"sites-{sample_bytes}.json")
    if os.path.exists(path):
        os.remove(path)
    env = dict(os.environ, DIDEVERAZEZ_REPORT=path, DIDEVERAZEZ_SAMPLE_BYTES=str(sample_bytes))
    # The program leaks one block on purpose: detect_leaks=0 keeps LeakSanitizer quiet.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    out = subprocess.run([program], env=env, check=True, capture_output=True, text=True).stdout
    starts = {m[0]: int(m[1], 16) for m in re.findall(r"^(\w+) (0x[0-9a-f]+)$", out, re.M)}
    truth = {m[0]: (int(m[1]), int(m[2]))
             for m in re.findall(r"^(\w+) (\d+) bytes (\d+) blocks$", out, re.M)}
    line = int(re.search(r"^leak line (\d+)$", out, re.M)[1])
    with open(path, encoding="utf-8") as f:
        return json.load(f), starts, truth, line, path


def function_of(address, starts):
    below = [(start, name) for name, start in starts.items() if start <= address]
    return max(below)[1] if below else None


def first_frame(snapshot, frames):
    """The first frame outside the library (an unoptimised build keeps the
    handle's own frame on top), as dideverazez-report drops them."""
    own = [(o["start"], o["end"]) for o in snapshot["objects"]
           if os.path.basename(o["path"]).startswith("libdideverazez")]
    return next(f for f in frames if not any(start <= f < end for start, end in own))


def sites_by_function(snapshot, path, starts):
    entry = next(r for r in snapshot["retired"] if r["path"] == path)
    found = {}
    for site in entry["sites"]:
        frames = snapshot["stacks"][site["stack"]]
        name = function_of(first_frame(snapshot, frames), starts)
        total = found.setdefault(name, {"in_use": [0, 0], "allocated": [0, 0]})
        for key in ("in_use", "allocated"):
            total[key][0] += site[key]["bytes"]
            total[key][1] += site[key]["blocks"]
    return found


def main():
    program, work = sys.argv[1], sys.argv[2]
    tool = sys.argv[3] if len(sys.argv) > 3 else ""
    pprof = sys.argv[4] if len(sys.argv) > 4 and os.access(sys.argv[4], os.X_OK) else ""
    if tool and not pprof:
        print("pprof not built (cli.pprof builds it): profiles not checked")
    os.makedirs(work, exist_ok=True)
    failures = []

    def check(what, ok):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    for sample_bytes in (524288, 1):
        snapshot, starts, truth, line, path = run(program, work, sample_bytes)
        check(f"{sample_bytes}: sampling recorded", snapshot.get("sampling", {}).get("bytes") == sample_bytes)
        sites = sites_by_function(snapshot, "App/Assets", starts)
        for name, function in (("meshes", "LoadMeshes"), ("textures", "LoadTextures")):
            bytes_, blocks = truth[name]
            got = sites.get(function, {"in_use": [-1, -1], "allocated": [0, 0]})
            b, k = got["allocated"]
            if sample_bytes == 1:
                check(f"1: {function} allocated {b} bytes in {k} blocks, exactly "
                      f"{bytes_} in {blocks}", (b, k) == (bytes_, blocks))
            else:
                check(f"{sample_bytes}: {function} allocated {b} bytes ({b / bytes_ - 1:+.1%}) "
                      f"in {k} blocks ({k / blocks - 1:+.1%})",
                      abs(b / bytes_ - 1) <= 0.10 and abs(k / blocks - 1) <= 0.10)
            check(f"{sample_bytes}: {function} has nothing in use", got["in_use"] == [0, 0])
        if tool and pprof:
            profile = os.path.join(work, f"sites-{sample_bytes}.pb.gz")
            subprocess.run([tool, "pprof", path, "-o", profile], check=True)
            top = subprocess.run([pprof, "-top", "-sample_index=alloc_space", "-unit=B", profile],
                                 capture_output=True, text=True, env=dict(os.environ, HOME=work))
            # "flat flat% sum% cum cum% name": the flat bytes of each function.
            flat = {}
            for row in top.stdout.splitlines():
                parts = row.split()
                if len(parts) >= 6 and parts[0].endswith("B") and parts[0][:-1].isdigit():
                    flat[" ".join(parts[5:])] = int(parts[0][:-1])
            for name, function in (("meshes", "LoadMeshes"), ("textures", "LoadTextures")):
                got = next((v for k, v in flat.items() if function in k), None)
                bytes_ = truth[name][0]
                if sample_bytes == 1:
                    check(f"1: pprof -top gives {function} {got} bytes, exactly {bytes_}", got == bytes_)
                else:
                    check(f"{sample_bytes}: pprof -top gives {function} {got} bytes "
                          f"({(got or 0) / bytes_ - 1:+.1%})",
                          got is not None and abs(got / bytes_ - 1) <= 0.10)
        leaked = sites_by_function(snapshot, "App/Leaky", starts)
        if sample_bytes == 1:
            check("1: the leak's site holds its block",
                  leaked == {"LeakOne": {"in_use": [4000, 1], "allocated": [4000, 1]}})
            if tool:
                result = subprocess.run([tool, "leaks", path], capture_output=True, text=True)
                print(result.stdout, end="")
                check("leaks names LeakOne and its line",
                      result.returncode == 0 and "LeakOne" in result.stdout
                      and f"call_sites.cpp:{line}" in result.stdout)
    # The mean's bound: 2^62 is taken, one more is rejected and reported, and so
    # is what is no number of bytes (the negative one would wrap to 1).
    for sample_bytes in (1 << 62, (1 << 62) + 1, "abc", "12x", "0", "-18446744073709551615"):
        taken = sample_bytes == 1 << 62
        path = os.path.join(work, "bound.json")
        env = dict(os.environ, DIDEVERAZEZ_REPORT=path, DIDEVERAZEZ_SAMPLE_BYTES=str(sample_bytes),
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        logged = subprocess.run([program], env=env, check=True, capture_output=True, text=True).stderr
        with open(path, encoding="utf-8") as f:
            sampling = json.load(f).get("sampling", {}).get("bytes")
        rejection = (f"dideverazez: DIDEVERAZEZ_SAMPLE_BYTES={sample_bytes} is not a number of "
                   "bytes from 1 to 2^62; nothing is sampled\n")
        check(f"{sample_bytes}: {'taken' if taken else 'rejected and reported'}",
              (rejection in logged, sampling) == ((False, sample_bytes) if taken
                                              else (True, None)))
    if failures:
        sys.exit(1)


main()
