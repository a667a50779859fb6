#!/usr/bin/env bash
# A Windows host's call sites named on Windows: windows_probe.exe runs under
# Wine with every allocation sampled and its snapshot written at exit; then
# dideverazez-report.exe (under_wine.sh) names LeakEight, with its file and
# line, in `leaks` and in the strings of `pprof`'s profile.
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
"$here/under_wine.sh" pprof "$snapshot" -o "$(winepath -w "$work/probe.pb.gz")" ||
    fail "pprof: status $?"
gzip -dc probe.pb.gz | grep -a -q LeakEight && ok "pprof: LeakEight in the profile" ||
    fail "pprof: no LeakEight in the profile"
exit $status
