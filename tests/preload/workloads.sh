# Work for real programs nobody here wrote, sourced by tests/preload/programs.sh
# (short runs whose output is compared) and bench/programs.sh (longer runs,
# timed). `workload PROGRAM [SCALE]` runs in the current directory, which it
# may fill, and prints output that depends only on the work: the same with any
# heap. SCALE (default 1) multiplies the work.
#
# The programs allocate in different ways: python3 many small objects and four
# threads freeing each other's blocks, sqlite3 a page cache and a B-tree, xz
# two threads and large buffers, sort two threads over one buffer of lines and
# a merge of runs spilled to files, g++ a compiler's trees, git many short
# processes.
workload() {
    local scale=${2:-1} source
    source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    case $1 in
    python3) /usr/bin/python3 -c '
import json, threading, hashlib, sys
n = 20000 * int(sys.argv[1])
d = {str(i): list(range(i % 50)) for i in range(n)}
s = json.dumps(d, sort_keys=True)
out = []
ts = [threading.Thread(target=lambda n=n: out.append(hashlib.sha1((s * 3)[n:].encode()).hexdigest())) for n in range(4)]
[t.start() for t in ts]; [t.join() for t in ts]
print(len(s), sorted(out))' "$scale" ;;
    sqlite3) rm -f db.sqlite; sqlite3 db.sqlite "
CREATE TABLE t(id INTEGER PRIMARY KEY, k TEXT, v REAL);
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < $((20000 * scale)))
INSERT INTO t(k, v) SELECT printf('key%05d', x % 997), x * 0.5 FROM c;
CREATE INDEX tk ON t(k);
SELECT k, count(*), sum(v) FROM t GROUP BY k ORDER BY sum(v) DESC LIMIT 3;" ;;
    xz) seq 1 $((200000 * scale)) | xz -T2 -6 | xz -d | sha256sum ;;
    # Keys repeat (modulo 65521), so ties are decided by the second key, or by
    # the input order (-s). The first sort holds all lines in one buffer and
    # sorts it on two threads; the second's 4 MiB buffer spills runs to files
    # in the current directory and merges them.
    sort) seq 1 $((400000 * scale)) | awk '{ printf "%d %d\n", ($1 * 7919) % 65521, $1 }' > lines
          LC_ALL=C sort -k1,1n -k2,2n --parallel=2 -S 64M lines | sha256sum
          LC_ALL=C sort -s -k1,1 -S 4M -T . lines | sha256sum ;;
    g++) local i
         for ((i = 0; i < scale; ++i)); do
             g++ -std=c++20 -O1 -I"$source/Tools" -c "$source/Tools/report/TextReport.cpp" -o x.o
         done
         sha256sum < x.o ;;
    git) local i
         rm -rf repo clone; git init -q repo
         for ((i = 1; i <= 3 * scale; ++i)); do echo "$i" > "repo/f$i"; done
         git -C repo add . && git -C repo -c user.name=t -c user.email=t@t commit -qm one
         git clone -q --no-local repo clone && git -C clone log --format=%s && git -C clone fsck 2>&1 | tail -1 ;;
    *) echo "workload: no work for '$1'" >&2; return 2 ;;
    esac
}
