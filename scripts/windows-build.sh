#!/bin/sh
# The Windows build: cross-compiles both programs and their library for 32-bit Windows with
# Debian's mingw-w64, runs the test suite under Wine where this machine can run 32-bit programs,
# and packs the programs with the DLLs they need into a zip. Everything comes from Debian: the compilers and Wine as packages, hidapi's
# Windows backend and Boost.Thread's Win32 sources from the source packages of the hidapi and
# Boost versions installed here, the Boost headers and GoogleTest from their packages.
# Usage: scripts/windows-build.sh [build-dir]   (default build-win)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/${1:-build-win}
cache=${HOME:-$build}/.cache/tavrik-windows
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# wine32 needs the i386 architecture; it is what runs 32-bit programs.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
"$root/scripts/install-deps.sh" g++-mingw-w64-i686-posix wine wine32:i386 googletest zip unzip \
    patch

# Debian's source of the given package version, unpacked once into the cache. The deb-src
# entry lives in a scratch apt configuration for this call only; the machine's stays as it was.
fetch_source() {
    package=$1 version=$2 target=$3 members=$4
    [ -f "$target/.complete" ] && return 0
    work=$(mktemp -d "$cache/fetch.XXXXXX")
    mkdir -p "$work/lists/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian $(. /etc/os-release && echo "$VERSION_CODENAME") main" \
        >"$work/sources.list"
    set -- -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root
    apt-get "$@" update -qq
    # apt checks each file against the signed index before it keeps it.
    (cd "$work" && apt-get "$@" source --download-only -qq "$package=$version" >/dev/null)
    rm -rf "$target" && mkdir -p "$target"
    tar -xf "$work"/*.orig.tar.* -C "$target" $members
    rm -rf "$work"
    touch "$target/.complete"
}
mkdir -p "$cache"
boost_dev=$(dpkg-query -W -f='${Depends}' libboost-dev | grep -o 'libboost1\.[0-9]*-dev' | head -n1)
boost_source=$(dpkg-query -W -f='${source:Package}' "$boost_dev")
boost_version=$(dpkg-query -W -f='${Version}' "$boost_dev")
hidapi_version=$(dpkg-query -W -f='${Version}' libhidapi-dev)
hidapi=$cache/hidapi-$hidapi_version
boost=$cache/$boost_source-$boost_version
fetch_source hidapi "$hidapi_version" "$hidapi" "--strip-components=1"
fetch_source "$boost_source" "$boost_version" "$boost" "--strip-components=1 boost/libs/thread/src"

# hidapi as built for the programs: write access exclusive, the busy open told apart.
patched=$build/deps/hidapi
rm -rf "$patched" && mkdir -p "$patched"
cp -r "$hidapi/hidapi" "$hidapi/windows" "$patched/"
patch -s -d "$patched" -p1 <"$root/packaging/windows/hidapi-exclusive-open.patch"
# The Boost headers of the same version, from the installed package.
mkdir -p "$build/deps/boost-include"
ln -sfn /usr/include/boost "$build/deps/boost-include/boost"

# The tests keep tavrik.ini below the build tree; Wine sees the machine's / as drive Z:.
test_etc=$build/test-etc
mkdir -p "$test_etc"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DTAVRIK_BUILD_TESTS=ON -DTAVRIK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVRIK_CONFIG_DIR="Z:$test_etc" \
    -DTAVRIK_HIDAPI_SOURCE_DIR="$patched" -DTAVRIK_BOOST_SOURCE_DIR="$boost" \
    -DTAVRIK_BOOST_INCLUDE_DIR="$build/deps/boost-include"
cmake --build "$build" -j"$(nproc)"

# Wine runs the 32-bit programs as 32-bit Linux processes, and some kernels (sandboxes without
# IA-32 emulation) refuse to execute any 32-bit program: exec fails with "Exec format error",
# status 126, already for the i386 loader. There the build and the zip are still made and the
# zip's files checked, and the runs under Wine are left out, saying so.
runs_32bit=yes
/lib/ld-linux.so.2 --version >/dev/null 2>&1 || [ $? -ne 126 ] || runs_32bit=

# A Wine prefix of our own, started once and stopped at the end.
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEARCH=win32
# No Mono or Gecko: nothing here needs them, and Wine would offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
gcc_dlls=$(dirname "$(i686-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
thread_dlls=/usr/i686-w64-mingw32/lib
export WINEPATH="Z:$(echo "$gcc_dlls" | tr / '\\');Z:$(echo "$thread_dlls" | tr / '\\')"
export WINEPATH="$WINEPATH;Z:$(echo "$build/library" | tr / '\\')"
status=0
if [ -n "$runs_32bit" ]; then
    # A server left by an interrupted run of this prefix goes first. The server needs the
    # prefix's folder; wineboot fills it.
    wineserver -k 2>/dev/null || true
    mkdir -p "$WINEPREFIX"
    wineserver -p
    trap 'wineserver -k || true' EXIT
    timeout 300 wineboot -i
    (cd "$build" && ctest --output-on-failure -j"$(nproc)") || status=$?
else
    echo "windows-build: this machine's kernel does not run 32-bit x86 programs, so Wine cannot:" \
        "the tests under Wine and the run of the zip's programs are left out"
fi

# The zip for Windows users: the programs, every DLL they load that Windows lacks, a README.
version=$(sed -n 's/^project(tavrik VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=tavrik-$version-win32
dist=$build/dist/$name
rm -rf "$build/dist" && mkdir -p "$dist"
cp "$build/tavrik_info/tavrik_info.exe" "$build/bootload/tavrik_program.exe" \
    "$build/library/libtavrik.dll" "$gcc_dlls/libstdc++-6.dll" "$gcc_dlls/libgcc_s_dw2-1.dll" \
    "$thread_dlls/libwinpthread-1.dll" "$dist/"
# The build keeps its debugging information; users get the files without it.
i686-w64-mingw32-strip "$dist"/*.exe "$dist"/*.dll
sed 's/$/\r/' "$root/packaging/windows/README.txt" >"$dist/README.txt"
(cd "$build/dist" && rm -f "$name.zip" && zip -q -r "$name.zip" "$name")
# The unpacked zip alone runs: nothing is found through WINEPATH.
"$root/tests/package/check-windows-zip.sh" ${runs_32bit:+--run} "$build/dist/$name.zip" ||
    status=$?
echo "windows-build: $build/dist/$name.zip"
exit "$status"
