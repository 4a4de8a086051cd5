#!/bin/sh
# Installs the dependencies, builds everything with the tests and runs every test.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
dir=${1:-build-test}
[ $# -gt 0 ] && shift
# The tests keep their tavrik.ini below the build tree, never in /etc.
cmake -S . -B "$dir" -DTAVRIK_BUILD_TESTS=ON -DTAVRIK_CONFIG_DIR="$PWD/$dir/test-etc" "$@"
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
