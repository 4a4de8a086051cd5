#!/bin/sh
# Builds the libFuzzer targets with clang and runs each one from its seeds and its past
# findings for a bounded time. Exits non-zero when any target finds a crash, a hang or a
# broken property. For long runs; CI runs scripts/fuzz-ci.sh.
# Usage: scripts/fuzz.sh [seconds per target, default 20] [build-dir, default build-fuzz]
set -e
cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=${2:-build-fuzz}

./scripts/fuzz-build.sh "$dir"

# The inputs are copied, so the corpus in the repository only grows by hand.
scratch=$(mktemp -d)
failed=
# Each fuzz/<target>.cpp is one target; its seeds and regressions are optional.
for source in fuzz/*.cpp; do
    target=$(basename "$source" .cpp)
    work="$scratch/$target"
    mkdir -p "$work/corpus"
    for d in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
        [ -d "$d" ] && cp "$d"/* "$work/corpus/"
    done
    printf '%s: %s s ... ' "$target" "$seconds"
    if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=60 \
        -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
        echo ok
    else
        echo FAILED
        tail -n 40 "$work/log"
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "failing targets:$failed (inputs and logs in $scratch)"
    exit 1
fi
rm -rf "$scratch"
echo "all fuzz targets ran clean"
