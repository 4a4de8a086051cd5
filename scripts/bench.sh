#!/bin/sh
# Builds the benchmarks in a Release build and runs each of them. Extra arguments go to every
# benchmark program, e.g. --benchmark_filter=Crc or --benchmark_format=json.
# Usage: scripts/bench.sh [benchmark arguments...]
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
    SUDO=
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libbenchmark-dev
fi
dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTAVRIK_BUILD_BENCHMARKS=ON
cmake --build "$dir" -j"$(nproc)" --target benchmarks
for name in message point_table crc hex frame ini transport; do
    "$dir/benchmarks/bench_$name" "$@"
done
