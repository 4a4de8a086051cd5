#!/bin/sh
# Installs the dependencies, builds the two programs and lists the attached modules.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
./build/tavrik_info/tavrik_info -l
