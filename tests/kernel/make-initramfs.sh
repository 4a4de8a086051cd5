#!/bin/sh
# Packs a guest for the kernel tier: busybox, the three HID modules, the programs as built with
# the shared libraries each needs, the guest's init and scenario helpers, the script that init
# runs once the kernel is ready, and the data that script reads.
# Usage: make-initramfs.sh <build-dir> <kernel-dir> <entry-script> <data-dir> <output.cpio.gz>
set -eu
build=$1
kernel=$2
entry=$3
data=$4
output=$5
here=$(cd "$(dirname "$0")" && pwd)

config_dir=$(sed -n 's/^TAVRIK_CONFIG_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$config_dir" ] || { echo "$build is not a configured build tree" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin" "$stage/sbin" "$stage/usr/bin" "$stage/usr/sbin" "$stage/lib/modules" \
    "$stage/dev" "$stage/proc" "$stage/sys" "$stage/tmp" "$stage/kt"

cp /bin/busybox "$stage/bin/busybox"
for m in hid hid-generic uhid; do
    cp "$kernel/$m.ko" "$stage/lib/modules/$m.ko"
done

copy_with_libraries() {
    cp "$1" "$stage/usr/bin/"
    # ldd prints "name => /path (addr)" for libraries and "/path (addr)" for the loader.
    ldd "$1" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' |
        while read -r lib; do
            [ -e "$stage$lib" ] && continue
            mkdir -p "$stage$(dirname "$lib")"
            cp -L "$lib" "$stage$lib"
        done
}
for program in tavrik_info/tavrik_info bootload/tavrik_program sim/tavrik_sim; do
    [ -x "$build/$program" ] || { echo "$build/$program is not built" >&2; exit 1; }
    copy_with_libraries "$build/$program"
done

cp "$here/guest/init" "$stage/init"
cp "$here/guest/scenario-lib.sh" "$stage/kt/"
cp "$entry" "$stage/kt/entry"
cp -R "$data" "$stage/kt/data"
printf 'config_dir=%s\n' "$config_dir" >"$stage/kt/build.conf"
chmod 755 "$stage/init"

(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$output"
