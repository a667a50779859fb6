#!/usr/bin/env bash
# How a process under the preload library ends, and what it leaves:
#   - one that ends with _exit or _Exit writes its last snapshot (at_exit
#     true, its block never freed still in use), as exit would, and its exit
#     status is kept; so does a forked child that ends with _exit; a child
#     made by vfork, which shares its parent's memory, writes nothing;
#   - no socket of any of them is left (the names are abstract: none is a
#     file);
#   - with another allocator loaded first (Debian's jemalloc, when installed),
#     the preload says so once and leaves every call to it: pvalloc's block
#     freed by that allocator's free.
#
#   ends.sh PRELOAD EXIT_WAYS WORK_DIR
set -u
preload=$(realpath "$1") program=$(realpath "$2") work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }
ok() { echo "ok   $*"; }

# at_exit and the bytes still in use of the snapshot FILE, on one line.
last() {
    python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
held = sum(e["metrics"]["memory_current"] for t in d["trees"] for e in t["engines"]
           if e["path"].endswith("/allocations"))
print(d["at_exit"], held > 0)' "$1"
}

ids=$(LD_PRELOAD=$preload DIDEVERAZEZ_REPORT=$work/s-%p.json "$program" children)
code=$?
read -r child shared <<<"$ids"
parent=$(ls s-*.json | grep -v -e "s-$child.json" | sed 's/s-\(.*\)\.json/\1/' | head -1)
[[ $code == 3 ]] && ok "_exit(3): status 3" || fail "_exit(3): status $code"
[[ -e s-$parent.json && $(last "s-$parent.json") == "True True" ]] &&
    ok "_exit: the snapshot at exit, its block still held" || fail "_exit: $(ls)"
[[ -e s-$child.json && $(last "s-$child.json") == "True True" ]] &&
    ok "a forked child's _exit: its own snapshot at exit" || fail "forked child: $(ls)"
[[ -n $shared && ! -e s-$shared.json ]] && ok "a vfork child's _exit: nothing written" ||
    fail "vfork child $shared: $(ls)"
[[ $(ls s-*.json | wc -l) == 2 ]] || fail "files: $(ls)"

LD_PRELOAD=$preload DIDEVERAZEZ_REPORT=$work/e-%p.json "$program" _Exit
code=$?
[[ $code == 5 && $(last e-*.json) == "True True" ]] && ok "_Exit(5): status 5, the snapshot" ||
    fail "_Exit: status $code, $(ls)"
# Other tests' programs may listen meanwhile: only these processes' names count.
left=$(grep -e "@dideverazez/$(id -u)/$parent\$" -e "@dideverazez/$(id -u)/$child\$" /proc/net/unix)
[[ -z $left ]] && ok "no socket left" || fail "sockets left: $left"
[[ -z $(ls "/tmp/dideverazez-$(id -u)" 2>/dev/null | grep -x -e "$parent.sock" -e "$child.sock") ]] ||
    fail "a socket file in /tmp/dideverazez-$(id -u)"

jemalloc=$(ls /usr/lib/*/libjemalloc.so.2 2>/dev/null | head -1)
if [[ -n $jemalloc ]]; then
    logged=$(LD_PRELOAD="$jemalloc $preload" python3 -c '
import ctypes
libc = ctypes.CDLL(None)
libc.pvalloc.restype = ctypes.c_void_p
libc.free(ctypes.c_void_p(libc.pvalloc(100)))
print("freed")' 2>&1)
    code=$?
    expected="dideverazez preload: malloc is served by $jemalloc, loaded before this library: no heap call is counted in handles (put libdideverazez_preload.so first in LD_PRELOAD)"
    [[ $code == 0 && $(grep -c "^freed$" <<<"$logged") == 1 &&
        $(grep -cxF "$expected" <<<"$logged") -ge 1 &&
        $(grep -vxF "$expected" <<<"$logged" | grep -vx freed | wc -l) == 0 ]] &&
        ok "jemalloc first: reported, and its pvalloc's block freed by its free" ||
        fail "jemalloc first: status $code: $logged"
else
    echo "skip jemalloc first: no libjemalloc.so.2 (Debian: libjemalloc2)"
fi
exit $status
