#!/bin/sh
# The library installed under another prefix than the one the build was configured for
# (`cmake --install <build-dir> --prefix <dir>`): its tavrik.pc must name that prefix's
# directories, and a program built with pkg-config's flags alone must compile, link and run
# on the library installed there. Needs the library built in the build directory; CXXFLAGS,
# if set, go to the program's compiler.
# Usage: tests/package/check-prefix.sh <build-dir>
set -eu
build=${1:?usage: check-prefix.sh <build-dir>}
fail() {
    echo "check-prefix: FAIL $*" >&2
    exit 1
}

configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/elsewhere
[ "$prefix" != "$configured" ] || fail "the new prefix is the configured one"

for component in lib dev; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
pc=$(find "$prefix" -name tavrik.pc)
[ -n "$pc" ] || fail "no tavrik.pc under $prefix"
if grep -q "=$configured\(/\|\$\)" "$pc"; then
    fail "$pc names the configured prefix $configured"
fi

PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
real_prefix=$(realpath "$prefix")
under_prefix() {
    case $(realpath -m "$1") in
        "$real_prefix"/*) ;;
        *) fail "$2 $1 is not under $prefix" ;;
    esac
}
flags=$(pkg-config --cflags --libs tavrik)
for flag in $flags; do
    case $flag in
        -I*) under_prefix "${flag#-I}" "include directory" ;;
        -L*) under_prefix "${flag#-L}" "library directory" ;;
    esac
done
includedir=$(pkg-config --variable=includedir tavrik)
libdir=$(pkg-config --variable=libdir tavrik)
[ -f "$includedir/tavrik/tavrik.h" ] || fail "no tavrik/tavrik.h in $includedir"
[ -e "$libdir/libtavrik.so" ] || fail "no libtavrik.so in $libdir"

cat >"$scratch/use.cpp" <<'EOF'
#include <tavrik/tavrik.h>

#include <iostream>

int main() {
    std::cout << tavrik::ioTypeName(tavrik::Outputs) << "\n";
}
EOF
# shellcheck disable=SC2086
c++ -std=c++17 ${CXXFLAGS:-} -o "$scratch/use" "$scratch/use.cpp" $flags ||
    fail "the program does not build"
out=$(LD_LIBRARY_PATH=$libdir "$scratch/use") || fail "the program does not run"
[ "$out" = outputs ] || fail "the program printed '$out'"
LD_LIBRARY_PATH=$libdir ldd "$scratch/use" | grep -q "libtavrik.so.1 => $libdir/" ||
    fail "the program does not run on the library under $prefix"
echo "check-prefix: PASS tavrik.pc and a program built with it under $prefix"
