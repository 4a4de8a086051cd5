#!/bin/sh
# Checks the Windows zip as a user gets it: unpacked into a folder of its own, it holds the
# programs, the library and a Windows README; with --run, and Wine finding nothing outside the
# folder, both programs start, load every DLL they need and answer as they do with no module
# attached, in the Wine prefix of the build. Usage: check-windows-zip.sh [--run] <zip>
set -eu
run_programs=
if [ "$1" = --run ]; then
    run_programs=yes
    shift
fi
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
folder=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
for f in tavrik_info.exe tavrik_program.exe libtavrik.dll README.txt; do
    [ -f "$folder/$f" ] || { echo "check-windows-zip: $f is missing" >&2; exit 1; }
done
# The README reads as a Windows text file.
if grep -q "$(printf '[^\r]$')" "$folder/README.txt"; then
    echo "check-windows-zip: README.txt has lines without CR LF" >&2
    exit 1
fi
if [ -z "$run_programs" ]; then
    echo "check-windows-zip: the zip holds its files; its programs were not run"
    exit 0
fi
cd "$folder"
# Runs a program with the unpacked folder as the only place to load DLLs from besides the
# system's; $work/out is what it printed, with CR LF read as LF.
run() {
    status=0
    env -u WINEPATH timeout 60 wine "$@" </dev/null >"$work/raw" 2>&1 || status=$?
    tr -d '\r' <"$work/raw" >"$work/out"
}
expect() {
    want_status=$1 want_out=$2
    shift 2
    run "$@"
    if [ "$status" -ne "$want_status" ] || [ "$(cat "$work/out")" != "$want_out" ]; then
        echo "check-windows-zip: $* ended with $status and printed:" >&2
        cat "$work/out" >&2
        exit 1
    fi
}
expect 0 "No Tavrik devices found or all devices in use" tavrik_program.exe -l
expect 0 "No Tavrik devices found or all devices busy" tavrik_info.exe -l
expect 255 "Device 0 not available" tavrik_info.exe -i 0 0
echo "check-windows-zip: both programs run from the unpacked zip"
