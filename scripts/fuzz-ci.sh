#!/bin/sh
# CI: builds the libFuzzer targets and runs each one deterministically, with seed 1 and a
# fixed number of runs, from its seeds in fuzz/corpus/<target>/ and its past findings in
# fuzz/regressions/<target>/, so a run fails only on an input that breaks the target. Prints
# one PASS or FAIL line per target, with the log and the failing input of each failure, and a
# closing "N passed, N failed"; exits non-zero on any failure.
# Usage: scripts/fuzz-ci.sh [build-dir, default build-fuzz]
set -e
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}

scratch=$(mktemp -d)
if ! ./scripts/fuzz-build.sh "$dir" >"$scratch/build.log" 2>&1; then
    tail -n 40 "$scratch/build.log"
    echo "fuzz targets did not build (log in $scratch/build.log)"
    exit 1
fi

# Runs per target, for five to ten seconds each on a 2-core machine. The device target opens
# a module and starts its API thread for each new configuration, so it manages far fewer.
runs_for() {
    case $1 in
        event_delivery) echo 900 ;;
        boot_transact) echo 100000 ;;
        hex_line) echo 50000 ;;
        point_table) echo 150000 ;;
        scenario) echo 150000 ;;
        boot_frame) echo 150000 ;;
        ini_text) echo 500000 ;;
        message) echo 800000 ;;
        number_argument) echo 1500000 ;;
        *) echo 100000 ;;
    esac
}

# Without address randomisation the values that libFuzzer learns from comparisons are the
# same from run to run and, with no timed re-reading of the corpus (-reload=0), every target
# but the device's tries the same inputs every time; the device's API thread makes its
# coverage vary with timing.
norandom=
if setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom="setarch $(uname -m) -R"
fi

passed=0
failed=0
# Each fuzz/<target>.cpp is one target; its seeds and regressions are optional.
for source in fuzz/*.cpp; do
    target=$(basename "$source" .cpp)
    work="$scratch/$target"
    mkdir -p "$work/new"
    inputs=
    for d in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
        [ -d "$d" ] && inputs="$inputs $d"
    done
    runs=$(runs_for "$target")
    started=$(date +%s)
    # New inputs go to the scratch directory, the first one named; the repository's are only
    # read. The outer limit only catches a target that never exits.
    # shellcheck disable=SC2086
    if timeout -k 10 600 $norandom "$dir/fuzz/fuzz_$target" -seed=1 -runs="$runs" -reload=0 \
        -timeout=60 -artifact_prefix="$work/" "$work/new" $inputs >"$work/log" 2>&1; then
        echo "PASS $target ($runs runs, $(($(date +%s) - started)) s)"
        passed=$((passed + 1))
    else
        echo "FAIL $target"
        # From the first report of the failure on, or the end of the log when there is none.
        report=$(awk '/property broken|==ERROR|ERROR: libFuzzer/ { seen = 1 } seen' "$work/log")
        [ -n "$report" ] || report=$(tail -n 40 "$work/log")
        printf '%s\n' "$report" | head -n 40 | sed 's/^/    /'
        for input in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
            [ -f "$input" ] || continue
            echo "    input $input (replay: $dir/fuzz/fuzz_$target <input>):"
            od -An -tx1 "$input" | head -n 16 | sed 's/^/    /'
        done
        failed=$((failed + 1))
    fi
done

[ "$failed" -eq 0 ] && rm -rf "$scratch"
[ "$failed" -eq 0 ] || echo "logs and inputs in $scratch"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
