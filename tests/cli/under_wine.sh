#!/usr/bin/env bash
# dideverazez-report.exe as the tests of the windows preset run it: under
# $DIDEVERAZEZ_EMULATOR (cmake/wine-run.sh), the program at
# $DIDEVERAZEZ_WINDOWS_TOOL, with its text lines ending in \n as on Linux, so
# that the transcripts compare with the same golden files. Its exit status is
# passed on.
set -u
err=$(mktemp)
trap 'rm -f "$err"' EXIT
"$DIDEVERAZEZ_EMULATOR" "$DIDEVERAZEZ_WINDOWS_TOOL" "$@" 2>"$err" | tr -d '\r'
status=${PIPESTATUS[0]}
tr -d '\r' <"$err" >&2
exit "$status"
