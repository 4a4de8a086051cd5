#!/bin/sh
# Builds the libFuzzer targets with clang and runs each one from its seed corpus for a bounded
# time. Exits non-zero when any target finds a crash, a hang or a broken property.
# Usage: scripts/fuzz.sh [seconds per target, default 20] [build-dir, default build-fuzz]
set -e
cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=${2:-build-fuzz}

./scripts/install-deps.sh
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
missing=
for p in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DTAVRIK_BUILD_FUZZ=ON -DTAVRIK_WERROR=ON
cmake --build "$dir" -j"$(nproc)" --target fuzzers

# The seeds are copied, so the corpus in the repository only grows by hand.
scratch=$(mktemp -d)
failed=
for seeds in fuzz/corpus/*/; do
    target=$(basename "$seeds")
    work="$scratch/$target"
    mkdir -p "$work/corpus"
    cp "$seeds"* "$work/corpus/"
    printf '%s: %s s ... ' "$target" "$seconds"
    if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
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
