#!/bin/sh
# Runs a Windows program under Wine, for CTest and custom commands of the cross
# build (CMAKE_CROSSCOMPILING_EMULATOR): wine-run.sh program.exe [arguments...]
#
# The Wine prefix is WINEPREFIX when set, otherwise a private one under
# ~/.cache, created on first use; Wine's own diagnostics are off unless
# WINEDEBUG says otherwise. The program's exit code is passed on.
set -eu

: "${WINEPREFIX:=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/dideverazez-wine}"
: "${WINEDEBUG:=-all}"
# No display, no sound, no Mono or Gecko installer: a headless console prefix.
: "${WINEDLLOVERRIDES:=mscoree,mshtml=;winemenubuilder.exe=d}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY

find_tool() {
    for candidate in "$@"; do
        if command -v "$candidate" >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if ! wine=$(find_tool wine wine64 /usr/lib/wine/wine64); then
    echo "wine-run.sh: Wine is not installed (apt-get install wine64 wine)" >&2
    exit 127
fi

# Creating a prefix takes several seconds; parallel tests must not race to do
# it, so the first caller builds it under a lock and the others wait for it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            "$wine" wineboot --init >/dev/null 2>&1 || true
            # The registry reaches the disk when the server stops.
            if server=$(find_tool wineserver /usr/lib/wine/wineserver); then
                "$server" -w || true
            fi
        fi
    ) 9>"$WINEPREFIX.lock"
fi

exec "$wine" "$@"
