#!/usr/bin/env bash
# `dideverazez-report top` without a terminal, on a server under load:
# redis-server under the preload library (one handle a thread) on a free
# port, redis-benchmark writing 1 KiB values to 100,000 keys meanwhile, and
# `top -n 3 --interval 300` of it: three tables, the second and third with
# each handle's growth, and the server's main thread's handle holding more
# bytes at the third than at the first. Then what top says of a process that
# is gone, and of one that runs without the library listening. Exits 77
# (skipped) without redis-server and redis-benchmark.
#
#   top.sh TOOL PRELOAD WORK_DIR
set -u
tool=$(realpath "$1") preload=$(realpath "$2") work=$3
for program in redis-server redis-benchmark redis-cli; do
    command -v "$program" >/dev/null || { echo "SKIPPED: needs $program (Debian: redis-server, redis-tools)"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
server= load=
trap 'kill -KILL $server $load 2>/dev/null' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
ok() { echo "ok   $*"; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
LD_PRELOAD=$preload DIDEVERAZEZ_PRELOAD_BY=thread DIDEVERAZEZ_REPORT=$work/redis-%p.json \
    redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no >server.log 2>&1 &
server=$!
for _ in $(seq 100); do
    [[ $(redis-cli -p "$port" ping 2>/dev/null) == PONG ]] && break
    sleep 0.1
done
redis-benchmark -p "$port" -t set -n 2000000 -r 100000 -d 1024 -q >/dev/null 2>&1 &
load=$!
sleep 0.3
"$tool" top -n 3 --interval 300 "$server" >top.out 2>top.err
code=$?
kill $load 2>/dev/null
[[ $code == 0 ]] && ok "exit status 0" || fail "status $code: $(cat top.err)"
tables=$(grep -c "^Process $server (redis-server) at [0-9,]* ms: " top.out)
[[ $tables == 3 ]] && ok "three tables" || fail "$tables tables: $(cat top.out)"
[[ $(grep -c ' ms: .* bytes ([-+0-9,]* in [0-9,]* ms)\.$' top.out) == 2 ]] &&
    ok "the second and third give the roots' change since the refresh before" ||
    fail "no change since the refresh before: $(cat top.out)"
# The current bytes of the server's main thread's handle, table by table.
mapfile -t held < <(awk '$NF == "main/allocations" { gsub(",", "", $1); print $1 }' top.out)
((${#held[@]} == 3 && held[2] > held[0])) &&
    ok "main/allocations grew under load: ${held[*]}" ||
    fail "main/allocations: ${held[*]}: $(cat top.out)"
grep -q '^ *current bytes  *growth  *peak bytes  *blocks  *handle$' top.out &&
    ok "the columns" || fail "no column headings"

redis-cli -p "$port" shutdown nosave >/dev/null 2>&1
wait $server 2>/dev/null
gone=$("$tool" top --once "$server" 2>&1)
[[ $? == 2 && $gone == *"process $server is not running"* ]] && ok "a process that is gone: $gone" ||
    fail "a process that is gone: $gone"
sleep 5 &
quiet=$("$tool" top --once $! 2>&1)
[[ $? == 2 && $quiet == *"runs without DIDEVERAZEZ_REPORT"* ]] &&
    ok "a process that does not listen: reported" || fail "a process that does not listen: $quiet"
kill $! 2>/dev/null
exit $status
