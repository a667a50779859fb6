#!/usr/bin/env bash
# An unchanged python3 through the preload library with sampling on: its
# profile, written by dideverazez-report pprof and read by the real pprof,
# names the interpreter's functions (python3's own symbols), with no frame of
# the library on top.
#
#   profile.sh PRELOAD REPORT_TOOL PPROF WORK_DIR
# Exit status 77 (skipped) without python3 or pprof (cli.pprof builds it).
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
preload=$1 tool=$2 pprof=$3 work=$4
command -v python3 >/dev/null || { echo "SKIPPED: no python3"; exit 77; }
[[ -x $pprof ]] || { echo "SKIPPED: no pprof at $pprof (cli.pprof builds it)"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
cd "$work"
source "$source/tests/preload/workloads.sh"
LD_PRELOAD=$preload DIDEVERAZEZ_REPORT=$work/python3.json DIDEVERAZEZ_SAMPLE_BYTES=65536 \
    workload python3 > /dev/null
"$tool" pprof python3.json -o python3.pb.gz
HOME=$work "$pprof" -top -sample_index=alloc_space python3.pb.gz > top.txt 2>&1
cat top.txt
status=0
grep -Eq '^ .*%.* _?Py[A-Za-z_]+$' top.txt || { echo "no function of the interpreter named"; status=1; }
if grep -Eq '^ .*%.* (malloc|zu_alloc|dideverazez)' top.txt; then
    echo "a frame of the library or the preload is listed"; status=1
fi
exit $status
