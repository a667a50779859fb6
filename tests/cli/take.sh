#!/usr/bin/env bash
# `dideverazez-report take` against take_server.py, a stand-in for the
# library's listener, in each of its modes, and with bad arguments: the
# transcript (the command line, what became of standard output or of FILE,
# each line of standard error marked "! ", the exit status) is compared byte
# for byte with a golden file; DIDEVERAZEZ_UPDATE_GOLDEN=1 rewrites it. The
# server's process id shows as PID, the user id in the socket's name as UID.
# Exits 77 (skipped) without python3.
#
# Usage: take.sh TOOL DATA_DIR GOLDEN
set -u
tool=$(realpath "$1") data=$(realpath "$2") golden=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
python=$(command -v python3 || true)
if [[ -z $python ]]; then
    echo "SKIPPED: needs python3 (Debian: apt-get install python3)"
    exit 77
fi
work=$(mktemp -d)
server=
trap '[[ -n $server ]] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1
uid=$(id -u)
actual=$work/transcript

# run [VAR=VALUE] MODE FILE ARGS...: starts the server in MODE with FILE
# (none: no server, the pid is this script's, which has no socket), runs the
# tool with ARGS, PID in them standing for the server's pid, and writes the
# case to the transcript.
run() {
    local env=()
    [[ $1 == *=* ]] && { env=("$1"); shift; }
    local mode=$1 file=$2 pid=$$
    shift 2
    if [[ $mode != none ]]; then
        "$python" "$here/take_server.py" "$mode" ${file:+"$data/$file"} >server.out 2>server.err &
        server=$!
        # Up to a minute: a loaded machine starts python slowly.
        for _ in $(seq 1200); do
            [[ -s server.out ]] && break
            sleep 0.05
        done
        read -r _ pid <server.out || { echo "the server did not start"; cat server.err; exit 1; }
    fi
    local args=("${@//PID/$pid}")
    {
        echo "\$ ${env[*]}${env:+ }dideverazez-report $*"
        env "${env[@]}" "$tool" "${args[@]}" >stdout 2>stderr
        local status=$?
        if [[ -s stdout ]] && cmp -s stdout "$data/$file"; then
            echo "(standard output: $file, byte for byte)"
        else
            cat stdout
        fi
        sed -e "s/^/! /" -e "s|@dideverazez/$uid/|@dideverazez/UID/|g" \
            -e "s/the listener is process [0-9]*,/the listener is process IMPOSTOR,/" \
            -e "s/\b$pid\b/PID/g" stderr
        echo "[exit $status]"
        for out in "${args[@]}"; do
            if [[ $out == *.json && -e $out ]]; then
                cmp -s "$out" "$data/$file" && echo "($out: $file, byte for byte)" ||
                    echo "($out: $(head -c 60 "$out"))"
            fi
        done
        if [[ $mode != none ]]; then
            wait "$server" || { echo "(the server failed)"; cat server.err; }
            server=
            rm -f server.out
        fi
        echo
    } >>"$actual"
}

run answer snapshot_names.json take PID
run answer snapshot_names.json take PID -o taken.json
run answer snapshot_names.json take PID -o -
run answer snapshot_foreign.json take PID
run half snapshot_names.json take PID
run twice snapshot_names.json take PID
run refuse "" take PID
echo "what was there before" >kept.json
run DIDEVERAZEZ_TAKE_TIMEOUT_MS=300 stall snapshot_names.json take PID -o kept.json
run impostor snapshot_names.json take PID
run none "" take PID
run none "" take 2147483647
run none "" take
run none "" take abc
run none "" take 0
run none "" take 2147483648
run none "" take 12 13
run none "" take 12 -o
run DIDEVERAZEZ_TAKE_TIMEOUT_MS=soon none "" take 12

if [[ ${DIDEVERAZEZ_UPDATE_GOLDEN-} == 1 ]]; then
    cp "$actual" "$golden"
    echo "rewrote $golden"
elif ! diff -u "$golden" "$actual"; then
    echo "transcript differs from $golden (- expected, + actual)"
    exit 1
fi
