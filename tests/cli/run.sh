#!/usr/bin/env bash
# `dideverazez-report run` on tests/cli/answers_probe.cpp, as a user runs it:
# the program's exit status passed through (7); per process a summary that
# names LeakEight with its 8 MiB never freed (within 10% at the default
# sampling, exactly with --sample 1: the 8,388,608 bytes asked for and the 8
# the preload library asks more for its tag), PeakSixtyFour as what held the
# peak, and the forked child that ended with _exit; a page of every
# series; no socket left; and the run's bad arguments.
#
#   run.sh TOOL PROBE WORK_DIR
set -u
tool=$(realpath "$1") probe=$(realpath "$2") work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }
ok() { echo "ok   $*"; }

# check LABEL OUTPUT: what every run must say.
check() {
    local label=$1 out=$2
    local processes
    processes=$(grep -c '^Process [0-9]* (answers_probe), ' <<<"$out")
    [[ $processes == 2 ]] && ok "$label: the program and its child" ||
        fail "$label: $processes processes in: $out"
    grep -q '^    67,10[0-9,]* bytes  PeakSixtyFour() (.*answers_probe.cpp:[0-9]*)' <<<"$out" &&
        ok "$label: PeakSixtyFour held the peak" || fail "$label: no peak site in: $out"
    [[ $(grep -A1 '^  never freed, by call site' <<<"$out" | grep -c 'LeakEight() (.*answers_probe.cpp:[0-9]*)') == 2 ]] &&
        ok "$label: LeakEight never freed its block, in both processes" ||
        fail "$label: LeakEight not first among the sites never freed: $out"
    [[ -s $(sed -n 's/^Everything on one page: //p' <<<"$out") ]] && ok "$label: the page" ||
        fail "$label: no page"
}

# The bytes LeakEight's site never freed, in the program's summary.
leaked() {
    grep -A1 '^  never freed, by call site' <<<"$1" | sed -n 's/^    \([0-9,]*\) bytes  LeakEight.*/\1/p' |
        head -1 | tr -d ,
}

out=$("$tool" run -o "$work/default" -- "$probe" 2>&1)
code=$?
[[ $code == 7 ]] && ok "default: exit status 7 passed through" || fail "default: status $code"
check default "$out"
bytes=$(leaked "$out")
[[ -n $bytes ]] && ((bytes >= 7549747 && bytes <= 9227468)) &&
    ok "default: LeakEight's $bytes bytes within 10% of 8,388,608" ||
    fail "default: LeakEight's bytes: '$bytes'"
[[ $(head -1 <<<"$out") == "dideverazez-report: run: a time series per process in $work/default" ]] &&
    ok "default: the folder named first" || fail "first line: $(head -1 <<<"$out")"

out=$("$tool" run --sample 1 --by thread --interval 50 -o "$work/exact" -- "$probe" 2>&1)
code=$?
[[ $code == 7 ]] && ok "--sample 1: exit status 7" || fail "--sample 1: status $code"
check "--sample 1" "$out"
[[ $(leaked "$out") == 8388616 ]] && ok "--sample 1: LeakEight's 8,388,616 bytes exactly" ||
    fail "--sample 1: LeakEight's bytes: '$(leaked "$out")'"
# Other tests' programs may listen meanwhile: only these processes' names count.
left=""
for pid in $(sed -n 's/^Process \([0-9]*\) .*/\1/p' <<<"$out"); do
    left+=$(grep "@dideverazez/$(id -u)/$pid\$" /proc/net/unix)
done
[[ -z $left ]] && ok "no socket left" || fail "sockets left: $left"

# Bad arguments and a program that cannot start: exit status 2 and an error.
for bad in "run" "run --by process -- true" "run --sample x -- true" "run -o $work/exact -- true" \
    "run -- /nonexistent/program"; do
    read -ra args <<<"$bad"
    logged=$("$tool" "${args[@]}" 2>&1 >/dev/null)
    code=$?
    logged=$(grep -v 'a time series per process' <<<"$logged" | head -1)
    [[ $code == 2 && $logged == dideverazez-report:\ run* ]] && ok "$bad: $logged" ||
        fail "$bad: status $code: $logged"
done
exit $status
