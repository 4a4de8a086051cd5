#!/bin/sh
# Builds the Debian packages tavrik-tools, libtavrik1, libtavrik-dev and python3-tavrik:
# installs the dependencies, configures a Release build for /usr with the configuration in
# /etc, builds it and runs CPack. Prints the packages' paths, one a line.
# Usage: scripts/package.sh [build-dir]   (build-pkg by default)
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
dir=${1:-build-pkg}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTAVRIK_CONFIG_DIR=/etc -DTAVRIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/*.deb
