#!/bin/sh
# Installs the dependencies, builds the two programs and lists the attached modules; with none
# attached it shows the tools at work on virtual modules instead (scripts/demo.sh).
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
listing=$(./build/tavrik_info/tavrik_info -l)
echo "$listing"
# With no module attached, show the tools at work on virtual modules instead.
if [ "$listing" = "No Tavrik devices found or all devices busy" ]; then
    ./scripts/demo.sh build
fi
