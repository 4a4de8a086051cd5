#!/bin/sh
# Installs the Debian packages the build and the tests need, and those named as arguments.
# Runs as root (CI) or through sudo.
set -e
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# scdoc renders the manual pages and mandoc checks them; dpkg-dev gives CPack the package's
# library dependencies (dpkg-shlibdeps) and man-db finds the installed pages. pybind11 builds
# the Python package, pytest tests it and mypy's stubtest checks its stubs; abigail-tools
# compares the library's ABI; doxygen builds its API reference from the public header.
# libboost-dev holds Boost.Asio and Boost.Beast, the HTTP server of tavrik_exporter.
# libsystemd-dev gives tavrikd sd-bus, sd-event and sd-device; its tests run a dbus-daemon,
# and the test of its bus policy runs clients in python3-dbus with python3-gi's main loop.
PACKAGES="cmake g++ make pkg-config libhidapi-dev libboost-dev libboost-thread-dev \
libboost-date-time-dev libgtest-dev libgmock-dev scdoc mandoc dpkg-dev man-db python3-dev \
pybind11-dev python3-pytest python3-mypy abigail-tools doxygen libsystemd-dev dbus-daemon python3-dbus \
python3-gi $*"
missing=
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
