#!/usr/bin/env bash
# A Windows host's call sites named on Windows: windows_probe.exe runs under
# Wine with every allocation sampled and its snapshot written at exit; then
# dideverazez-report.exe (under_wine.sh) names LeakEight, with its file and
# line, in `leaks`, with its file in the strings of `pprof`'s profile, and on
# `html`'s page.
# While it runs, `take` asks it for a snapshot over its named pipe and `top`
# shows its handles; a process that does not run is reported as such.
#
#   windows_leaks.sh PROBE WORK_DIR   (DIDEVERAZEZ_EMULATOR and
#                                      DIDEVERAZEZ_WINDOWS_TOOL set)
set -u
probe=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
status=0
ok() { echo "ok: $1"; }
fail() { echo "FAIL: $1"; status=1; }
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
snapshot=$(winepath -w "$work/probe.json" 2>/dev/null) || { echo "no winepath"; exit 77; }
DIDEVERAZEZ_SAMPLE_BYTES=1 DIDEVERAZEZ_REPORT=$snapshot "$DIDEVERAZEZ_EMULATOR" "$probe" ||
    fail "the probe's exit status: $?"
[[ -s probe.json ]] && ok "a snapshot at exit" || { fail "no snapshot: $(ls)"; exit 1; }
line=$(grep -n 'return zu_alloc' "$here/windows_probe.cpp" | cut -d: -f1)
leaks=$("$here/under_wine.sh" leaks "$snapshot" 2>&1)
echo "$leaks"
[[ $leaks == *"Probe/Leaking never freed 8,388,632 bytes in 1 block"* ]] &&
    ok "leaks: the handle and its block" || fail "leaks: no handle holding 8,388,632 bytes"
[[ $leaks == *"LeakEight(zu_allocator&) (Z:"*"windows_probe.cpp:$line)"* ||
   $leaks == *"LeakEight (Z:"*"windows_probe.cpp:$line)"* ]] &&
    ok "leaks: LeakEight at windows_probe.cpp:$line" || fail "leaks: LeakEight not named"
# DbgHelp searches for the PDB a module's record names; MinGW-w64's names
# none, and Wine 8 then frees a bad pointer for each file in the folders
# searched (this one holds probe.json), which Wine's heap warnings report.
WINEDEBUG=warn+heap "$here/under_wine.sh" leaks "$snapshot" > /dev/null 2> heap.err
grep -q 'warn:heap' heap.err && fail "leaks: bad frees in DbgHelp: $(grep -c 'warn:heap' heap.err)" ||
    ok "leaks: no bad frees"
"$here/under_wine.sh" pprof "$snapshot" -o "$(winepath -w "$work/probe.pb.gz")" ||
    fail "pprof: status $?"
profile=$(gzip -dc probe.pb.gz | tr -c '[:print:]' '\n')
[[ $profile == *LeakEight* && $profile == *windows_probe.cpp* ]] &&
    ok "pprof: LeakEight and its file in the profile" ||
    fail "pprof: no LeakEight or no windows_probe.cpp in the profile"
"$here/under_wine.sh" html "$snapshot" -o "$(winepath -w "$work/probe.html")" ||
    fail "html: status $?"
grep -q LeakEight probe.html && ok "html: LeakEight on the page" || fail "html: no LeakEight"
# take and top, while the probe runs.
stop=$(winepath -w "$work/stop")
DIDEVERAZEZ_REPORT=$(winepath -w "$work/running.json") "$DIDEVERAZEZ_EMULATOR" "$probe" wait "$stop" \
    > pid.txt &
running=$!
for ((i = 0; i < 300; ++i)); do
    [[ -s pid.txt ]] && break
    sleep 0.1
done
pid=$(tr -d '\r\n' < pid.txt)
taken=$("$here/under_wine.sh" take "$pid" 2> take.err)
code=$?
[[ $code == 0 && $taken == *'"path":"Probe/Leaking"'* ]] && ok "take: the running probe's snapshot" ||
    fail "take: status $code, $(cat take.err)"
shown=$("$here/under_wine.sh" top "$pid" -n 1 2> top.err)
[[ $shown == *Leaking* ]] && ok "top: the running probe's handles" ||
    fail "top: $shown $(cat top.err)"
touch stop
wait "$running"
"$here/under_wine.sh" take 999999 2> gone.err
code=$?
[[ $code == 2 && $(cat gone.err) == *'nothing listens at \\.\pipe\dideverazez-report-999999: process 999999 is not running' ]] &&
    ok "take: a process that does not run" || fail "take of no process: status $code, $(cat gone.err)"
exit $status
