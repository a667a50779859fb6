#!/bin/sh
# The fuzz-run target with both harnesses: each fuzzes for SECONDS, side by
# side, so the step takes as long as one did. The reader's log is held back
# and printed after the accounting's, so that each reads whole. Fails when
# either finds something.
#
# Usage: run-both.sh SECONDS LOG ACCOUNTING_FUZZER ACCOUNTING_CORPORA... -- READER_FUZZER READER_ARGS...
set -u
seconds=$1 log=$2 accounting=$3
shift 3
corpora=""
while [ "$1" != "--" ]; do
    corpora="$corpora $1"
    shift
done
shift
"$@" -max_total_time="$seconds" -print_final_stats=1 >"$log" 2>&1 &
reader=$!
# shellcheck disable=SC2086 # the corpora are folder names without spaces
"$accounting" -max_total_time="$seconds" -print_final_stats=1 $corpora
accounting_status=$?
wait "$reader"
reader_status=$?
echo "---- the reader's fuzzer ($*):"
cat "$log"
echo "---- accounting fuzzer: exit $accounting_status; reader's fuzzer: exit $reader_status"
[ "$accounting_status" -eq 0 ] && [ "$reader_status" -eq 0 ]
