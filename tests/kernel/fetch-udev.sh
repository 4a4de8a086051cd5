#!/bin/sh
# Fetches Debian's udev once for the guest, without installing it on this machine: the udev
# package, and those of the libraries it needs that this machine lacks, unpacked into one
# directory tree. udevadm there is also the udev daemon (systemd-udevd is a link to it).
# Usage: fetch-udev.sh <cache-dir>; prints the root of the unpacked tree.
set -eu
cache=$1
ready=$cache/current
if [ -x "$ready/root/bin/udevadm" ]; then
    echo "$ready/root"
    exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debs/partial"
# apt fetches as its own unprivileged user where it can write.
chmod 755 "$work"
chown _apt "$work/debs" "$work/debs/partial" 2>/dev/null || true
fetch() {
    # udev itself, whatever this machine has installed; then, simulating an installation
    # here into the download directory only, the packages it would add or upgrade.
    (cd "$work/debs" && apt-get download -qq udev >/dev/null) &&
        $SUDO apt-get install -y -qq --download-only --no-install-recommends \
            -o Dir::Cache::archives="$work/debs" udev >/dev/null
}
# Package lists older than the archive name versions that are gone: refresh them once.
if ! fetch; then
    $SUDO apt-get update -qq >&2
    fetch
fi

mkdir -p "$work/out/root"
for deb in "$work"/debs/*.deb; do
    dpkg-deb -x "$deb" "$work/out/root"
done
[ -x "$work/out/root/bin/udevadm" ] || { echo "the udev package has no /bin/udevadm" >&2; exit 1; }
dpkg-deb -f "$work"/debs/udev_*.deb Version >"$work/out/version"
rm -rf "$ready"
mv "$work/out" "$ready"
echo "$ready/root"
