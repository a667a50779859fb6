#!/usr/bin/env bash
# Real servers nobody here wrote, under libdideverazez_preload.so: each is
# started on a free local port, plainly (its own heap: glibc's for memcached,
# the jemalloc that Debian's redis-server links; a plain failure tells a broken
# server or load tool from a broken preload) and then in both modes, serves a
# short load from its own load tool, answers known values exactly before and
# after it, and exits with status 0 when asked to stop. Every step has a time
# limit: a hang is a failure, never a stuck test. The servers' default ports,
# and any instance the system runs there, are never used.
#
#   servers.sh PRELOAD WORK_DIR SERVER...   (SERVER: memcached redis)
# Exit status 0 when all pass, 77 when a server or its load tool is not
# installed (skipped), 1 on a failure.
set -euo pipefail
preload=$(realpath "$1") work=$2
shift 2
mkdir -p "$work"
work=$(cd "$work" && pwd)
status=0
server_pid=""
trap '[[ -z $server_pid ]] || kill -KILL "$server_pid" 2> /dev/null || true' EXIT

fail() { echo "$label: $*"; failed=1 status=1; }

free_port() { # a port the kernel just gave out and took back: free unless raced
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start HEAP LOG COMMAND...: starts the server in the background (under the
# preload for HEAP thread or library, else plainly) with its report at
# $folder/report.txt.
start() {
    local heap=$1 log=$2
    shift 2
    local environment=()
    [[ $heap == plain ]] || environment=(LD_PRELOAD="$preload" DIDEVERAZEZ_PRELOAD_BY="$heap"
                                         DIDEVERAZEZ_PRELOAD_REPORT="$folder/report.txt")
    env "${environment[@]}" "$@" > "$log" 2>&1 &
    server_pid=$!
}

# stop SECONDS: waits for the server, asked to stop, to exit with status 0.
stop() {
    local deadline=$((SECONDS + $1)) code=0
    while kill -0 "$server_pid" 2> /dev/null && ((SECONDS < deadline)); do sleep 0.1; done
    if kill -0 "$server_pid" 2> /dev/null; then
        kill -KILL "$server_pid"; wait "$server_pid" 2> /dev/null || true
        fail "still running $1 s after being asked to stop (killed)"
    else
        wait "$server_pid" || code=$?
        ((code == 0)) || fail "exit status $code when asked to stop"
    fi
    server_pid=""
}

# served: the report at exit lists a handle that served the server's heap.
served() {
    [[ $heap == plain ]] && return 0
    awk 'NR > 1 && $(NF - 2) > 0 { served = 1 } END { exit !served }' "$folder/report.txt" \
        2> /dev/null || fail "no report, or no handle served it"
}

# memcached: four worker threads; memcaslap's 16 connections on two threads
# for two seconds, nine gets to one set, one get in ten checked against the
# value set; a set and get of known values over the text protocol around it.
memcached_ask() { # PORT REQUEST: one request; the reply up to END or STORED
    local line
    exec 3<> "/dev/tcp/127.0.0.1/$1" || return 0
    printf '%b' "$2" >&3
    while IFS= read -r -t 5 line <&3; do
        line=${line%$'\r'}
        echo "$line"
        [[ $line == END || $line == STORED || $line == VERSION* || $line == *ERROR* ]] && break
    done
    exec 3>&-
}
memcached_check() { # PORT: known values stored and read back exactly
    local value
    value=$(head -c 3000 /dev/zero | tr '\0' 'm')
    [[ $(memcached_ask "$1" "set check:small 7 0 5\r\nhello\r\n") == STORED ]] \
        && [[ $(memcached_ask "$1" "set check:large 0 0 3000\r\n$value\r\n") == STORED ]] \
        || { fail "set of a known value refused"; return; }
    [[ $(memcached_ask "$1" "get check:small check:large\r\n") == \
       "VALUE check:small 7 5"$'\n'"hello"$'\n'"VALUE check:large 0 3000"$'\n'"$value"$'\n'"END" ]] \
        || fail "get of known values answered wrongly"
}
serve_memcached() {
    command -v memcached > /dev/null && command -v memcaslap > /dev/null || {
        echo "memcached: memcached or memcaslap (libmemcached-tools) not installed, skipped"
        return 77; }
    local port user=() output
    ((EUID != 0)) || user=(-u root) # memcached will not run as root without -u
    port=$(free_port)
    start "$heap" "$folder/server.log" memcached -t 4 -p "$port" -U 0 -l 127.0.0.1 -m 64 "${user[@]}"
    for ((i = 0; i < 100; ++i)); do
        [[ $(memcached_ask "$port" "version\r\n" 2> /dev/null) == VERSION* ]] && break
        kill -0 "$server_pid" 2> /dev/null || break
        sleep 0.1
    done
    if [[ $(memcached_ask "$port" "version\r\n" 2> /dev/null) != VERSION* ]]; then
        fail "not answering on port $port"; cat "$folder/server.log"
        kill -KILL "$server_pid" 2> /dev/null || true; wait "$server_pid" 2> /dev/null || true
        server_pid=""; return 1
    fi
    memcached_check "$port"
    if output=$(timeout -k 5 20 memcaslap -s "127.0.0.1:$port" -T 2 -c 16 -t 2s -v 0.1 2>&1); then
        grep -q '^verify_failed: 0$' <<< "$output" && grep -q '^verify_misses: 0$' <<< "$output" \
            || { fail "memcaslap found wrong or missing values"; echo "$output"; }
        grep -q '^Run time: .* TPS: [1-9]' <<< "$output" \
            || { fail "memcaslap did no work"; echo "$output"; }
    else
        fail "memcaslap failed or timed out"; echo "$output"
    fi
    memcached_check "$port"
    kill -TERM "$server_pid"
    stop 20
    served
    echo "$label: $(grep -o 'TPS: [0-9]*' <<< "$output" || true)"
}

# redis: no persistence, its own folder; redis-benchmark runs a few commands
# over 1000 random keys of 100 bytes on 20 connections; a Lua script then
# checks that every key it set holds a value of that size, and known values set
# before the load read back exactly after it.
serve_redis() {
    command -v redis-server > /dev/null && command -v redis-benchmark > /dev/null \
        && command -v redis-cli > /dev/null || {
        echo "redis: redis-server or redis-benchmark/redis-cli (redis-tools) not installed, skipped"
        return 77; }
    local port output small large
    port=$(free_port)
    cli() { timeout -k 5 10 redis-cli -p "$port" "$@" 2>&1 || true; }
    start "$heap" "$folder/server.log" redis-server --port "$port" --bind 127.0.0.1 \
        --save '' --appendonly no --dir "$folder" --logfile "$folder/redis.log"
    for ((i = 0; i < 100; ++i)); do
        [[ $(cli PING) == PONG ]] && break
        kill -0 "$server_pid" 2> /dev/null || break
        sleep 0.1
    done
    if [[ $(cli PING) != PONG ]]; then
        fail "not answering on port $port"; cat "$folder/server.log" "$folder/redis.log" 2> /dev/null
        kill -KILL "$server_pid" 2> /dev/null || true; wait "$server_pid" 2> /dev/null || true
        server_pid=""; return 1
    fi
    small=hello large=$(head -c 100000 /dev/zero | tr '\0' 'r')
    [[ $(cli SET check:small "$small") == OK && $(cli SET check:large "$large") == OK \
       && $(cli RPUSH check:list one two three) == 3 ]] || fail "SET of known values refused"
    if output=$(timeout -k 5 60 redis-benchmark -p "$port" --csv -c 20 -n 5000 -r 1000 -d 100 \
                -t set,get,incr,lpush,lpop,sadd,hset,lrange_100 2>&1); then
        grep -q '^"SET","[1-9]' <<< "$output" || { fail "redis-benchmark did no work"; echo "$output"; }
    else
        fail "redis-benchmark failed or timed out"; echo "$output"
    fi
    [[ $(cli EVAL "local n = 0
        for _, k in ipairs(redis.call('KEYS', 'key:*')) do
            if redis.call('STRLEN', k) ~= tonumber(ARGV[1]) then return -1 end
            n = n + 1
        end
        return n" 0 100) =~ ^[1-9][0-9]*$ ]] || fail "a key set by redis-benchmark holds a wrong value"
    [[ $(cli GET check:small) == "$small" && $(cli GET check:large) == "$large" \
       && $(cli LRANGE check:list 0 -1) == $'one\ntwo\nthree' ]] \
        || fail "known values read back wrongly after the load"
    cli SHUTDOWN NOSAVE > /dev/null
    stop 20
    served
    echo "$label: requests per second: $(sed -n 's/^"\([^" ]*\)[^"]*","\([0-9.]*\)".*/\1 \2,/p' <<< "$output" | tr '\n' ' ')"
}

for server in "$@"; do
    for heap in plain thread library; do
        label="$server, $heap"
        [[ $heap == plain ]] || label="$server, one handle a $heap"
        folder=$work/$server-$heap
        rm -rf "$folder"
        mkdir -p "$folder"
        failed=0 code=0
        "serve_$server" || code=$?
        if ((code == 77)); then
            ((status)) || status=77
            break
        fi
        ((code == 0)) || failed=1 status=1
        ((failed)) || echo "$label: passed"
    done
done
exit $status
