#!/usr/bin/env bash
# The installed preload library, as a user reaches it: install the build into
# a fresh prefix, then run real programs with LD_PRELOAD naming the installed
# file and an otherwise empty environment (no LD_LIBRARY_PATH: the preload
# needs no other library of ours, and the installed files that do find theirs
# through RUNPATH $ORIGIN). Each program's output, in both modes, must equal
# its plain run.
#
#   installed_preload.sh CMAKE BUILD_DIR WORK_DIR PROGRAM...
#
# PROGRAM: any workload of tests/preload/workloads.sh. Exit status 0 when all
# agree, 77 when the build has no preload library (sanitizer builds) or a
# program is not installed (skipped), 1 on a difference.
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
cmake=$1 build=$2 work=$3
shift 3
workloads=$source/tests/preload/workloads.sh

rm -rf "$work"
mkdir -p "$work"
prefix=$(mktemp -d "$work/prefix.XXXXXX")
"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log"
preload=$prefix/lib/libdideverazez_preload.so
[[ -f $preload ]] || { echo "no preload library in this build: skipped"; exit 77; }
status=0

# Every installed ELF file that needs one of our libraries finds it through a
# RUNPATH relative to itself, and no file carries a search path outside the
# prefix (a build folder would hide a missing RUNPATH here and be gone on the
# user's machine). bin/dideverazez-report links none of our libraries (it
# reads snapshot files), so it passes by needing none.
ours=$(cd "$prefix/lib" && ls lib*.so.* 2>/dev/null)
for file in "$prefix"/lib/lib*.so* "$prefix"/bin/*; do
    [[ -f $file && ! -L $file ]] || continue
    dynamic=$(readelf -d "$file" 2> /dev/null) || continue # not an ELF file
    paths=$(sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\1 \2/p' <<< "$dynamic")
    runpath=$(sed -n 's/^RUNPATH //p' <<< "$paths")
    while read -r kind entries; do
        [[ -n $kind ]] || continue
        IFS=: read -ra entries <<< "$entries"
        for entry in "${entries[@]}"; do
            [[ $entry == '$ORIGIN' || $entry == '$ORIGIN/'* ]] || {
                echo "${file#"$prefix"/}: $kind entry '$entry' is not relative to \$ORIGIN"; status=1; }
        done
    done <<< "$paths"
    for needed in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<< "$dynamic"); do
        grep -qxF "$needed" <<< "$ours" || continue
        found=""
        IFS=: read -ra entries <<< "$runpath"
        for entry in "${entries[@]}"; do
            [[ -f ${entry/\$ORIGIN/$(dirname "$file")}/$needed ]] && found=yes
        done
        [[ -n $found ]] || {
            echo "${file#"$prefix"/}: needs $needed, which no RUNPATH entry ('$runpath') finds"
            status=1; }
    done
done
((status == 0)) && echo "installed files: every library of ours found through RUNPATH \$ORIGIN"

# The environment of every run: the programs' PATH and a HOME of the test's
# own, nothing else (the locale, temporary folder and loader path all unset).
clean=(PATH=/usr/local/bin:/usr/bin:/bin HOME="$work/home")
mkdir -p "$work/home"

# Every name the two shared libraries export, the preload exports too, so that
# a program linking them binds the preload's copy (one registry, one report).
exported() { nm -D --defined-only "$@" | awk 'NF == 3 && $2 != "A" {print $3}' | sort -u; }
missing=$(comm -23 <(exported "$prefix"/lib/libdideverazez.so.1 "$prefix"/lib/librozudoru.so.1) \
                   <(exported "$preload"))
if [[ -z $missing ]]; then
    echo "the preload exports every name of libdideverazez and librozudoru"
else
    echo "names of the shared libraries the preload does not export: $missing"; status=1
fi

# A program gains the installed preload, no more: the library, the trace
# library, the C++ runtime and its unwinder are inside it.
objects() { # the shared objects `cat` maps, [LD_PRELOAD=...]
    env -i "${clean[@]}" "$@" cat /proc/self/maps | awk '$6 ~ /\.so/ {print $6}' | sort -u
}
gained=$(comm -13 <(objects) <(objects LD_PRELOAD="$preload"))
if [[ $gained == "$(realpath "$preload")" ]]; then
    echo "the installed preload loads alone, from the prefix"
else
    echo "under LD_PRELOAD=$preload, cat loads more than the preload: $gained"
    status=1
fi

run() { # PROGRAM [VARIABLE=VALUE...]: the workload's output, in a fresh folder
    local program=$1 folder
    shift
    folder=$(mktemp -d "$work/run.XXXXXX")
    (cd "$folder" && env -i "${clean[@]}" "$@" /bin/bash -c 'source "$1"; workload "$2"' \
        bash "$workloads" "$program" 2>&1) || true
    rm -rf "$folder"
}

# dideverazez-report run finds the installed preload beside itself: the
# program's output and exit status are its own, and its process is summed up.
tool=$prefix/bin/dideverazez-report
if [[ -x $tool ]]; then
    code=0
    logged=$(cd "$work" && env -i "${clean[@]}" "$tool" run -o "$work/series" -- \
        /bin/sh -c 'echo run by the tool; exit 3' 2>&1) || code=$?
    if [[ $code == 3 && $logged == *"run by the tool"* && $logged == *"Process "*" (sh), "* &&
        -s $work/series/report.html ]]; then
        echo "run from the prefix: the installed preload found, status 3 passed through"
    else
        echo "run from the prefix: status $code: $logged"
        status=1
    fi
fi

for program in "$@"; do
    command -v "$program" > /dev/null || {
        echo "$program: not installed, skipped"; ((status)) || status=77; continue; }
    expected=$(run "$program")
    for by in thread library; do
        environment=(LD_PRELOAD="$preload")
        [[ $by == library ]] && environment+=(DIDEVERAZEZ_PRELOAD_BY=library)
        got=$(run "$program" "${environment[@]}")
        if [[ $got == "$expected" ]]; then
            echo "$program through the installed preload, one handle a $by: same output"
        else
            echo "$program through the installed preload, one handle a $by: the output differs"
            diff <(echo "$expected") <(echo "$got") || true
            status=1
        fi
    done
done
rm -rf "$prefix"
exit $status
