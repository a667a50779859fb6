#!/usr/bin/env bash
# Real programs nobody here wrote, each run plainly and then with
# libdideverazez_preload.so in both modes: their output must not change, and
# the report at exit must list handles that served them.
#
#   programs.sh PRELOAD WORK_DIR PROGRAM...   (PROGRAM: python3 sqlite3 xz g++ git)
# Exit status 0 when all agree, 77 when a program is not installed (skipped).
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
preload=$1 work=$2
shift 2
mkdir -p "$work"
cd "$work"
status=0

workload() {
    case $1 in
    python3) /usr/bin/python3 -c '
import json, threading, hashlib
d = {str(i): list(range(i % 50)) for i in range(20000)}
s = json.dumps(d, sort_keys=True)
out = []
ts = [threading.Thread(target=lambda n=n: out.append(hashlib.sha1((s * 3)[n:].encode()).hexdigest())) for n in range(4)]
[t.start() for t in ts]; [t.join() for t in ts]
print(len(s), sorted(out))' ;;
    sqlite3) rm -f db.sqlite; sqlite3 db.sqlite "
CREATE TABLE t(id INTEGER PRIMARY KEY, k TEXT, v REAL);
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000)
INSERT INTO t(k, v) SELECT printf('key%05d', x % 997), x * 0.5 FROM c;
CREATE INDEX tk ON t(k);
SELECT k, count(*), sum(v) FROM t GROUP BY k ORDER BY sum(v) DESC LIMIT 3;" ;;
    xz) seq 1 200000 | xz -T2 -6 | xz -d | sha256sum ;;
    g++) g++ -std=c++20 -O1 -I"$source/Tools" -c "$source/Tools/report/TextReport.cpp" -o x.o
         sha256sum < x.o ;;
    git) rm -rf repo clone; git init -q repo; for i in 1 2 3; do echo "$i" > "repo/f$i"; done
         git -C repo add . && git -C repo -c user.name=t -c user.email=t@t commit -qm one
         git clone -q --no-local repo clone && git -C clone log --format=%s && git -C clone fsck 2>&1 | tail -1 ;;
    esac
}

for program in "$@"; do
    command -v "${program%3}" >/dev/null || command -v "$program" >/dev/null || {
        echo "$program: not installed, skipped"; status=77; continue; }
    expected=$(workload "$program" 2>&1) || true
    for by in thread library; do
        report=$work/report-$program-$by.txt
        rm -f "$report"
        got=$(LD_PRELOAD=$preload DIDEVERAZEZ_PRELOAD_BY=$by DIDEVERAZEZ_PRELOAD_REPORT=$report \
              workload "$program" 2>&1) || true
        if [[ $got != "$expected" ]]; then
            echo "$program, one handle a $by: the output differs"; diff <(echo "$expected") <(echo "$got") || true
            status=1
        elif ! awk 'NR > 1 && $(NF - 2) > 0 { served = 1 } END { exit !served }' "$report"; then
            echo "$program, one handle a $by: no handle served it"; cat "$report"; status=1
        else
            echo "$program, one handle a $by: same output; $(($(wc -l < "$report") - 1)) handles"
        fi
    done
done
exit $status
