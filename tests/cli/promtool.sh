#!/usr/bin/env bash
# `promtool check metrics` (Prometheus's own parser and linter) on what
# `dideverazez-report metrics` writes for each FILE; 77 (skipped) without
# promtool (Debian: apt-get install prometheus).
#
# Usage: promtool.sh TOOL DATA_DIR FILE...
set -u
tool=$1 data=$2
shift 2
if ! command -v promtool >/dev/null; then
    echo "promtool not found (Debian: apt-get install prometheus): skipped"
    exit 77
fi
status=0
for file in "$@"; do
    text=$("$tool" metrics "$data/$file") || { echo "$file: dideverazez-report failed"; status=1; continue; }
    if problems=$(promtool check metrics <<<"$text" 2>&1); then
        echo "$file: $(grep -c '^dideverazez_' <<<"$text") samples, promtool finds nothing to say"
    else
        echo "$file: promtool says:"
        echo "$problems"
        status=1
    fi
done
exit $status
