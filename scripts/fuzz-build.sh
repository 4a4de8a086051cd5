#!/bin/sh
# Builds the libFuzzer targets with clang into a build directory of their own, installing
# clang-14 and libclang-rt-14-dev when missing. Shared by scripts/fuzz.sh and scripts/fuzz-ci.sh.
# Usage: scripts/fuzz-build.sh [build-dir, default build-fuzz]
set -e
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}

./scripts/install-deps.sh
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
missing=
for p in clang-14 libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

# The device target opens modules, which reads tavrik.ini: keep it inside the build tree,
# never the system's. Only the fuzz targets and what they link are built, two jobs at a time.
case $dir in
    /*) config=$dir/config ;;
    *) config=$(pwd)/$dir/config ;;
esac
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DTAVRIK_BUILD_FUZZ=ON -DTAVRIK_WERROR=ON \
    -DTAVRIK_CONFIG_DIR="$config" >/dev/null
cmake --build "$dir" -j2 --target fuzzers
