#!/bin/sh
# Fetches Debian's cloud kernel once and keeps what the guest needs: the kernel image and the
# three HID modules, decompressed, since busybox insmod may not read .ko.xz.
# Usage: fetch-kernel.sh <cache-dir>; prints the directory that holds vmlinuz and the modules.
set -eu
cache=$1
ready=$cache/current
if [ -f "$ready/vmlinuz" ] && [ -f "$ready/uhid.ko" ]; then
    echo "$ready"
    exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# The metapackage names the versioned image package that carries the files.
image_package() {
    apt-cache depends linux-image-cloud-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}
package=$(image_package)
if [ -z "$package" ]; then
    $SUDO apt-get update -qq >&2
    package=$(image_package)
fi
[ -n "$package" ] || { echo "no linux-image-cloud-amd64 in the package lists" >&2; exit 1; }

mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
chmod 755 "$work" # apt-get download hands the file to its own unprivileged user
trap 'rm -rf "$work"' EXIT
download() {
    (cd "$work" && apt-get download -q "$1" >&2)
}
# Package lists older than the archive name a version that is gone: refresh them once.
if ! download "$package"; then
    $SUDO apt-get update -qq >&2
    package=$(image_package)
    download "$package"
fi
dpkg-deb -x "$work"/*.deb "$work/x"

mkdir -p "$work/out"
cp "$work"/x/boot/vmlinuz-* "$work/out/vmlinuz"
for m in hid hid-generic uhid; do
    ko=$(find "$work/x/lib/modules" -path '*/kernel/drivers/hid/*' \
        \( -name "$m.ko" -o -name "$m.ko.xz" \) | head -n 1)
    [ -n "$ko" ] || { echo "$package has no $m module" >&2; exit 1; }
    case $ko in
    *.xz) xz -dc "$ko" >"$work/out/$m.ko" ;;
    *) cp "$ko" "$work/out/$m.ko" ;;
    esac
done
echo "$package" >"$work/out/package"
rm -rf "$ready"
mv "$work/out" "$ready"
echo "$ready"
