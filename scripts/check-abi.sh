#!/bin/sh
# Compares the ABI of a built libtavrik with the one recorded in abi/, and fails on a change
# that breaks programs built against the recorded one, unless the SONAME was raised with it.
# After a deliberate change: scripts/check-abi.sh --record <build-dir>, and commit abi/.
# Usage: scripts/check-abi.sh [--record] <build-dir>   (a build with debug information)
set -eu
cd "$(dirname "$0")/.."
record=
[ "${1:-}" = --record ] && { record=yes; shift; }
[ $# -eq 1 ] || { echo "usage: $0 [--record] <build-dir>" >&2; exit 2; }
build=$1
library=$(ls "$build"/library/libtavrik.so.[0-9]* | head -n 1)
recorded=abi/libtavrik.so.1.abi
headers="--headers-dir include/tavrik --headers-dir $build/include/tavrik"

if [ -n "$record" ]; then
    # shellcheck disable=SC2086
    abidw $headers --drop-private-types --no-corpus-path "$library" >"$recorded"
    echo "check-abi: recorded $recorded from $library"
    exit 0
fi

soname_of_record=$(sed -n "s/.*soname='\([^']*\)'.*/\1/p" "$recorded" | head -n 1)
soname_built=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
status=0
# shellcheck disable=SC2086
abidiff --suppressions abi/suppressions.ini --headers-dir2 include/tavrik \
    --headers-dir2 "$build/include/tavrik" \
    --drop-private-types --no-added-syms "$recorded" "$library" >"$build/abidiff.log" 2>&1 || status=$?
cat "$build/abidiff.log"
# abidiff's status is a bit field: 1 error, 2 usage error, 4 ABI change, 8 incompatible change
# (a symbol gone). Added functions are left out (--no-added-syms), so any change that is left,
# a changed type among them, can break a program built against the recorded ABI.
if [ $((status & 3)) -ne 0 ]; then
    echo "check-abi: abidiff failed (status $status)"
    exit 1
fi
if [ $((status & 12)) -ne 0 ]; then
    if [ "$soname_built" = "$soname_of_record" ]; then
        echo "check-abi: FAIL ABI change without a new SONAME ($soname_built)"
        exit 1
    fi
    echo "check-abi: ABI change with a new SONAME ($soname_of_record -> $soname_built)"
fi
echo "check-abi: PASS $soname_built (abidiff status $status)"
