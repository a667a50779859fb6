#!/usr/bin/env bash
# Servers through libdideverazez_preload.so: the requests per second their own
# load tool reports, and the server's peak resident set, plainly and through
# the preload library in both modes, one handle a thread and one a shared
# object. Plainly, a server runs on its own heap: glibc's for memcached, the
# jemalloc 5.3 that Debian's redis-server links (libjemalloc2), which defines
# malloc itself; the preload comes before both.
#
#   bench/servers.sh PRELOAD [--runs N] [--out FILE] [SHAPE...]
#
# SHAPE (all by default):
#   memcached    memcached -t 4 -m 1024; memcaslap, 2 threads, 32 connections,
#                its default load (64-byte keys, 1 KiB values, 9 gets to 1
#                set), 400,000 requests
#   redis-small  redis-server, no persistence; redis-benchmark's default shape
#                (one key, 3-byte values, 50 connections), 50,000 requests of
#                each of SET, GET, INCR, LPUSH, LPOP, HSET
#   redis-data   the same commands over 100,000 random keys (-r) with 1 KiB
#                values (-d): the server holds over 100 MiB of strings, a
#                list and a hash
# A fixed number of requests, not a fixed time, so that every heap ends with
# the same data and the peaks compare. The three heaps take turns, run after
# run, so that a change in the machine's load falls on all of them; a first
# run of each shape is not counted. Writes one line a command and run,
# "shape heap run command requests-per-second peak-KiB" (heap plain, thread or
# library), the peak being the server's over the whole run (the same on every
# command of a run), to FILE (default: standard output); bench/report.py turns
# the lines into the table of docs/performance.md. Servers listen on free
# local ports, never on the default ones an instance of the system may use.
set -euo pipefail
preload=$(realpath "$1")
shift
runs=5 out=/dev/stdout shapes=()
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -*) echo "servers.sh: unknown option '$1'" >&2; exit 2 ;;
    *) shapes+=("$1"); shift ;;
    esac
done
((${#shapes[@]})) || shapes=(memcached redis-small redis-data)
[[ -x /usr/bin/time ]] || { echo "servers.sh: needs /usr/bin/time (Debian's 'time')" >&2; exit 1; }

work=$(mktemp -d)
server=""
trap '[[ -z $server ]] || kill -KILL "$server" 2> /dev/null || true; rm -rf "$work"' EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# launch HEAP COMMAND...: the server under /usr/bin/time, in the background.
launch() {
    local environment=()
    case $1 in
    thread | library) environment=(LD_PRELOAD="$preload" DIDEVERAZEZ_PRELOAD_BY="$1") ;;
    esac
    shift
    rm -f "$work/time" "$work/pid"
    env "${environment[@]}" /usr/bin/time -f %M -o "$work/time" "$@" > "$work/server.log" 2>&1 &
    server=$!
}

# finish: waits (at most a minute) for the server asked to stop, prints its peak KiB.
finish() {
    local i
    for ((i = 0; i < 600; ++i)); do kill -0 "$server" 2> /dev/null || break; sleep 0.1; done
    if kill -0 "$server" 2> /dev/null; then
        echo "servers.sh: the server did not stop" >&2; exit 1
    fi
    wait "$server" || { echo "servers.sh: the server failed:" >&2; cat "$work/server.log" >&2; exit 1; }
    server=""
    tail -1 "$work/time"
}

waitfor() { # COMMAND...: until it succeeds, at most ten seconds
    local i
    for ((i = 0; i < 100; ++i)); do "$@" > /dev/null 2>&1 && return 0; sleep 0.1; done
    echo "servers.sh: the server did not come up:" >&2; cat "$work/server.log" >&2; exit 1
}

run_memcached() { # HEAP: "command requests/s" lines, then the peak
    local port user=() tps
    ((EUID != 0)) || user=(-u root) # memcached will not run as root without -u
    port=$(free_port)
    launch "$1" memcached -t 4 -m 1024 -p "$port" -U 0 -l 127.0.0.1 -P "$work/pid" "${user[@]}"
    waitfor test -s "$work/pid"
    waitfor bash -c "exec 3<> /dev/tcp/127.0.0.1/$port"
    tps=$(memcaslap -s "127.0.0.1:$port" -T 2 -c 32 -x 400000 2>&1 \
          | sed -n 's/^Run time: .* TPS: \([0-9]*\).*/\1/p')
    [[ -n $tps ]] || { echo "servers.sh: memcaslap reported nothing" >&2; exit 1; }
    echo "get+set $tps"
    kill -TERM "$(cat "$work/pid")"
    finish
}

run_redis() { # HEAP BENCHMARK-OPTIONS...
    local heap=$1 port
    shift
    port=$(free_port)
    mkdir -p "$work/redis"
    launch "$heap" redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no \
        --dir "$work/redis" --logfile "$work/redis/log"
    waitfor redis-cli -p "$port" PING
    redis-benchmark -p "$port" --csv -t set,get,incr,lpush,lpop,hset "$@" \
        | sed -n 's/^"\([A-Z]*\)","\([0-9.]*\)".*/\1 \2/p'
    redis-cli -p "$port" SHUTDOWN NOSAVE > /dev/null 2>&1 || true
    finish
}

measure() { # SHAPE HEAP: "command requests/s" lines, then the peak
    case $1 in
    memcached) run_memcached "$2" ;;
    redis-small) run_redis "$2" -n 50000 ;;
    redis-data) run_redis "$2" -n 50000 -r 100000 -d 1024 ;;
    *) echo "servers.sh: no shape '$1'" >&2; exit 2 ;;
    esac
}

tools() {
    case $1 in
    memcached) echo memcached memcaslap ;;
    redis-*) echo redis-server redis-benchmark redis-cli ;;
    esac
}

for shape in "${shapes[@]}"; do
    missing=""
    for tool in $(tools "$shape"); do command -v "$tool" > /dev/null || missing+=" $tool"; done
    [[ -z $missing ]] || { echo "servers.sh: $shape left out, not installed:$missing" >&2; continue; }
    echo "== $shape, $runs runs a heap" >&2
    measure "$shape" plain > /dev/null
    heaps=(plain thread library)
    for ((r = 1; r <= runs; ++r)); do
        for ((h = 0; h < 3; ++h)); do
            heap=${heaps[(h + r) % 3]}
            measure "$shape" "$heap" > "$work/measured"
            peak=$(tail -1 "$work/measured")
            head -n -1 "$work/measured" | while read -r command rate; do
                echo "$shape $heap $r $command $rate $peak"
            done
        done
    done
done > "$work/lines"
cat "$work/lines" > "$out"
