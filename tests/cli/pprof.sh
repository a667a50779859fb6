#!/usr/bin/env bash
# dideverazez-report pprof read back by the real pprof: builds pprof from
# Debian's Go sources, offline, into BUILD_DIR (once), writes the profile of
# each FILE and compares pprof's views of it (in-use, allocated and peak bytes
# by function, exact in bytes; the handle and retired labels) byte for byte with
# GOLDEN; DIDEVERAZEZ_UPDATE_GOLDEN=1 rewrites GOLDEN instead. Exits 77
# (skipped) without go or pprof's sources (Debian: golang-go,
# golang-github-google-pprof-dev).
#
# Usage: pprof.sh TOOL DATA_DIR BUILD_DIR GOLDEN FILE...
set -u
tool=$1 data=$2 build=$3 golden=$4
shift 4
gopath=/usr/share/gocode
if ! command -v go >/dev/null; then
    echo "SKIPPED: no go to build pprof with (Debian: apt-get install golang-go)"
    exit 77
fi
if [[ ! -d $gopath/src/github.com/google/pprof ]]; then
    echo "SKIPPED: no pprof sources in $gopath (Debian: apt-get install golang-github-google-pprof-dev)"
    exit 77
fi
pprof=$build/pprof
if [[ ! -x $pprof ]]; then
    GO111MODULE=off GOPATH=$gopath GOCACHE=$build/go-cache \
        go build -o "$pprof" github.com/google/pprof || exit 1
fi
actual=$(mktemp)
work=$(mktemp -d)
trap 'rm -rf "$actual" "$work"' EXIT
cd "$work" || exit 1
for file in "$@"; do
    # pprof finds no binary of these addresses: -symbolize=none stops it looking.
    "$tool" pprof "$data/$file" -o profile.pb.gz || exit 1
    for view in "-top -sample_index=inuse_space" "-top -sample_index=alloc_space" \
        "-top -sample_index=peak_space" "-tags"; do
        read -ra options <<<"$view"
        {
            echo "\$ pprof $view -unit=B $file"
            HOME=$work "$pprof" "${options[@]}" -unit=B -symbolize=none profile.pb.gz 2>&1
            echo "[exit $?]"
            echo
        } >>"$actual"
    done
done
if [[ ${DIDEVERAZEZ_UPDATE_GOLDEN-} == 1 ]]; then
    cp "$actual" "$golden"
    echo "rewrote $golden"
elif ! diff -u "$golden" "$actual"; then
    echo "pprof's views differ from $golden (- expected, + actual)"
    exit 1
fi
